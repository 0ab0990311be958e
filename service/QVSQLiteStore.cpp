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

class TStatement {
public:
    TStatement(sqlite3* aDb, const char* aSql) : FDb(aDb) {
        if (sqlite3_prepare_v2(aDb, aSql, -1, &FStmt, nullptr) != SQLITE_OK)
            throw TStoreError(sqlite3_errmsg(aDb));
    }
    ~TStatement() { sqlite3_finalize(FStmt); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    void Run(const std::vector<std::string>& aParameters, const TRowVisitor& aRow) {
        for (std::size_t i = 0; i < aParameters.size(); ++i)
            sqlite3_bind_text(FStmt, static_cast<int>(i + 1), aParameters[i].data(),
                              static_cast<int>(aParameters[i].size()), SQLITE_TRANSIENT);
        std::vector<std::string> row(static_cast<std::size_t>(sqlite3_column_count(FStmt)));
        for (;;) {
            const int rc = sqlite3_step(FStmt);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW)
                throw TStoreError(sqlite3_errmsg(FDb));
            for (std::size_t c = 0; c < row.size(); ++c) {
                const auto* text = sqlite3_column_text(FStmt, static_cast<int>(c));
                row[c].assign(text ? reinterpret_cast<const char*>(text) : "",
                              text ? static_cast<std::size_t>(sqlite3_column_bytes(FStmt, static_cast<int>(c))) : 0);
            }
            if (aRow)
                aRow(row);
        }
    }

private:
    sqlite3* FDb;
    sqlite3_stmt* FStmt = nullptr;
};

void Run(sqlite3* aDb, const char* aSql, const std::vector<std::string>& aParameters, const TRowVisitor& aRow = {}) {
    TStatement(aDb, aSql).Run(aParameters, aRow);
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

TSQLiteStore::TSQLiteStore(const std::string& aPath, bool aFullSync) : FWriter(Connect(aPath)) {
    sqlite3* db = FWriter->db;
    // WAL lets the reading connection see committed data while the writer commits.
    Exec(db, "PRAGMA journal_mode=WAL");
    Exec(db, aFullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    Migrate();
    const std::string insert =
        std::string(store_sql::kInsertColumns) + "($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)";
    if (sqlite3_prepare_v2(db, insert.c_str(), -1, &FInsert, nullptr) != SQLITE_OK)
        throw TStoreError(sqlite3_errmsg(db));
    const bool privateDatabase = aPath.empty() || aPath == ":memory:";
    FReader = privateDatabase ? FWriter : Connect(aPath);
}

TSQLiteStore::~TSQLiteStore() {
    sqlite3_finalize(FInsert);
}

void TSQLiteStore::Migrate() {
    sqlite3* db = FWriter->db;
    // The write lock taken by BEGIN IMMEDIATE makes a second process wait here, then find the
    // schema current.
    Exec(db, "BEGIN IMMEDIATE");
    try {
        Exec(db, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, applied TEXT NOT NULL)");
        int version = 0;
        Run(db, "SELECT coalesce(max(version), 0) FROM schema_version", {},
            [&version](const std::vector<std::string>& aRow) { version = std::stoi(aRow.at(0)); });
        if (version > kSchemaVersion)
            throw TStoreError("the database has schema version " + std::to_string(version) +
                              "; this program knows versions up to " + std::to_string(kSchemaVersion));
        for (const TMigration& migration : Migrations()) {
            if (migration.version <= version)
                continue;
            for (const char* sql : migration.sqlite)
                Exec(db, sql);
            Run(db, "INSERT INTO schema_version (version, applied) VALUES ($1, $2)",
                {std::to_string(migration.version), UtcNow()});
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
        for (const TReport& report : aBatch) {
            const std::vector<std::string> parameters = InsertParameters(report);
            sqlite3_reset(FInsert);
            for (std::size_t i = 0; i < parameters.size(); ++i)
                sqlite3_bind_text(FInsert, static_cast<int>(i + 1), parameters[i].data(),
                                  static_cast<int>(parameters[i].size()), SQLITE_TRANSIENT);
            if (sqlite3_step(FInsert) != SQLITE_DONE)
                throw TStoreError(sqlite3_errmsg(db));
        }
        sqlite3_reset(FInsert);
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_reset(FInsert);
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
