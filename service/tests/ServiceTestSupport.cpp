#include "ServiceTestSupport.h"

#include "CryptU.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::wstring Widen(const std::string& aText) {
    return std::wstring(aText.begin(), aText.end());
}

pid_t Spawn(const std::vector<std::string>& anArgs, const std::string& aStdout, const std::string& aStderr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, aStdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, aStderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = anArgs;
    args.insert(args.begin(), QVSERVICE_EXE);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, QVSERVICE_EXE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

} // namespace

std::string ClientToken(const std::vector<std::pair<std::wstring, std::wstring>>& aParams) {
    TCryptURL crypt(true);
    for (const auto& p : aParams)
        crypt.SetParameters(p.first, p.second);
    const std::wstring token = crypt.Encrypt();
    return std::string(token.begin(), token.end());
}

std::string HitToken(const std::string& aUid, const std::string& aVer) {
    return ClientToken(
        {{L"CFG", L"10"}, {L"UID", Widen(aUid)}, {L"VER", Widen(aVer)}, {L"CLS", L""}, {L"SUBID", L"0"}});
}

std::string ReadAll(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int RunShell(const std::string& aCommand) {
    const int status = std::system(aCommand.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TScratchDir::TScratchDir() {
    char dir[] = "/tmp/qvservice-test-XXXXXX";
    if (!mkdtemp(dir))
        throw std::runtime_error("cannot create a scratch folder");
    FPath = dir;
}

TScratchDir::~TScratchDir() {
    std::error_code error;
    std::filesystem::remove_all(FPath, error);
}

std::string PostgresURL() {
    const char* url = std::getenv("QV_TEST_POSTGRES_URL");
    return url ? url : "";
}

void PostgresControl(const std::string& aVerb) {
    const char* control = std::getenv("QV_TEST_POSTGRES_CTL");
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(RunShell(std::string(control) + " " + aVerb), 0) << aVerb;
}

std::vector<std::vector<std::string>> PostgresQuery(const std::string& aSql) {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(PostgresURL().c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error(PQerrorMessage(conn.get()));
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), aSql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(aSql + ": " + PQresultErrorMessage(result.get()));
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < PQntuples(result.get()); ++r) {
        rows.emplace_back();
        for (int c = 0; c < PQnfields(result.get()); ++c)
            rows.back().push_back(PQgetvalue(result.get(), r, c));
    }
    return rows;
}

std::string TestDatabase(const std::string& aDir) {
    if (PostgresURL().empty())
        return aDir + "/reports.db";
    PostgresQuery("DROP TABLE IF EXISTS reports, reports_away, offers, schema_version, day_counts, day_version_counts, "
                  "day_clients, day_versions CASCADE");
    return PostgresURL();
}

void ExecOnTestDatabase(const std::string& aDatabase, const std::string& aSql) {
    if (IsPostgresURL(aDatabase)) {
        PostgresQuery(aSql);
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(aDatabase.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, aSql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << " in " << aSql;
    sqlite3_free(error);
    sqlite3_close(db);
}

std::vector<std::string> QueryTestDatabase(const std::string& aDatabase, const std::string& aSql) {
    std::vector<std::string> values;
    if (IsPostgresURL(aDatabase)) {
        for (const auto& row : PostgresQuery(aSql))
            values.push_back(row.at(0));
        return values;
    }
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(aDatabase.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char* error = nullptr;
    const int rc = sqlite3_exec(
        db, aSql.c_str(),
        [](void* aValues, int, char** aColumns, char**) {
            static_cast<std::vector<std::string>*>(aValues)->push_back(aColumns[0] ? aColumns[0] : "");
            return 0;
        },
        &values, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << " in " << aSql;
    sqlite3_free(error);
    sqlite3_close(db);
    return values;
}

void ExpectFiguresMatchReports(const std::string& aDatabase) {
    auto query = [&aDatabase](const char* aSql) { return QueryTestDatabase(aDatabase, aSql); };
    // The reports of each kind per day.
    const auto kept = query("SELECT day || ' ' || kind || ' ' || sum(amount) FROM day_counts WHERE kind <> 'active'"
                            " GROUP BY day, kind ORDER BY 1");
    EXPECT_FALSE(kept.empty());
    EXPECT_EQ(kept, query("SELECT day || ' ' || k || ' ' || n FROM (SELECT day, CASE WHEN accepted = 0 THEN"
                          " 'rejected' WHEN action = 0 THEN 'hits' WHEN action = 1 THEN 'installations' WHEN action"
                          " = 2 THEN 'removals' ELSE 'other' END AS k, count(*) AS n FROM reports GROUP BY 1, 2)"
                          " AS x ORDER BY 1"));
    // Each client with a hit once per day, with a version it reported that day.
    EXPECT_EQ(query("SELECT day || ' ' || uid FROM day_clients ORDER BY 1"),
              query("SELECT DISTINCT day || ' ' || uid FROM reports WHERE accepted = 1 AND action = 0 ORDER BY 1"));
    EXPECT_EQ(query("SELECT count(*) FROM day_clients c WHERE NOT EXISTS (SELECT 1 FROM reports r WHERE"
                    " r.accepted = 1 AND r.action = 0 AND r.day = c.day AND r.uid = c.uid AND r.ver = c.ver)"),
              std::vector<std::string>{"0"});
    // The counters count those clients.
    EXPECT_EQ(query("SELECT day || ' ' || sum(amount) FROM day_counts WHERE kind = 'active' GROUP BY day ORDER BY 1"),
              query("SELECT day || ' ' || count(*) FROM day_clients GROUP BY day ORDER BY 1"));
    EXPECT_EQ(query("SELECT day || ' ' || ver || ' ' || sum(clients) FROM day_version_counts GROUP BY day, ver"
                    " ORDER BY 1"),
              query("SELECT day || ' ' || ver || ' ' || count(*) FROM day_clients GROUP BY day, ver ORDER BY 1"));
}

bool TServiceProcess::Start(const std::vector<std::string>& anArgs, const std::string& aDir, const std::string& aName) {
    const std::string portFile = aDir + "/" + aName + ".port";
    std::remove(portFile.c_str());
    FStderr = aDir + "/" + aName + ".stderr";
    std::vector<std::string> args = anArgs;
    args.insert(args.end(), {"--port", "0", "--port-file", portFile});
    FPid = Spawn(args, aDir + "/" + aName + ".stdout", FStderr);
    if (FPid < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string port = ReadAll(portFile);
        if (!port.empty()) {
            FPort = std::atoi(port.c_str());
            return FPort > 0;
        }
        int status = 0;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TServiceProcess::~TServiceProcess() {
    Stop(SIGKILL);
}

int TServiceProcess::Stop(int aSignal) {
    if (FPid < 0)
        return -1;
    kill(FPid, aSignal);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
    return status;
}

int RunService(const std::vector<std::string>& anArgs, const std::string& aDir, std::string& aStderr) {
    const pid_t pid = Spawn(anArgs, aDir + "/run.stdout", aDir + "/run.stderr");
    if (pid < 0)
        return -1;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            aStderr = "timed out";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    aStderr = ReadAll(aDir + "/run.stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void AddStatsFixture(TReportStore& aStore) {
    struct TRow {
        const char* time;
        int action;
        bool accepted;
        const char* uid;
        const char* ver;
    };
    // u1 and u2 install on the 1st, u3 on the 2nd; 1.0.0.2 is offered on the 2nd and u1 and u3
    // take it on the 3rd; u2 leaves on the 3rd; on the 4th u3 runs 1.2 and u4 sends no readable
    // version. The first and the last report lie outside the range asked for.
    const TRow rows[] = {
        {"2024-02-29T23:59:59Z", 0, true, "u1", "QUENVAR=1.0.0.1"},
        {"2024-03-01T09:00:00Z", 1, true, "u1", ""},
        {"2024-03-01T09:05:00Z", 1, true, "u2", ""},
        {"2024-03-01T10:00:00Z", 0, true, "u1", "QUENVAR=1.0.0.1"},
        {"2024-03-01T11:00:00Z", 0, true, "u2", "QUENVAR=1.0.0.1"},
        {"2024-03-01T12:00:00Z", 0, true, "u1", "QUENVAR=1.0.0.1"},
        {"2024-03-01T13:00:00Z", 0, false, "", ""},
        {"2024-03-02T08:30:00Z", 1, true, "u3", ""},
        {"2024-03-02T09:00:00Z", 0, true, "u1", "QUENVAR=1.0.0.1"},
        {"2024-03-02T09:10:00Z", 0, true, "u2", "QUENVAR=1.0.0.1"},
        {"2024-03-02T09:20:00Z", 0, true, "u3", "QUENVAR=1.0.0.1"},
        {"2024-03-03T09:00:00Z", 0, true, "u1", "QUENVAR=1.0.0.2"},
        {"2024-03-03T09:10:00Z", 0, true, "u2", "QUENVAR=1.0.0.1"},
        {"2024-03-03T09:20:00Z", 0, true, "u3", "QUENVAR=1.0.0.2"},
        {"2024-03-03T15:00:00Z", 2, true, "u2", ""},
        {"2024-03-03T16:00:00Z", -1, false, "u9", ""},
        {"2024-03-04T09:00:00Z", 0, true, "u1", "QUENVAR=1.0.0.2"},
        {"2024-03-04T09:20:00Z", 0, true, "u3", "QUENVAR=1.2"},
        {"2024-03-04T09:30:00Z", 0, true, "u4", "QUENVAR=x"},
        {"2024-03-06T00:00:00Z", 1, true, "u5", ""},
    };
    std::vector<TReport> batch;
    for (const TRow& row : rows) {
        TReport report;
        report.time = row.time;
        report.action = row.action;
        report.operation = row.action == 0 ? "SendLog" : "GetXML";
        report.accepted = row.accepted;
        report.reason = row.accepted ? "" : row.action < 0 ? "unknown action" : "malformed or tampered token";
        report.uid = row.uid;
        report.ver = row.ver;
        report.cfg = "10";
        report.peer = "127.0.0.1";
        batch.push_back(report);
    }
    aStore.Add(batch);
    aStore.AddOffer({"1.0.0.2", "http://updates.example/Quenvar-1.0.0.2.cab", "2024-03-02T08:00:00Z"});
    aStore.AddOffer({"1.0.0.2", "http://updates.example/other.cab", "2024-03-05T08:00:00Z"});
    aStore.AddOffer({"1.3", "http://updates.example/Quenvar-1.3.cab", "2024-03-09T08:00:00Z"});
}

const char kFixtureJSON[] =
    R"({"from":"2024-03-01","to":"2024-03-05","versions":["1.2.0.0","1.0.0.2","1.0.0.1","unknown"],"days":[)"
    R"({"day":"2024-03-01","installations":2,"removals":0,"hits":3,"active":2,"rejected":1,"versions":{"1.0.0.1":2}},)"
    R"({"day":"2024-03-02","installations":1,"removals":0,"hits":3,"active":3,"rejected":0,"versions":{"1.0.0.1":3}},)"
    R"({"day":"2024-03-03","installations":0,"removals":1,"hits":3,"active":3,"rejected":1,)"
    R"("versions":{"1.0.0.2":2,"1.0.0.1":1}},)"
    R"({"day":"2024-03-04","installations":0,"removals":0,"hits":3,"active":3,"rejected":0,)"
    R"("versions":{"1.2.0.0":1,"1.0.0.2":1,"unknown":1}},)"
    R"({"day":"2024-03-05","installations":0,"removals":0,"hits":0,"active":0,"rejected":0,"versions":{}}],)"
    R"("adoption":[{"version":"1.0.0.2","url":"http://updates.example/Quenvar-1.0.0.2.cab",)"
    R"("since":"2024-03-02T08:00:00Z","days":[{"day":"2024-03-02","clients":3,"updated":0},)"
    R"({"day":"2024-03-03","clients":3,"updated":2},{"day":"2024-03-04","clients":2,"updated":2},)"
    R"({"day":"2024-03-05","clients":0,"updated":0}]}]})"
    "\n";
