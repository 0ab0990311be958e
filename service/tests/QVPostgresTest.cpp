// Several qvservice processes on one PostgreSQL database, and a database server that crashes
// under load. Run by tests/with-postgres.sh, which provides the server.
#include "ServiceTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

class QVPostgresTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (PostgresURL().empty())
            GTEST_SKIP() << "no PostgreSQL server in this run (see tests/with-postgres.sh)";
        FDatabase = TestDatabase(FDir.Path());
    }
    std::vector<std::string> Column(const std::string& aSql) {
        std::vector<std::string> values;
        for (const auto& row : PostgresQuery(aSql))
            values.push_back(row.at(0));
        return values;
    }
    std::vector<std::string> Args() const {
        return {"--db", FDatabase, "--offer-version", "1.0.0.2", "--offer-url", "http://updates.example/Q.cab"};
    }

    TScratchDir FDir;
    std::string FDatabase;
};

TEST_F(QVPostgresTest, InstancesStartingTogetherMigrateOnce) {
    constexpr int kInstances = 3;
    TServiceProcess services[kInstances];
    bool started[kInstances] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kInstances; ++i)
        threads.emplace_back(
            [&, i] { started[i] = services[i].Start(Args(), FDir.Path(), "instance" + std::to_string(i)); });
    for (auto& thread : threads)
        thread.join();
    for (int i = 0; i < kInstances; ++i)
        EXPECT_TRUE(started[i]) << services[i].Stderr();
    EXPECT_EQ(Column("SELECT version FROM schema_version ORDER BY version"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(Column("SELECT count(*) FROM offers"), std::vector<std::string>{"1"});
}

// Two instances under load from eight clients that alternate between them, several clients
// reporting the same client identities at once: every report answered 200 is stored exactly once,
// each client counts once per day and version whichever instance saw it first, and both instances
// give the same answers.
TEST_F(QVPostgresTest, TwoInstancesLoseAndDoubleNoReport) {
    TServiceProcess a, b;
    ASSERT_TRUE(a.Start(Args(), FDir.Path(), "a")) << a.Stderr();
    ASSERT_TRUE(b.Start(Args(), FDir.Path(), "b")) << b.Stderr();
    constexpr int kClients = 8, kEach = 60;
    std::vector<std::vector<std::string>> accepted(kClients);
    std::vector<std::set<std::string>> answers(kClients);
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            httplib::Client clients[] = {httplib::Client("127.0.0.1", a.Port()),
                                         httplib::Client("127.0.0.1", b.Port())};
            for (int i = 0; i < kEach; ++i) {
                // The request's own mark travels in CLS; the identity is shared by several clients.
                const std::string mark = "p" + std::to_string(c) + "-" + std::to_string(i);
                const std::wstring uid = L"shared-" + std::to_wstring(i % 15);
                const std::string ver = i % 2 ? "QUENVAR=1.0.0.1" : "QUENVAR=1.0.0.2";
                const std::string token = ClientToken({{L"CFG", L"10"},
                                                       {L"UID", uid},
                                                       {L"VER", std::wstring(ver.begin(), ver.end())},
                                                       {L"CLS", std::wstring(mark.begin(), mark.end())},
                                                       {L"SUBID", L"0"}});
                auto res = clients[(c + i) % 2].Post("/api/client.asmx/SendLog", "CR=" + token,
                                                     "application/x-www-form-urlencoded");
                if (res && res->status == 200) {
                    accepted[c].push_back(mark);
                    answers[c].insert(ver + " " + res->body);
                }
            }
        });
    for (auto& thread : threads)
        thread.join();

    std::set<std::string> expected, bodies;
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(accepted[c].size(), static_cast<std::size_t>(kEach)) << c;
        expected.insert(accepted[c].begin(), accepted[c].end());
        bodies.insert(answers[c].begin(), answers[c].end());
    }
    // One answer per client version, whichever instance gave it.
    EXPECT_EQ(bodies.size(), 2u);
    const auto stored = Column("SELECT cls FROM reports ORDER BY cls");
    EXPECT_EQ(std::set<std::string>(stored.begin(), stored.end()), expected);
    EXPECT_EQ(stored.size(), expected.size());
    ExpectFiguresMatchReports(FDatabase);
    EXPECT_EQ(Column("SELECT sum(amount) FROM day_counts WHERE kind = 'active'"), std::vector<std::string>{"15"});
}

// The database server crashes while clients report: the service answers 503 and says so on
// /healthz, then recovers by itself once the server is back. No report answered 200 is lost,
// none is stored twice.
TEST_F(QVPostgresTest, CrashedServerGives503ThenRecovery) {
    TServiceProcess service;
    ASSERT_TRUE(service.Start(Args(), FDir.Path(), "service")) << service.Stderr();
    constexpr int kClients = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> ok{0}, unavailable{0}, other{0};
    std::vector<std::vector<std::string>> accepted(kClients);
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", service.Port());
            client.set_read_timeout(20, 0);
            for (int i = 0; !stop; ++i) {
                const std::string uid = "r" + std::to_string(c) + "-" + std::to_string(i);
                auto res =
                    client.Post("/api/client.asmx/SendLog", "CR=" + HitToken(uid), "application/x-www-form-urlencoded");
                if (res && res->status == 200) {
                    accepted[c].push_back(uid);
                    ++ok;
                } else if (res && res->status == 503) {
                    ++unavailable;
                    std::this_thread::sleep_for(5ms);
                } else {
                    ++other;
                }
            }
        });
    auto waitFor = [](const std::function<bool()>& aCondition, std::chrono::seconds aLimit) {
        const auto deadline = std::chrono::steady_clock::now() + aLimit;
        while (!aCondition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return aCondition();
    };
    auto health = [&service] {
        httplib::Client client("127.0.0.1", service.Port());
        auto res = client.Get("/healthz");
        return res ? res->status : -1;
    };

    EXPECT_TRUE(waitFor([&] { return ok >= 200; }, 20s));
    PostgresControl("stop");
    EXPECT_TRUE(waitFor([&] { return unavailable >= 20; }, 20s));
    EXPECT_EQ(health(), 503);
    const int okWhileDown = ok;
    PostgresControl("start");
    EXPECT_TRUE(waitFor([&] { return ok >= okWhileDown + 200; }, 30s));
    EXPECT_EQ(health(), 200);
    stop = true;
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(other, 0);
    std::map<std::string, int> stored;
    for (const std::string& uid : Column("SELECT uid FROM reports"))
        ++stored[uid];
    for (const auto& entry : stored)
        EXPECT_EQ(entry.second, 1) << entry.first;
    for (int c = 0; c < kClients; ++c)
        for (const std::string& uid : accepted[c])
            EXPECT_EQ(stored.count(uid), 1u) << "answered 200 but lost: " << uid;
    ExpectFiguresMatchReports(FDatabase);
    EXPECT_NE(service.Stderr().find("\"event\":\"commit failed\""), std::string::npos);
}

} // namespace
