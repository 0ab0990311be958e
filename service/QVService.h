// The vendor's web service: takes the client's reports (POST .../api/client.asmx/SendLog and
// .../GetXML with the "CR" token), records each in SQLite, answers a hit with the update
// information, and serves update archives from a folder with Range support.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace httplib {
class Server;
}

struct TServiceOptions {
    std::string host = "127.0.0.1";
    int port = 0;             // 0: any free port
    std::string database;     // SQLite file, created when missing
    std::string filesDir;     // served below /files/; empty serves nothing
    std::string offerVersion; // with offerURL: the update offered to hits from older clients
    std::string offerURL;
    std::size_t maxBody = 8192; // larger request bodies are refused with 413
};

// One recorded request. Text fields are UTF-8.
struct TReport {
    std::int64_t id = 0;
    std::string time; // UTC, ISO 8601
    std::string operation;
    int action = -1; // 0 hit, 1 installation, 2 removal, -1 unknown
    bool accepted = false;
    std::string reason; // why a request was rejected
    std::string cfg, uid, ver, cls, subid, randomizer;
    std::string peer;
};

// The report table; every method is safe to call from the server's worker threads.
class TReportStore {
public:
    explicit TReportStore(const std::string& aPath);
    ~TReportStore();
    TReportStore(const TReportStore&) = delete;
    TReportStore& operator=(const TReportStore&) = delete;

    void Add(const TReport& aReport);
    std::vector<TReport> All();

private:
    std::mutex FLock;
    sqlite3* FDb = nullptr;
};

// The decoded parameters of a token, or false for a malformed or tampered one.
bool DecodeToken(const std::string& aToken, std::map<std::string, std::string>& aParams);

// A dotted file version; absent trailing parts are 0.
using TVersion = std::array<std::uint16_t, 4>;

// The version in aText: one to four dot-separated decimal numbers, each 0..65535, nothing else.
// Empty for any other text (empty parts, signs, blanks, letters, a fifth part, overflow).
std::optional<TVersion> ParseVersion(const std::string& aText);

// True when the version in a client's VER text ("QUENVAR=1.0.0.1": the text after the last "=",
// or the whole text without one) is older than anOfferVersion. False when either does not parse,
// so a client whose version cannot be read is never offered an update.
bool IsOlderVersion(const std::string& aClientVer, const std::string& anOfferVersion);

// The update-information document of a hit answer; without a version and URL it names no archive.
std::string UpdateInfoXML(const std::string& aVersion, const std::string& aURL);

class TQVService {
public:
    explicit TQVService(TServiceOptions anOptions);
    ~TQVService();
    TQVService(const TQVService&) = delete;
    TQVService& operator=(const TQVService&) = delete;

    // Binds and starts serving on a thread of its own; false when the address cannot be bound.
    bool Start();
    int Port() const { return FPort; }
    void Stop();
    TReportStore& Store() { return *FStore; }

private:
    void Route();

    TServiceOptions FOptions;
    std::unique_ptr<TReportStore> FStore;
    std::unique_ptr<httplib::Server> FServer;
    std::thread FThread;
    int FPort = 0;
};
