// The report store in an SQLite file: WAL journal, one connection that writes and one that reads,
// so the statistics never hold up the commits.
#pragma once

#include "QVStore.h"

#include <memory>
#include <mutex>

struct sqlite3;
class TSQLiteStatement;

class TSQLiteStore : public TReportStore {
public:
    // Opens or creates aPath and migrates its schema. With aFullSync every commit is flushed to
    // the disk (it survives a power loss); without it the WAL is flushed at checkpoints only, and a
    // commit survives a crash of the process but not of the machine. Throws TStoreError.
    TSQLiteStore(const std::string& aPath, bool aFullSync);
    ~TSQLiteStore() override;

    void Add(const std::vector<TReport>& aBatch) override;
    void ForEach(const std::function<void(const TReport&)>& aVisit) override;
    TStoreStatistics Statistics(const std::string& aFirstDay, const std::string& aLastDay) override;
    void AddOffer(const TOffer& anOffer) override;
    bool Reachable() override;

    struct TConnection;

private:
    void Migrate();

    std::shared_ptr<TConnection> FWriter;
    std::shared_ptr<TConnection> FReader; // the writer itself for ":memory:", which is private to a connection
    // Prepared once on the writer.
    std::unique_ptr<TSQLiteStatement> FInsertReport, FInsertClient, FAddCount, FAddVersionCount;
    const int FShard;
};
