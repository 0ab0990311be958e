#include "QVGroupCommit.h"
#include "QVStore.h"
#include "ServiceTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <numeric>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

bool SameReport(const TReport& a, const TReport& b) {
    return a.id == b.id && a.time == b.time && a.operation == b.operation && a.action == b.action &&
           a.accepted == b.accepted && a.reason == b.reason && a.cfg == b.cfg && a.uid == b.uid && a.ver == b.ver &&
           a.cls == b.cls && a.subid == b.subid && a.randomizer == b.randomizer && a.peer == b.peer;
}

// A database as the first releases of the service left it: the reports table as they created it
// and rows as they inserted them, with no schema version table.
TEST(QVStoreTest, DatabaseOfTheFirstReleasesIsUpgradedWithItsRows) {
    TScratchDir dir;
    const std::string path = dir / "reports.db";
    ExecOnTestDatabase(path, "CREATE TABLE IF NOT EXISTS reports ("
                             " id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, operation TEXT NOT NULL,"
                             " action INTEGER NOT NULL, accepted INTEGER NOT NULL, reason TEXT NOT NULL,"
                             " cfg TEXT, uid TEXT, ver TEXT, cls TEXT, subid TEXT, randomizer TEXT, peer TEXT)");
    const std::vector<TReport> old = {
        {1, "2024-01-30T08:00:00Z", "GetXML", 1, true, "", "10", "{A1}", "", "", "0", "123", "127.0.0.1"},
        {2, "2024-01-30T09:00:00Z", "SendLog", 0, true, "", "10", "{A1}", "QUENVAR=1.0.0.1", "", "0", "456",
         "127.0.0.1"},
        {3, "2024-01-31T09:00:00Z", "SendLog", 0, false, "malformed or tampered token", "", "", "", "", "", "",
         "10.0.0.2"},
        {4, "2024-01-31T10:00:00Z", "SendLog", 0, true, "", "10", "{B2}", "QUENVAR=1.0.0.1", "caf\xC3\xA9\ttab", "0",
         "789", "10.0.0.3"},
        {5, "2024-02-01T11:00:00Z", "GetXML", 2, true, "", "10", "{A1}", "", "", "0", "999", "127.0.0.1"},
        {6, "2024-02-01T11:30:00Z", "GetXML", -1, false, "unknown action", "10", "{C3}", "", "", "0", "1000",
         "127.0.0.1"},
    };
    for (const TReport& r : old)
        ExecOnTestDatabase(path, "INSERT INTO reports (time, operation, action, accepted, reason, cfg, uid, ver, cls,"
                                 " subid, randomizer, peer) VALUES ('" +
                                     r.time + "', '" + r.operation + "', " + std::to_string(r.action) + ", " +
                                     (r.accepted ? "1" : "0") + ", '" + r.reason + "', '" + r.cfg + "', '" + r.uid +
                                     "', '" + r.ver + "', '" + r.cls + "', '" + r.subid + "', '" + r.randomizer +
                                     "', '" + r.peer + "')");

    for (int open = 0; open < 2; ++open) {
        SCOPED_TRACE(open);
        const auto store = OpenStore(path);
        const auto rows = store->All();
        ASSERT_EQ(rows.size(), old.size() + static_cast<std::size_t>(open));
        for (std::size_t i = 0; i < old.size(); ++i)
            EXPECT_TRUE(SameReport(rows[i], old[i])) << i;
        // The upgraded rows count in the statistics.
        const TStoreStatistics statistics = store->Statistics("2024-01-30", "2024-02-01");
        ASSERT_EQ(statistics.days.size(), 3u);
        EXPECT_EQ(statistics.days[0].installations, 1);
        EXPECT_EQ(statistics.days[1].active, 1);
        EXPECT_EQ(statistics.days[1].rejected, 1);
        EXPECT_EQ(statistics.days[2].removals, 1);
        EXPECT_EQ(statistics.days[2].rejected, 1);
        if (open == 0) {
            TReport added = old[1];
            added.time = "2024-02-02T00:00:00Z";
            store->Add({added});
        }
    }
    ExpectFiguresMatchReports(path);
    // Migrated once, and kept across the second opening.
    EXPECT_EQ(QueryTestDatabase(path, "SELECT version FROM schema_version ORDER BY version"),
              (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(QueryTestDatabase(path, "SELECT id FROM reports WHERE time = '2024-02-02T00:00:00Z'"),
              std::vector<std::string>{"7"});
    EXPECT_EQ(QueryTestDatabase(path, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST(QVStoreTest, NewerSchemaIsRefused) {
    TScratchDir dir;
    const std::string database = TestDatabase(dir.Path());
    OpenStore(database);
    ExecOnTestDatabase(database, "INSERT INTO schema_version (version, applied) VALUES (3, 'later')");
    std::string error;
    EXPECT_EQ(RunService({"--db", database, "--dump"}, dir.Path(), error), 2);
    EXPECT_NE(error.find("the database has schema version 3; this program knows versions up to 2"), std::string::npos)
        << error;
    EXPECT_THROW(OpenStore(database), TStoreError);
}

// Text reaches both stores in one form: valid UTF-8 without NUL characters.
TEST(QVStoreTest, StorableTextTable) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"plain {ABC}", "plain {ABC}"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {std::string("a\0b", 3), "a\xEF\xBF\xBD"
                                 "b"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"x\xC3", "x\xEF\xBF\xBD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StorableText(c.in), c.out) << c.in;
}

TEST(QVStoreTest, BadDatabaseArgumentsEndTheStartWithExitCode2) {
    TScratchDir dir;
    const struct {
        const char* database;
        const char* message;
    } cases[] = {
        {"postgresql://qv@127.0.0.1:1/reports", "qvservice: cannot connect to PostgreSQL: "},
        {"postgres://qv@127.0.0.1:1/reports", "qvservice: cannot connect to PostgreSQL: "},
        {"postgresql://qv@[::1/reports", "qvservice: malformed PostgreSQL URL: "},
        {"postgresql://%zz@127.0.0.1/reports", "qvservice: malformed PostgreSQL URL: "},
        {"postgresql://qv@127.0.0.1:99999/reports", "qvservice: cannot connect to PostgreSQL: "},
        {"postgresql://qv@127.0.0.1:1/reports?sslmode=sometimes", "qvservice: cannot connect to PostgreSQL: "},
        {"/nonexistent-folder/reports.db", "qvservice: cannot open the database /nonexistent-folder/reports.db"},
    };
    for (const auto& c : cases) {
        for (const bool dump : {false, true}) {
            std::vector<std::string> args = {"--db", c.database};
            if (dump)
                args.push_back("--dump");
            std::string error;
            EXPECT_EQ(RunService(args, dir.Path(), error), 2) << c.database;
            EXPECT_EQ(error.rfind(c.message, 0), 0u) << c.database << ": " << error;
            EXPECT_EQ(error.find('\n'), error.size() - 1) << error;
        }
    }
}

// The program killed outright under load: every report it answered with 200 is in the database
// afterwards. With SQLite even "--sync normal" hands a commit to the operating system before the
// answer, which a crash of the process does not undo; the test runs with it.
TEST(QVStoreTest, KilledServiceLosesNoAnsweredReport) {
    TScratchDir dir;
    const std::string database = TestDatabase(dir.Path());
    TServiceProcess service;
    ASSERT_TRUE(service.Start({"--db", database, "--no-access-log", "--sync", "normal"}, dir.Path(), "service"));
    std::atomic<int> answered{0};
    std::vector<std::vector<std::string>> accepted(4), sent(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", service.Port());
            client.set_read_timeout(5, 0);
            for (int i = 0;; ++i) {
                const std::string uid = "k" + std::to_string(t) + "-" + std::to_string(i);
                sent[t].push_back(uid);
                auto res =
                    client.Post("/api/client.asmx/SendLog", "CR=" + HitToken(uid), "application/x-www-form-urlencoded");
                if (!res)
                    return;
                if (res->status == 200) {
                    accepted[t].push_back(uid);
                    ++answered;
                }
            }
        });
    while (answered < 300)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int status = service.Stop(SIGKILL);
    for (auto& thread : threads)
        thread.join();
    EXPECT_TRUE(WIFSIGNALED(status));

    std::set<std::string> stored;
    for (const TReport& r : OpenStore(database)->All())
        EXPECT_TRUE(stored.insert(r.uid).second) << "twice: " << r.uid;
    for (int t = 0; t < 4; ++t) {
        for (const std::string& uid : accepted[t])
            EXPECT_EQ(stored.count(uid), 1u) << "answered but lost: " << uid;
        for (const std::string& uid : sent[t])
            stored.erase(uid);
    }
    EXPECT_TRUE(stored.empty());
    ExpectFiguresMatchReports(database);
}

// The program's access log: one JSON object per request on its own line, whatever the path held.
TEST(QVStoreTest, AccessLogHasOneJsonLinePerRequest) {
    TScratchDir dir;
    TServiceProcess service;
    ASSERT_TRUE(service.Start({"--db", dir / "reports.db"}, dir.Path(), "service"));
    httplib::Client client("127.0.0.1", service.Port());
    ASSERT_TRUE(client.Get("/healthz"));
    ASSERT_TRUE(
        client.Post("/api/client.asmx/SendLog", "CR=" + HitToken("logged"), "application/x-www-form-urlencoded"));
    ASSERT_TRUE(client.Get("/files/%22%0A%5C%ff%00x"));
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    const std::string log = service.Stderr();
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u) << log;
    // Each is written once its answer is sent, so they need not come in the order of the requests.
    const char* const expected[] = {
        R"("peer":"127.0.0.1","method":"GET","path":"/healthz","status":200,"bytes":3,"ms":)",
        R"("method":"POST","path":"/api/client.asmx/SendLog","status":200,)",
        R"("path":"/files/\"\u000a\\)"
        "\xEF\xBF\xBD\xEF\xBF\xBD"
        R"(x","status":404,)",
    };
    for (const char* part : expected)
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [part](const std::string& aLine) {
                                    return aLine.rfind("{\"time\":\"", 0) == 0 && aLine.back() == '}' &&
                                           aLine.find(part) != std::string::npos;
                                }),
                  1)
            << part << "\n"
            << log;
    // Every line parses as JSON.
    const std::string file = dir / "access.log";
    std::ofstream(file) << log;
    EXPECT_EQ(RunShell("python3 -c 'import json, sys; [json.loads(l) for l in open(sys.argv[1])]' " + file), 0);
}

} // namespace

