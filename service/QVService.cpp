#include "QVService.h"

#include "CryptU.h"

#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// Token characters are bytes 0..255; the database holds them as UTF-8.
std::string Latin1ToUtf8(const std::wstring& aText) {
    std::string out;
    for (wchar_t wc : aText) {
        const unsigned c = static_cast<unsigned>(wc) & 0xFF;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string UtcNow() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string XmlAttr(const std::string& aText) {
    std::string out;
    for (char c : aText) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Param(const std::map<std::string, std::string>& aParams, const char* aName) {
    const auto it = aParams.find(aName);
    return it == aParams.end() ? std::string() : it->second;
}

class TStatement {
public:
    TStatement(sqlite3* aDb, const char* aSql) {
        if (sqlite3_prepare_v2(aDb, aSql, -1, &FStmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(aDb));
    }
    ~TStatement() { sqlite3_finalize(FStmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    sqlite3_stmt* get() const { return FStmt; }
    void Bind(int anIndex, const std::string& aText) {
        sqlite3_bind_text(FStmt, anIndex, aText.c_str(), static_cast<int>(aText.size()), SQLITE_TRANSIENT);
    }
    std::string Text(int aColumn) const {
        const auto* p = sqlite3_column_text(FStmt, aColumn);
        return p ? reinterpret_cast<const char*>(p) : "";
    }

private:
    sqlite3_stmt* FStmt = nullptr;
};

} // namespace

TReportStore::TReportStore(const std::string& aPath) {
    if (sqlite3_open_v2(aPath.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = FDb ? sqlite3_errmsg(FDb) : "cannot open the database";
        sqlite3_close(FDb);
        throw std::runtime_error(message);
    }
    sqlite3_busy_timeout(FDb, 5000);
    char* error = nullptr;
    if (sqlite3_exec(FDb,
                     "CREATE TABLE IF NOT EXISTS reports ("
                     " id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, operation TEXT NOT NULL,"
                     " action INTEGER NOT NULL, accepted INTEGER NOT NULL, reason TEXT NOT NULL,"
                     " cfg TEXT, uid TEXT, ver TEXT, cls TEXT, subid TEXT, randomizer TEXT, peer TEXT)",
                     nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "cannot create the table";
        sqlite3_free(error);
        sqlite3_close(FDb);
        throw std::runtime_error(message);
    }
}

TReportStore::~TReportStore() {
    sqlite3_close(FDb);
}

void TReportStore::Add(const TReport& aReport) {
    std::lock_guard<std::mutex> guard(FLock);
    TStatement s(FDb, "INSERT INTO reports (time, operation, action, accepted, reason, cfg, uid, ver, cls, subid,"
                      " randomizer, peer) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, aReport.time);
    s.Bind(2, aReport.operation);
    sqlite3_bind_int(s.get(), 3, aReport.action);
    sqlite3_bind_int(s.get(), 4, aReport.accepted ? 1 : 0);
    s.Bind(5, aReport.reason);
    s.Bind(6, aReport.cfg);
    s.Bind(7, aReport.uid);
    s.Bind(8, aReport.ver);
    s.Bind(9, aReport.cls);
    s.Bind(10, aReport.subid);
    s.Bind(11, aReport.randomizer);
    s.Bind(12, aReport.peer);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        throw std::runtime_error(sqlite3_errmsg(FDb));
}

std::vector<TReport> TReportStore::All() {
    std::lock_guard<std::mutex> guard(FLock);
    TStatement s(FDb, "SELECT id, time, operation, action, accepted, reason, cfg, uid, ver, cls, subid, randomizer,"
                      " peer FROM reports ORDER BY id");
    std::vector<TReport> rows;
    while (sqlite3_step(s.get()) == SQLITE_ROW) {
        TReport r;
        r.id = sqlite3_column_int64(s.get(), 0);
        r.time = s.Text(1);
        r.operation = s.Text(2);
        r.action = sqlite3_column_int(s.get(), 3);
        r.accepted = sqlite3_column_int(s.get(), 4) != 0;
        r.reason = s.Text(5);
        r.cfg = s.Text(6);
        r.uid = s.Text(7);
        r.ver = s.Text(8);
        r.cls = s.Text(9);
        r.subid = s.Text(10);
        r.randomizer = s.Text(11);
        r.peer = s.Text(12);
        rows.push_back(r);
    }
    return rows;
}

bool DecodeToken(const std::string& aToken, std::map<std::string, std::string>& aParams) {
    TCryptURL crypt(true);
    std::wstring token;
    token.reserve(aToken.size());
    for (unsigned char c : aToken)
        token += static_cast<wchar_t>(c);
    if (!crypt.Decrypt(token))
        return false;
    for (const TParam& p : crypt.Parameters())
        aParams[Latin1ToUtf8(p.name)] = Latin1ToUtf8(p.value);
    return true;
}

std::optional<TVersion> ParseVersion(const std::string& aText) {
    TVersion version{};
    std::size_t part = 0, pos = 0;
    for (;;) {
        if (part == version.size())
            return std::nullopt;
        const std::size_t start = pos;
        unsigned long value = 0;
        while (pos < aText.size() && aText[pos] >= '0' && aText[pos] <= '9') {
            value = value * 10 + static_cast<unsigned long>(aText[pos] - '0');
            if (value > 0xFFFF)
                return std::nullopt;
            ++pos;
        }
        if (pos == start)
            return std::nullopt;
        version[part++] = static_cast<std::uint16_t>(value);
        if (pos == aText.size())
            return version;
        if (aText[pos] != '.')
            return std::nullopt;
        ++pos;
    }
}

bool IsOlderVersion(const std::string& aClientVer, const std::string& anOfferVersion) {
    const std::size_t equals = aClientVer.rfind('=');
    const auto client = ParseVersion(equals == std::string::npos ? aClientVer : aClientVer.substr(equals + 1));
    const auto offer = ParseVersion(anOfferVersion);
    return client && offer && *client < *offer;
}

std::string UpdateInfoXML(const std::string& aVersion, const std::string& aURL) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<UpdateInfo><Vers>";
    if (!aURL.empty())
        xml += "<Ver V=\"" + XmlAttr(aVersion) + "\" URL=\"" + XmlAttr(aURL) + "\"/>";
    xml += "</Vers></UpdateInfo>";
    return xml;
}

TQVService::TQVService(TServiceOptions anOptions)
    : FOptions(std::move(anOptions)), FStore(std::make_unique<TReportStore>(FOptions.database)),
      FServer(std::make_unique<httplib::Server>()) {
    Route();
}

TQVService::~TQVService() {
    Stop();
}

void TQVService::Route() {
    FServer->set_payload_max_length(FOptions.maxBody);
    FServer->set_read_timeout(10, 0);
    FServer->set_write_timeout(30, 0);

    FServer->Post(
        R"((?:/.*)?/api/client\.asmx/(SendLog|GetXML))", [this](const httplib::Request& req, httplib::Response& res) {
            TReport report;
            report.time = UtcNow();
            report.operation = req.matches[1];
            report.peer = req.remote_addr;
            // The client sends a form body; a query string is accepted the same way.
            const std::string token = req.get_param_value("CR");
            const std::string actionText = req.get_param_value("Action");
            std::map<std::string, std::string> params;
            if (report.operation == "SendLog")
                report.action = 0;
            else if (actionText == "INQV")
                report.action = 1;
            else if (actionText == "UNQV")
                report.action = 2;

            if (token.empty())
                report.reason = "missing CR";
            else if (!DecodeToken(token, params))
                report.reason = "malformed or tampered token";
            else if (report.action < 0)
                report.reason = "unknown action";
            report.accepted = report.reason.empty();
            report.cfg = Param(params, "CFG");
            report.uid = Param(params, "UID");
            report.ver = Param(params, "VER");
            report.cls = Param(params, "CLS");
            report.subid = Param(params, "SUBID");
            report.randomizer = Param(params, "RANDOMIZER");
            try {
                FStore->Add(report);
            } catch (const std::exception&) {
                res.status = 500;
                res.set_content("cannot record the report", "text/plain");
                return;
            }
            if (!report.accepted) {
                res.status = 400;
                res.set_content(report.reason, "text/plain");
                return;
            }
            if (report.action == 0) {
                // Clients already at the offered version or newer get the document without an archive.
                const bool offer = !FOptions.offerURL.empty() && IsOlderVersion(report.ver, FOptions.offerVersion);
                res.set_content(offer ? UpdateInfoXML(FOptions.offerVersion, FOptions.offerURL) : UpdateInfoXML("", ""),
                                "text/xml; charset=utf-8");
            } else
                res.set_content("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Result>OK</Result>",
                                "text/xml; charset=utf-8");
        });

    const std::string filesDir = FOptions.filesDir;
    FServer->Get(R"(/files/([A-Za-z0-9_\-][A-Za-z0-9_.\-]*))",
                 [filesDir](const httplib::Request& req, httplib::Response& res) {
                     struct stat st {};
                     const std::string path = filesDir + "/" + req.matches[1].str();
                     if (filesDir.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                         res.status = 404;
                         return;
                     }
                     auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
                     if (!*file) {
                         res.status = 404;
                         return;
                     }
                     // Streams the file in chunks; the library cuts out the requested range and answers 206.
                     res.set_content_provider(static_cast<size_t>(st.st_size), "application/octet-stream",
                                              [file](size_t anOffset, size_t aLength, httplib::DataSink& aSink) {
                                                  char buf[65536];
                                                  file->clear();
                                                  file->seekg(static_cast<std::streamoff>(anOffset));
                                                  const size_t n = std::min(aLength, sizeof(buf));
                                                  file->read(buf, static_cast<std::streamsize>(n));
                                                  const std::streamsize got = file->gcount();
                                                  if (got <= 0)
                                                      return false;
                                                  return aSink.write(buf, static_cast<size_t>(got));
                                              });
                 });
}

bool TQVService::Start() {
    FPort = FOptions.port == 0 ? FServer->bind_to_any_port(FOptions.host)
                               : (FServer->bind_to_port(FOptions.host, FOptions.port) ? FOptions.port : -1);
    if (FPort <= 0)
        return false;
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    return true;
}

void TQVService::Stop() {
    if (FServer)
        FServer->stop();
    if (FThread.joinable())
        FThread.join();
}
