// The UPDATE mode of the real executable (a build that trusts the tests' publisher key), run from
// a scratch program folder against a loopback server: one updater at a time, and no work
// without an address.
#include "LoopbackServer.h"

#include "CabTestUtil.h"
#include "MutexU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

class UpdateModeTest : public ::testing::Test {
protected:
    UpdateModeTest()
        : FServer([](const TRecordedRequest&) {
              return TScriptedReply{TLoopbackServer::Reply("404 Not Found", "Content-Length: 0\r\n", "")};
          }) {
        FExe = FDir / L"Quenvar.exe";
        EXPECT_TRUE(CopyFileW((TestBinDir() + L"QuenvarUpdCurrent.exe").c_str(), FExe.c_str(), FALSE));
    }
    // Runs the copy with anArgs; the exit code, and the seconds it took in aSeconds.
    long Run(const std::wstring& anArgs, double& aSeconds) {
        const auto start = std::chrono::steady_clock::now();
        const long code = RunProcess(L"\"" + FExe + L"\" " + anArgs, 60000);
        aSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return code;
    }

    TTempDir FDir;
    std::wstring FExe;
    TLoopbackServer FServer;
};

TEST_F(UpdateModeTest, ASecondUpdaterIsTurnedAwayByTheUpdateMutex) {
    const std::wstring args = L"UPDATE \"" + FServer.URL("/files/pkg.cab") + L"\"";
    double seconds = 0;
    {
        TGlobalMutex running(L"QuenvarMtx_UPD");
        ASSERT_TRUE(running.Lock(1000));
        EXPECT_EQ(Run(args, seconds), 0);
        running.Unlock();
    }
    EXPECT_TRUE(FServer.Requests().empty());
    EXPECT_LT(seconds, 10.0);

    // Free again: the same command reaches the server, finds no package and changes nothing.
    EXPECT_EQ(Run(args, seconds), 0);
    ASSERT_EQ(FServer.Requests().size(), 1u);
    EXPECT_EQ(FServer.Requests()[0].path, "/files/pkg.cab");
    EXPECT_FALSE(FileExistsW(FDir / L"Update\\pkg.cab"));
    EXPECT_FALSE(FileExistsW(FDir / L"Quenvar.old.exe"));
}

TEST_F(UpdateModeTest, WithoutAnAddressNothingIsFetched) {
    double seconds = 0;
    for (const wchar_t* args : {L"UPDATE", L"/update \"\"", L"-UPDATE \"   \""}) {
        EXPECT_EQ(Run(args, seconds), 0) << args;
        EXPECT_LT(seconds, 10.0) << args;
    }
    EXPECT_TRUE(FServer.Requests().empty());
    EXPECT_FALSE(FileExistsW(FDir / L"Quenvar.old.exe"));
}

} // namespace