namespace {

// A store that keeps in memory what each commit held, and takes aCommitTime for a commit.
class TBatchStore : public TReportStore {
public:
    explicit TBatchStore(std::chrono::milliseconds aCommitTime) : FCommitTime(aCommitTime) {}
    void Add(const std::vector<TReport>& aBatch) override {
        std::this_thread::sleep_for(FCommitTime);
        std::lock_guard<std::mutex> guard(FLock);
        if (FFail)
            throw TStoreError("disk full");
        FBatches.push_back(aBatch.size());
        for (const TReport& r : aBatch)
            FStored.insert(r.uid);
    }
    void ForEach(const std::function<void(const TReport&)>&) override {}
    TStoreStatistics Statistics(const std::string&, const std::string&) override { return {}; }
    void AddOffer(const TOffer&) override {}
    bool Reachable() override { return true; }

    bool Stored(const std::string& aUid) {
        std::lock_guard<std::mutex> guard(FLock);
        return FStored.count(aUid) != 0;
    }
    std::vector<std::size_t> Batches() {
        std::lock_guard<std::mutex> guard(FLock);
        return FBatches;
    }
    void Fail(bool aFail) {
        std::lock_guard<std::mutex> guard(FLock);
        FFail = aFail;
    }

private:
    std::chrono::milliseconds FCommitTime;
    std::mutex FLock;
    bool FFail = false;
    std::vector<std::size_t> FBatches;
    std::set<std::string> FStored;
};

// Records aCount reports at once from as many threads; the results in thread order.
std::vector<int> RecordTogether(TReportRecorder& aRecorder, TBatchStore& aStore, int aCount,
                                const std::string& aPrefix) {
    std::vector<int> results(static_cast<std::size_t>(aCount), -1);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < aCount; ++i)
        threads.emplace_back([&, i] {
            TReport report;
            report.uid = aPrefix + std::to_string(i);
            ++ready;
            while (ready < aCount)
                std::this_thread::yield();
            const bool stored = aRecorder.Record(report);
            // A caller is answered only once its report is committed (or refused).
            results[static_cast<std::size_t>(i)] = stored == aStore.Stored(report.uid) ? stored : 2;
        });
    for (auto& thread : threads)
        thread.join();
    return results;
}

