// The vendor's web service: takes the client's reports (POST .../api/client.asmx/SendLog and
// .../GetXML with the "CR" token), records each in SQLite or PostgreSQL through group commit,
// answers a hit with the update information, serves update archives from a folder with Range
// support, and shows the vendor its statistics. This unit is the HTTP layer; the answers come
// from TRequestHandler.
#pragma once

#include "QVGroupCommit.h"
#include "QVOptions.h"
#include "QVRequest.h"
#include "QVStore.h"
#include "QVVersion.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TQVServer;

class TQVService {
public:
    // Opens and migrates the store and records the configured offer; throws TStoreError when the
    // database cannot be used.
    explicit TQVService(TServiceOptions anOptions);
    ~TQVService();
    TQVService(const TQVService&) = delete;
    TQVService& operator=(const TQVService&) = delete;

    // Binds and starts serving on a thread of its own; false when the address cannot be bound.
    bool Start();
    int Port() const { return FPort; }
    // Stops taking requests and waits for those in progress, whose reports are committed first.
    void Stop();
    TReportStore& Store() { return *FStore; }

private:
    void Route();
    void LogCommitFailure(std::size_t aReports, const std::string& aReason);

    TServiceOptions FOptions;
    std::unique_ptr<TReportStore> FStore;
    std::unique_ptr<TGroupCommit> FCommit;
    std::unique_ptr<TRequestHandler> FHandler;
    std::unique_ptr<TQVServer> FServer;
    std::thread FThread;
    int FPort = 0;

    std::mutex FLogLock;
    std::chrono::steady_clock::time_point FLastFailureLog{};
    std::size_t FSuppressedFailures = 0;
};

// Writes one line to stderr in a single write, so lines of concurrent threads never mix.
void WriteLogLine(const std::string& aLine);
