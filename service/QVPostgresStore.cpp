#include "QVPostgresStore.h"

#include <libpq-fe.h>

#include <chrono>
#include <mutex>
#include <poll.h>

namespace {

// Any fixed number; every instance takes the same one while it migrates.
constexpr const char* kMigrationLock = "SELECT pg_advisory_lock(5139740672371922194)";
constexpr const char* kMigrationUnlock = "SELECT pg_advisory_unlock(5139740672371922194)";

// A failed connection attempt is not repeated for this long: while the server is down, requests
// fail at once instead of each waiting for a connection.
constexpr std::chrono::milliseconds kRetryPause{250};

// libpq's message on one line: its line breaks and the indents after them become one blank.
std::string Trimmed(const char* aText) {
    std::string text;
    bool blank = false;
    for (const char* p = aText ? aText : ""; *p; ++p) {
        if (*p == '\n' || *p == '\t' || *p == ' ') {
            blank = !text.empty();
            continue;
        }
        if (blank)
            text += ' ';
        blank = false;
        text += *p;
    }
    return text;
}

void IgnoreNotice(void*, const char*) {}

} // namespace

class TPostgresStore::TConnection {
public:
    explicit TConnection(std::string anURL) : FURL(std::move(anURL)) {}
    ~TConnection() { Drop(); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    std::mutex lock; // one statement sequence at a time

    // Runs one statement with text parameters, calling aRow for each result row. Connects first
    // when there is no usable connection. Throws TStoreError.
    void Run(const char* aSql, const std::vector<std::string>& aParameters = {}, const TRowVisitor& aRow = {}) {
        PGconn* conn = Connection();
        std::vector<const char*> values;
        values.reserve(aParameters.size());
        for (const std::string& p : aParameters)
            values.push_back(p.c_str());
        if (!PQsendQueryParams(conn, aSql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr,
                               0))
            Fail(PQerrorMessage(conn));
        // Rows arrive one at a time, so a large result is never held whole.
        PQsetSingleRowMode(conn);
        std::string error;
        std::vector<std::string> row;
        while (PGresult* result = PQgetResult(conn)) {
            const ExecStatusType status = PQresultStatus(result);
            if (status == PGRES_SINGLE_TUPLE && error.empty()) {
                row.resize(static_cast<std::size_t>(PQnfields(result)));
                for (int c = 0; c < PQnfields(result); ++c)
                    row[static_cast<std::size_t>(c)].assign(PQgetvalue(result, 0, c),
                                                            static_cast<std::size_t>(PQgetlength(result, 0, c)));
                if (aRow) {
                    try {
                        aRow(row);
                    } catch (const std::exception& e) {
                        error = e.what();
                    }
                }
            } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK &&
                       error.empty()) {
                error = Trimmed(PQresultErrorMessage(result));
            }
            PQclear(result);
        }
        if (!error.empty())
            Fail(error.c_str());
    }

    // Closes the connection; the next statement opens a new one.
    void Drop() {
        if (FConn)
            PQfinish(FConn);
        FConn = nullptr;
    }

private:
    PGconn* Connection() {
        if (FConn && PQstatus(FConn) == CONNECTION_OK && !ClosedByServer())
            return FConn;
        Drop();
        const auto now = std::chrono::steady_clock::now();
        if (now < FRetryAfter)
            throw TStoreError(FLastError);
        // Defaults before the URL, which may override them: a bounded wait for an unreachable
        // host, and a bounded wait for a server that stops answering mid-statement.
        const char* const keywords[] = {"connect_timeout",           "tcp_user_timeout", "keepalives_idle",
                                        "fallback_application_name", "dbname",           nullptr};
        const char* const values[] = {"5", "10000", "30", "qvservice", FURL.c_str(), nullptr};
        PGconn* conn = PQconnectdbParams(keywords, values, 1);
        if (!conn || PQstatus(conn) != CONNECTION_OK) {
            FLastError = "cannot connect to PostgreSQL: " + Trimmed(conn ? PQerrorMessage(conn) : "out of memory");
            if (conn)
                PQfinish(conn);
            FRetryAfter = now + kRetryPause;
            throw TStoreError(FLastError);
        }
        PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
        FConn = conn;
        return conn;
    }

    // True when an idle connection has something to read, which can only be the server closing
    // it (a restart, an administrator): found before a statement is sent, so the statement can go
    // to a new connection without doubt about whether the old one ran it.
    bool ClosedByServer() {
        pollfd fd{PQsocket(FConn), POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0)
            return false;
        return !PQconsumeInput(FConn) || PQstatus(FConn) != CONNECTION_OK;
    }

    [[noreturn]] void Fail(const char* aMessage) {
        const std::string message = Trimmed(aMessage);
        // A connection that broke is replaced on the next statement.
        if (FConn && PQstatus(FConn) != CONNECTION_OK)
            Drop();
        throw TStoreError(message.empty() ? "PostgreSQL statement failed" : message);
    }

    std::string FURL;
    PGconn* FConn = nullptr;
    std::chrono::steady_clock::time_point FRetryAfter{};
    std::string FLastError;
};

TPostgresStore::TPostgresStore(const std::string& anURL) : FShard(RandomShard()) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(anURL.c_str(), &error);
    if (!options) {
        const std::string message = "malformed PostgreSQL URL: " + Trimmed(error ? error : "out of memory");
        PQfreemem(error);
        throw TStoreError(message);
    }
    PQconninfoFree(options);
    FWriter = std::make_unique<TConnection>(anURL);
    FReader = std::make_unique<TConnection>(anURL);
    FHealth = std::make_unique<TConnection>(anURL);
    Migrate();
}