TEST(QVGroupCommitTest, ConcurrentReportsShareCommits) {
    TBatchStore store(std::chrono::milliseconds(30));
    TGroupCommit commit(store, std::chrono::microseconds(5000), 100);
    EXPECT_EQ(RecordTogether(commit, store, 16, "u"), std::vector<int>(16, 1));
    const auto batches = store.Batches();
    EXPECT_EQ(std::accumulate(batches.begin(), batches.end(), std::size_t{0}), 16u);
    EXPECT_LE(batches.size(), 8u);
}

TEST(QVGroupCommitTest, BatchesHoldAtMostTheMaximum) {
    TBatchStore store(std::chrono::milliseconds(10));
    TGroupCommit commit(store, std::chrono::microseconds(20000), 3);
    EXPECT_EQ(RecordTogether(commit, store, 10, "u"), std::vector<int>(10, 1));
    const auto batches = store.Batches();
    EXPECT_EQ(std::accumulate(batches.begin(), batches.end(), std::size_t{0}), 10u);
    for (const std::size_t n : batches)
        EXPECT_LE(n, 3u);
}

TEST(QVGroupCommitTest, AFailedCommitRefusesItsWholeBatch) {
    TBatchStore store(std::chrono::milliseconds(5));
    std::vector<std::string> failures;
    TGroupCommit commit(store, std::chrono::microseconds(0), 100,
                        [&failures](std::size_t aReports, const std::string& aReason) {
                            failures.push_back(std::to_string(aReports) + " " + aReason);
                        });
    store.Fail(true);
    EXPECT_EQ(RecordTogether(commit, store, 6, "lost"), std::vector<int>(6, 0));
    EXPECT_FALSE(failures.empty());
    EXPECT_EQ(failures[0].substr(failures[0].find(' ')), " disk full");
    store.Fail(false);
    EXPECT_EQ(RecordTogether(commit, store, 6, "kept"), std::vector<int>(6, 1));
    const auto batches = store.Batches();
    EXPECT_EQ(std::accumulate(batches.begin(), batches.end(), std::size_t{0}), 6u);
}

} // namespace
