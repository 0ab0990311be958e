// The recorded reports behind one interface, kept in SQLite or in PostgreSQL with the same schema:
// the reports table, the daily figures kept up to date in the transaction of each batch (so the
// statistics read a few rows per day however many reports there are), the offers made, and a
// schema version table that start-up migrates under a lock, so instances starting together
// migrate once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// One recorded request. Text fields are UTF-8.
struct TReport {
    std::int64_t id = 0;
    std::string time; // UTC, ISO 8601
    std::string operation;
    int action = -1; // a TServiceAction (0 hit, 1 installation, 2 removal), -1 unknown
    bool accepted = false;
    std::string reason; // why a request was rejected
    std::string cfg, uid, ver, cls, subid, randomizer;
    std::string peer;
};

// An update offered to older clients, and since when (UTC, ISO 8601).
struct TOffer {
    std::string version, url, since;
};

// The figures of one day (YYYY-MM-DD, UTC) as the aggregate queries return them.
struct TDayCounts {
    std::string day;
    std::int64_t installations = 0, removals = 0, hits = 0, active = 0, rejected = 0;
    std::map<std::string, std::int64_t> versions; // VER of each active client's first hit that day -> clients
};

struct TStoreStatistics {
    std::vector<TDayCounts> days; // days with any report, ascending
    std::vector<TOffer> offers;   // ascending by since
};

// A store that cannot be opened, cannot be reached or refused a statement.
class TStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every method may be called from any thread and throws TStoreError on failure.
class TReportStore {
public:
    virtual ~TReportStore() = default;

    // Writes the whole batch in one transaction: afterwards every report of it is stored, or none.
    virtual void Add(const std::vector<TReport>& aBatch) = 0;
    // Calls aVisit for every stored report in id order, without holding them all in memory.
    virtual void ForEach(const std::function<void(const TReport&)>& aVisit) = 0;
    std::vector<TReport> All();

    // The figures of the days from aFirstDay to aLastDay (YYYY-MM-DD), read in one snapshot.
    virtual TStoreStatistics Statistics(const std::string& aFirstDay, const std::string& aLastDay) = 0;
    // Records an offer unless one of the same version is already recorded.
    virtual void AddOffer(const TOffer& anOffer) = 0;
    // True when the database answers a query now.
    virtual bool Reachable() = 0;
};

// The current time, UTC, as "YYYY-MM-DDTHH:MM:SSZ": the time of a report or an offer.
std::string UtcNow();

// The schema version this program creates and reads.
constexpr int kSchemaVersion = 2;

// One step of the schema: the statements that bring version - 1 to version, per dialect. Version 1
// is the reports table as the first releases made it, so their databases upgrade in place.
struct TMigration {
    int version;
    std::vector<const char*> sqlite;
    std::vector<const char*> postgres;
};
const std::vector<TMigration>& Migrations();
// The migrations a database at aVersion still needs, in order. Throws TStoreError for a schema
// newer than this program's.
std::vector<const TMigration*> PendingMigrations(int aVersion);

// The statements both stores run, with parameters $1, $2... only.
namespace store_sql {
extern const char* const kCreateSchemaVersion;
extern const char* const kSchemaVersion;   // one row, one column: the version, 0 for none
extern const char* const kRecordMigration; // $1 version, $2 time
extern const char* const kInsertReport;    // "INSERT INTO reports (...) VALUES " without the rows
constexpr int kInsertParameters = 13;
extern const char* const kInsertClient;     // without the rows and "ON CONFLICT DO NOTHING"
extern const char* const kInsertVersion;    // the same
extern const char* const kAddCount;         // without the rows and kAddCountConflict
extern const char* const kAddCountConflict; // adds to the count already there
extern const char* const kAddVersionCount;  // without the rows and kAddVersionCountConflict
extern const char* const kAddVersionCountConflict;
extern const char* const kSelectAll;
extern const char* const kCountsPerDay;
extern const char* const kVersionsPerDay;
extern const char* const kOffers;
extern const char* const kAddOffer;
} // namespace store_sql

// The text parameters of one report in the order of kInsertReport. Text that is not valid UTF-8
// or holds NUL characters is stored with U+FFFD in their place, the same in both stores.
std::vector<std::string> InsertParameters(const TReport& aReport);
std::string StorableText(const std::string& aText);

// What a batch adds to the daily figures. The reports of each kind are counted from the batch
// itself. A client counts as active, and for the version of its first hit of the day, only where
// the store found its (day, client) not yet stored, and then calls AddNewClient. The clients are
// sorted, so every instance takes their row locks in one order.
struct TBatchFigures {
    std::map<std::pair<std::string, std::string>, std::int64_t> counts;        // (day, kind) -> number
    std::map<std::pair<std::string, std::string>, std::string> clients;        // (day, uid) -> ver
    std::map<std::pair<std::string, std::string>, std::int64_t> versionCounts; // (day, ver) -> new clients

    void AddNewClient(const std::string& aDay, const std::string& aVer) {
        ++counts[{aDay, "active"}];
        ++versionCounts[{aDay, aVer}];
    }
};
TBatchFigures BatchFigures(const std::vector<TReport>& aBatch);

// The counters of one store instance are its own rows (a random shard), so instances sharing a
// database never wait for each other's counters.
int RandomShard();

// Builds "aHead($1, $2), ($3, $4)... aTail" for aRows rows of aColumns parameters each.
std::string MultiRowSql(const char* aHead, int aColumns, std::size_t aRows, const char* aTail = "");

// Runs one statement with text parameters and calls aRow with each result row, columns as text.
using TRowVisitor = std::function<void(const std::vector<std::string>& aRow)>;
using TQueryRunner =
    std::function<void(const char* aSql, const std::vector<std::string>& aParameters, const TRowVisitor& aRow)>;

// The report in a row of kSelectAll.
TReport ReportFromRow(const std::vector<std::string>& aRow);
// Reads the daily figures through aRun.
TStoreStatistics ReadStatistics(const TQueryRunner& aRun, const std::string& aFirstDay, const std::string& aLastDay);