TPostgresStore::~TPostgresStore() = default;

void TPostgresStore::Migrate() {
    std::lock_guard<std::mutex> guard(FWriter->lock);
    TConnection& db = *FWriter;
    db.Run(kMigrationLock);
    try {
        db.Run(store_sql::kCreateSchemaVersion);
        int version = 0;
        db.Run(store_sql::kSchemaVersion, {},
               [&version](const std::vector<std::string>& aRow) { version = std::stoi(aRow.at(0)); });
        for (const TMigration* migration : PendingMigrations(version)) {
            db.Run("BEGIN");
            for (const char* sql : migration->postgres)
                db.Run(sql);
            db.Run(store_sql::kRecordMigration, {std::to_string(migration->version), UtcNow()});
            db.Run("COMMIT");
        }
        db.Run(kMigrationUnlock);
    } catch (...) {
        // Ending the session rolls back an open transaction and releases the lock.
        db.Drop();
        throw;
    }
}

namespace {

// "($n::cast, ...), (...)" for aRows rows of the casts' columns, numbered on from aNext.
std::string Rows(std::size_t aRows, const std::vector<const char*>& aCasts, std::size_t& aNext) {
    std::string sql;
    for (std::size_t r = 0; r < aRows; ++r) {
        sql += r ? ", (" : "(";
        for (std::size_t c = 0; c < aCasts.size(); ++c)
            sql += (c ? ", $" : "$") + std::to_string(aNext++) + aCasts[c];
        sql += ")";
    }
    return sql;
}

} // namespace

void TPostgresStore::Add(const std::vector<TReport>& aBatch) {
    if (aBatch.empty())
        return;
    const TBatchFigures figures = BatchFigures(aBatch);
    std::vector<std::string> parameters;
    for (const TReport& report : aBatch)
        for (std::string& p : InsertParameters(report))
            parameters.push_back(std::move(p));
    for (const auto& client : figures.clients)
        parameters.insert(parameters.end(), {client.first.first, client.first.second, client.second});
    for (const auto& count : figures.counts)
        parameters.insert(parameters.end(), {count.first.first, count.first.second, std::to_string(count.second)});
    parameters.push_back(std::to_string(FShard));

    // One statement, so one round trip and one transaction: the reports, the (day, client) rows
    // not stored yet, and the counters, which count only the rows that were new, so a client
    // counts once per day whichever instance stored it first. The clients come sorted, so
    // concurrent instances wait for each other's rows in one order and never deadlock.
    std::size_t next = 1;
    std::string sql = "WITH r AS (" + std::string(store_sql::kInsertReport) +
                      Rows(aBatch.size(), std::vector<const char*>(store_sql::kInsertParameters, ""), next) + ")";
    const std::string clients = Rows(figures.clients.size(), {"", "", ""}, next);
    const std::string counts = Rows(figures.counts.size(), {"::text", "::text", "::bigint"}, next);
    const std::string shard = "$" + std::to_string(next) + "::integer";
    if (!figures.clients.empty())
        sql += ", c AS (" + std::string(store_sql::kInsertClient) + clients +
               " ON CONFLICT DO NOTHING RETURNING day, ver), w AS (INSERT INTO day_version_counts"
               " (day, ver, shard, clients) SELECT day, ver, " +
               shard + ", count(*) FROM c GROUP BY day, ver" + store_sql::kAddVersionCountConflict + ")";
    sql += " INSERT INTO day_counts (day, kind, shard, amount) SELECT day, kind, " + shard + ", n FROM (VALUES " +
           counts + ") AS b (day, kind, n)";
    if (!figures.clients.empty())
        sql += " UNION ALL SELECT day, 'active', " + shard + ", count(*) FROM c GROUP BY day";
    sql += store_sql::kAddCountConflict;

    std::lock_guard<std::mutex> guard(FWriter->lock);
    FWriter->Run(sql.c_str(), parameters);
}

void TPostgresStore::ForEach(const std::function<void(const TReport&)>& aVisit) {
    std::lock_guard<std::mutex> guard(FReader->lock);
    FReader->Run(store_sql::kSelectAll, {},
                 [&aVisit](const std::vector<std::string>& aRow) { aVisit(ReportFromRow(aRow)); });
}

TStoreStatistics TPostgresStore::Statistics(const std::string& aFirstDay, const std::string& aLastDay) {
    std::lock_guard<std::mutex> guard(FReader->lock);
    TConnection& db = *FReader;
    // One snapshot for every figure.
    db.Run("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    try {
        TStoreStatistics statistics =
            ReadStatistics([&db](const char* aSql, const std::vector<std::string>& aParameters,
                                 const TRowVisitor& aRow) { db.Run(aSql, aParameters, aRow); },
                           aFirstDay, aLastDay);
        db.Run("COMMIT");
        return statistics;
    } catch (...) {
        db.Drop();
        throw;
    }
}

void TPostgresStore::AddOffer(const TOffer& anOffer) {
    std::lock_guard<std::mutex> guard(FWriter->lock);
    FWriter->Run(store_sql::kAddOffer, {StorableText(anOffer.version), StorableText(anOffer.url), anOffer.since});
}

bool TPostgresStore::Reachable() {
    std::lock_guard<std::mutex> guard(FHealth->lock);
    try {
        FHealth->Run("SELECT 1");
        return true;
    } catch (const TStoreError&) {
        return false;
    }
}
