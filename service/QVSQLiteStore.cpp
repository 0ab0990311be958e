#include "QVSQLiteStore.h"

#include <sqlite3.h>

struct TSQLiteStore::TConnection {
    sqlite3* db = nullptr;
    std::mutex lock; // one statement sequence at a time on this connection
    ~TConnection() { sqlite3_close_v2(db); }
};

namespace {

void Exec(sqlite3* aDb, const char* aSql) {
    char* error = nullptr;
    if (sqlite3_exec(aDb, aSql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(aDb);
        sqlite3_free(error);
        throw TStoreError(message);
    }
}

// Ends a transaction that failed; its own failure changes nothing for the caller.
void Rollback(sqlite3* aDb) {
    sqlite3_exec(aDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

} // namespace

// One prepared statement; each run starts from its first row with the new parameters.
class TSQLiteStatement {
public:
    TSQLiteStatement(sqlite3* aDb, const std::string& aSql) : FDb(aDb) {
        if (sqlite3_prepare_v2(aDb, aSql.c_str(), -1, &FStmt, nullptr) != SQLITE_OK)
            throw TStoreError(sqlite3_errmsg(aDb));
    }
    ~TSQLiteStatement() { sqlite3_finalize(FStmt); }
    TSQLiteStatement(const TSQLiteStatement&) = delete;
    TSQLiteStatement& operator=(const TSQLiteStatement&) = delete;

    // Calls aRow with each result row; the number of rows the statement changed.
    int Run(const std::vector<std::string>& aParameters, const TRowVisitor& aRow = {}) {
        sqlite3_reset(FStmt);
        sqlite3_clear_bindings(FStmt);
        for (std::size_t i = 0; i < aParameters.size(); ++i)
            sqlite3_bind_text(FStmt, static_cast<int>(i + 1), aParameters[i].data(),
                              static_cast<int>(aParameters[i].size()), SQLITE_TRANSIENT);
        std::vector<std::string> row(static_cast<std::size_t>(sqlite3_column_count(FStmt)));
        for (;;) {
            const int rc = sqlite3_step(FStmt);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW) {
                const std::string message = sqlite3_errmsg(FDb);
                sqlite3_reset(FStmt);
                throw TStoreError(message);
            }
            for (std::size_t c = 0; c < row.size(); ++c) {
                const auto* text = sqlite3_column_text(FStmt, static_cast<int>(c));
                row[c].assign(text ? reinterpret_cast<const char*>(text) : "",
                              text ? static_cast<std::size_t>(sqlite3_column_bytes(FStmt, static_cast<int>(c))) : 0);
            }
            if (aRow)
                aRow(row);
        }
        const int changed = sqlite3_changes(FDb);
        sqlite3_reset(FStmt);
        return changed;
    }

private:
    sqlite3* FDb;
    sqlite3_stmt* FStmt = nullptr;
};

namespace {

void Run(sqlite3* aDb, const char* aSql, const std::vector<std::string>& aParameters, const TRowVisitor& aRow = {}) {
    TSQLiteStatement(aDb, aSql).Run(aParameters, aRow);
}

std::shared_ptr<TSQLiteStore::TConnection> Connect(const std::string& aPath) {
    auto connection = std::make_shared<TSQLiteStore::TConnection>();
    // Each connection is used under its own lock, so SQLite's own locking is not needed.
    if (sqlite3_open_v2(aPath.c_str(), &connection->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        throw TStoreError("cannot open the database " + aPath + ": " +
                          (connection->db ? sqlite3_errmsg(connection->db) : "out of memory"));
    // Another process writing the same file holds the lock for one commit; wait for it.
    sqlite3_busy_timeout(connection->db, 5000);
    return connection;
}

} // namespace

TSQLiteStore::TSQLiteStore(const std::string& aPath, bool aFullSync) : FWriter(Connect(aPath)), FShard(RandomShard()) {
    sqlite3* db = FWriter->db;
    // WAL lets the reading connection see committed data while the writer commits.
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, aFullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    Migrate();
    FInsertReport =
        std::make_unique<TSQLiteStatement>(db, MultiRowSql(store_sql::kInsertReport, store_sql::kInsertParameters, 1));
    FInsertClient =
        std::make_unique<TSQLiteStatement>(db, MultiRowSql(store_sql::kInsertClient, 3, 1, " ON CONFLICT DO NOTHING"));
    FAddCount =
        std::make_unique<TSQLiteStatement>(db, MultiRowSql(store_sql::kAddCount, 4, 1, store_sql::kAddCountConflict));
    FAddVersionCount = std::make_unique<TSQLiteStatement>(
        db, MultiRowSql(store_sql::kAddVersionCount, 4, 1, store_sql::kAddVersionCountConflict));
    const bool privateDatabase = aPath.empty() || aPath == ":memory:";
    FReader = privateDatabase ? FWriter : Connect(aPath);
}

TSQLiteStore::~TSQLiteStore() = default;

void TSQLiteStore::Migrate() {
    sqlite3* db = FWriter->db;
    // The write lock taken by BEGIN IMMEDIATE makes a second process wait here, then find the
    // schema current.
    Exec(db, "BEGIN IMMEDIATE");
    try {
        Exec(db, store_sql::kCreateSchemaVersion);
        int version = 0;
        Run(db, store_sql::kSchemaVersion, {},
            [&version](const std::vector<std::string>& aRow) { version = std::stoi(aRow.at(0)); });
        for (const TMigration* migration : PendingMigrations(version)) {
            for (const char* sql : migration->sqlite)
                Exec(db, sql);
            Run(db, store_sql::kRecordMigration, {std::to_string(migration->version), UtcNow()});
        }
        Exec(db, "COMMIT");
    } catch (...) {
        Rollback(db);
        throw;
    }
}

void TSQLiteStore::Add(const std::vector<TReport>& aBatch) {
    std::lock_guard<std::mutex> guard(FWriter->lock);
    sqlite3* db = FWriter->db;
    Exec(db, "BEGIN IMMEDIATE");
    try {
        for (const TReport& report : aBatch)
            FInsertReport->Run(InsertParameters(report));
        TBatchFigures figures = BatchFigures(aBatch);
        for (const auto& client : figures.clients)
            if (FInsertClient->Run({client.first.first, client.first.second, client.second}) == 1)
                figures.AddNewClient(client.first.first, client.second);
        const std::string shard = std::to_string(FShard);
        for (const auto& count : figures.counts)
            FAddCount->Run({count.first.first, count.first.second, shard, std::to_string(count.second)});
        for (const auto& count : figures.versionCounts)
            FAddVersionCount->Run({count.first.first, count.first.second, shard, std::to_string(count.second)});
        Exec(db, "COMMIT");
    } catch (...) {
        Rollback(db);
        throw;
    }
}

void TSQLiteStore::ForEach(const std::function<void(const TReport&)>& aVisit) {
    std::lock_guard<std::mutex> guard(FReader->lock);
    Run(FReader->db, store_sql::kSelectAll, {},
        [&aVisit](const std::vector<std::string>& aRow) { aVisit(ReportFromRow(aRow)); });
}

TStoreStatistics TSQLiteStore::Statistics(const std::string& aFirstDay, const std::string& aLastDay) {
    std::lock_guard<std::mutex> guard(FReader->lock);
    sqlite3* db = FReader->db;
    // One read transaction: every figure comes from the same snapshot.
    Exec(db, "BEGIN");
    try {
        TStoreStatistics statistics =
            ReadStatistics([db](const char* aSql, const std::vector<std::string>& aParameters,
                                const TRowVisitor& aRow) { Run(db, aSql, aParameters, aRow); },
                           aFirstDay, aLastDay);
        Exec(db, "COMMIT");
        return statistics;
    } catch (...) {
        Rollback(db);
        throw;
    }
}

void TSQLiteStore::AddOffer(const TOffer& anOffer) {
    std::lock_guard<std::mutex> guard(FWriter->lock);
    Run(FWriter->db, store_sql::kAddOffer, {StorableText(anOffer.version), StorableText(anOffer.url), anOffer.since});
}

bool TSQLiteStore::Reachable() {
    std::lock_guard<std::mutex> guard(FReader->lock);
    try {
        Run(FReader->db, "SELECT max(version) FROM schema_version", {});
        return true;
    } catch (const TStoreError&) {
        return false;
    }
}
