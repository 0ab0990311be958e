// What the service's tests share: client tokens, the database under test (SQLite, or the
// PostgreSQL database that tests/with-postgres.sh provides), the real qvservice program as a
// child process, and a fixture of reports with known figures.
#pragma once

#include "QVService.h"
#include "QVStoreFactory.h"

#include <httplib.h>

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// A token as the client builds it, from (name, value) pairs in order.
std::string ClientToken(const std::vector<std::pair<std::wstring, std::wstring>>& aParams);
// The token of a daily hit from client aUid at version aVer ("QUENVAR=1.0.0.1").
std::string HitToken(const std::string& aUid, const std::string& aVer = "QUENVAR=1.0.0.1");

std::string ReadAll(const std::string& aPath);
int RunShell(const std::string& aCommand);
// A scratch folder, removed by the destructor.
class TScratchDir {
public:
    TScratchDir();
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& aName) const { return FPath + "/" + aName; }

private:
    std::string FPath;
};

// The PostgreSQL database of this run (QV_TEST_POSTGRES_URL), or empty when the run uses SQLite.
std::string PostgresURL();
// Crashes ("stop") or starts ("start") the PostgreSQL server of this run.
void PostgresControl(const std::string& aVerb);
// Runs test-written SQL on the PostgreSQL database and returns the rows, columns as text.
std::vector<std::vector<std::string>> PostgresQuery(const std::string& aSql);
// The database a test uses: a fresh PostgreSQL schema when the run has one, else aDir/reports.db.
std::string TestDatabase(const std::string& aDir);
// Runs test-written SQL on the database of TestDatabase (SQLite file or PostgreSQL).
void ExecOnTestDatabase(const std::string& aDatabase, const std::string& aSql);
// The first column of the rows of a test-written query on that database.
std::vector<std::string> QueryTestDatabase(const std::string& aDatabase, const std::string& aSql);
// The daily figures the store keeps must be what its reports give, counted afresh.
void ExpectFiguresMatchReports(const std::string& aDatabase);

// The real program, started with arguments; stdout and stderr go to files in aDir.
class TServiceProcess {
public:
    // Starts "qvservice ARGS --port 0 --port-file ..." and waits until it listens (false when it
    // ends first or takes longer than 20 s).
    bool Start(const std::vector<std::string>& anArgs, const std::string& aDir, const std::string& aName);
    ~TServiceProcess();
    int Port() const { return FPort; }
    pid_t Pid() const { return FPid; }
    // Sends aSignal and waits for the end; the exit status as waitpid gives it.
    int Stop(int aSignal = 15);
    std::string Stderr() const { return ReadAll(FStderr); }

private:
    pid_t FPid = -1;
    int FPort = 0;
    std::string FStderr;
};

// Runs qvservice with anArgs to its end: its exit code, with its stderr in aStderr.
int RunService(const std::vector<std::string>& anArgs, const std::string& aDir, std::string& aStderr);

// Reports over 2024-03-01..2024-03-06 and two offers, with the figures of kFixtureJSON.
void AddStatsFixture(TReportStore& aStore);
// /stats.json?from=2024-03-01&to=2024-03-05 over the fixture.
extern const char kFixtureJSON[];
