// Runs "Quenvar.exe SETLEVEL n" and UNINSTALL under Wine against the prefix's real machine
// registry, as Windows 7 (Wine's default) and as Windows 10, and checks what they leave: each
// level exactly its table, and the machine exactly as it was once protection is off again.
// Every tree the runs touch is saved first and put back afterwards.
#include "LevelExpectations.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(L"\"" + QuenvarExe() + L"\" " + anArgs);
}

// Makes Wine report another Windows version to Quenvar.exe only, for the guard's lifetime.
class TWineVersionForQuenvar {
public:
    explicit TWineVersionForQuenvar(const wchar_t* aVersion) {
        if (aVersion) {
            EXPECT_TRUE(WriteRegString(HKEY_CURRENT_USER, kKey, L"Version", aVersion));
        }
    }
    ~TWineVersionForQuenvar() { DeleteRegKeyTree(HKEY_CURRENT_USER, kKey, true); }
    TWineVersionForQuenvar(const TWineVersionForQuenvar&) = delete;
    TWineVersionForQuenvar& operator=(const TWineVersionForQuenvar&) = delete;

private:
    static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\Quenvar.exe";
};

struct TWineSystem {
    const char* name;
    const wchar_t* wineVersion; // null: the prefix's default
    const TOSVersion& os;
};
const TWineSystem kSystems[] = {{"Windows 7", nullptr, kWineWindows7}, {"Windows 10", L"win10", kWineWindows10}};

class SetLevelEndToEnd : public ::testing::Test {
protected:
    TLevelStateGuard FMachine;
    TUrlRecorder FPages; // a successful level opens its protection page: recorded, not shown

    void SetUp() override {
        // The store decides nothing about the machine, but a test leaves none behind.
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
        FMachine.Prepare();
    }
    void TearDown() override { DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true); }
};

TEST_F(SetLevelEndToEnd, LevelsInAnyOrderLeaveTheirTablesAndOffLeavesTheMachineAsItWas) {
    const struct {
        const char* what;
        void (*prepare)();
    } starts[] = {{"fresh prefix", [] {}},
                  {"administrator values", WriteAdministratorValues},
                  {"stray TLS 1.3 key", WriteStrayTls13Key}};
    for (const auto& system : kSystems) {
        const TWineVersionForQuenvar version(system.wineVersion);
        for (const auto& start : starts) {
            SCOPED_TRACE(std::string(system.name) + ", " + start.what);
            TLevelStateGuard guard;
            guard.Prepare();
            start.prepare();
            int target = 0;
            ReadRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, target);
            const DWORD others = static_cast<DWORD>(target) & ~DWORD(0x8 | 0x20 | 0x80 | 0x200 | 0x800 | 0x2000);
            const std::wstring original = SnapshotTouchedTrees();

            ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0);
            ExpectMachineAtLevel(lMax, system.os, others);
            const std::wstring max = SnapshotTouchedTrees();
            ASSERT_EQ(RunQuenvar(L"SETLEVEL 1"), 0);
            ExpectMachineAtLevel(lOptimal, system.os, others);
            ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0);
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), max), "");
            ASSERT_EQ(RunQuenvar(L"SETLEVEL 0"), 0);
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");

            ASSERT_EQ(RunQuenvar(L"SETLEVEL 1"), 0);
            ASSERT_EQ(RunQuenvar(L"UNINSTALL"), 0);
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");
        }
    }
}

TEST_F(SetLevelEndToEnd, TheArgumentSelectsTheLevel) {
    const std::wstring original = SnapshotTouchedTrees();
    const std::pair<const wchar_t*, TLevel> cases[] = {
        {L"SETLEVEL 2", lMax},   {L"/setlevel \"7\"", lMax}, {L"setlevel 1", lOptimal},
        {L"-SETLEVEL -3", lOff}, {L"SETLEVEL abc", lOff},    {L"/SETLEVEL \"0\"", lOff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.first));
        ASSERT_EQ(RunQuenvar(c.first), 0);
        if (c.second == lOff)
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");
        else
            ExpectMachineAtLevel(c.second, kWineWindows7, kForeignBit);
        ASSERT_EQ(RunQuenvar(L"SETLEVEL 0"), 0);
    }
    // A level that changed SCHANNEL leaves a restart pending, until Windows starts again.
    EXPECT_TRUE(RestartPending());
}

TEST_F(SetLevelEndToEnd, WithoutALevelNothingIsWritten) {
    const std::wstring original = SnapshotTouchedTrees();
    for (const wchar_t* args : {L"SETLEVEL", L"SETLEVEL \"\"", L"/SetLevel \"\" 2"}) {
        SCOPED_TRACE(Narrow(args));
        ASSERT_EQ(RunQuenvar(args), 0);
        EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");
    }
}

} // namespace
