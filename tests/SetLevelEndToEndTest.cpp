// Runs "Quenvar.exe SETLEVEL n" and UNINSTALL under Wine against the prefix's real machine
// registry, as Windows 7 (Wine's default) and as Windows 10, and checks what they leave: each
// level exactly its table, and the machine exactly as it was once protection is off again; an
// argument that names no level changes nothing and ends with exit code 2. Every tree the runs touch is saved first and
// put back afterwards. Also where the program finds the Internet Explorer descriptors, in the
// prefix's two registry views.
#include "HandleU.h"
#include "LevelExpectations.h"
#include "QVMachine.h"
#include "QVSettings.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(L"\"" + QuenvarExe() + L"\" " + anArgs);
}

// A level change as the machine sees it: the SETLEVEL process (the machine's part), then the user's
// own instance noticing the new level (/userlevel: the user's browser options).
long SetLevel(const std::wstring& anArgs) {
    const long code = RunQuenvar(anArgs);
    if (code == 0) {
        EXPECT_EQ(RunQuenvar(L"/userlevel"), 0);
    }
    return code;
}

// Off stores 0 as the machine's level, the one trace it leaves: checked, then taken away so that
// the rest can be compared with the machine before any level.
void ExpectLevelOffAndForgetIt() {
    EXPECT_EQ(ReadStoredLevel(), lOff);
    TRegKey key;
    TRegValueData level;
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_READ | ViewAccess(true)), ERROR_SUCCESS);
    EXPECT_EQ(key.Read(kLevelValue, level), ERROR_SUCCESS);
    EXPECT_TRUE(level.Present);
    EXPECT_TRUE(DeleteMachineLevel());
}

// Runs Quenvar.exe with its standard error redirected to a file, as a console's "2>file" does,
// and gives back what it wrote there; -1 when it could not run or did not end.
long RunQuenvarCapturingErrors(const std::wstring& anArgs, std::string& anErrors) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"qv-setlevel-errors.txt";
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    long code = -1;
    {
        TUniqueFile errors(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!errors)
            return -1;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdError = errors.get();
        PROCESS_INFORMATION pi{};
        std::wstring command = L"\"" + QuenvarExe() + L"\" " + anArgs;
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
            TUniqueKernelHandle process(pi.hProcess);
            TUniqueKernelHandle thread(pi.hThread);
            DWORD exitCode = 0;
            if (WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(process.get(), &exitCode))
                code = static_cast<long>(exitCode);
            else
                TerminateProcess(process.get(), 1);
        }
    }
    {
        std::ifstream in(std::filesystem::path(path), std::ios::binary);
        anErrors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    DeleteFileW(path.c_str());
    return code;
}

struct TWineSystem {
    const char* name;
    const wchar_t* wineVersion; // null: the prefix's default
    const TOSVersion& os;
};
const TWineSystem kSystems[] = {{"Windows 7", nullptr, kWineWindows7}, {"Windows 10", L"win10", kWineWindows10}};

class SetLevelEndToEnd : public ::testing::Test {
protected:
    TLevelStateGuard FMachine;
    TUrlRecorder FPages; // a page opened by mistake is recorded, not shown

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
                  {"stray TLS 1.3 key", WriteStrayTls13Key},
                  {"no SecureProtocols", [] { DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue); }}};
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

            ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
            ExpectMachineAtLevel(lMax, system.os, others);
            const std::wstring max = SnapshotTouchedTrees();
            ASSERT_EQ(SetLevel(L"SETLEVEL 1"), 0);
            ExpectMachineAtLevel(lOptimal, system.os, others);
            ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), max), "");
            ASSERT_EQ(SetLevel(L"SETLEVEL 0"), 0);
            ExpectLevelOffAndForgetIt();
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");

            ASSERT_EQ(SetLevel(L"SETLEVEL 1"), 0);
            ASSERT_EQ(RunQuenvar(L"UNINSTALL"), 0);
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");
        }
    }
}

TEST_F(SetLevelEndToEnd, TheArgumentSelectsTheLevel) {
    const std::wstring original = SnapshotTouchedTrees();
    const std::pair<const wchar_t*, TLevel> cases[] = {
        {L"SETLEVEL 2", lMax},    {L"/setlevel \"maximum\"", lMax}, {L"setlevel 1", lOptimal},
        {L"-SETLEVEL Off", lOff}, {L"SETLEVEL \" 1 \"", lOptimal},  {L"/SETLEVEL \"0\"", lOff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.first));
        ASSERT_EQ(SetLevel(c.first), 0);
        EXPECT_EQ(ReadStoredLevel(), c.second);
        if (c.second == lOff) {
            ExpectLevelOffAndForgetIt();
            EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");
        } else {
            ExpectMachineAtLevel(c.second, kWineWindows7, kForeignBit);
        }
        ASSERT_EQ(SetLevel(L"SETLEVEL 0"), 0);
    }
    // A level that changed SCHANNEL leaves a restart pending, until Windows starts again.
    EXPECT_TRUE(RestartPending());
}

// Words an administrator may try, numbers outside the range, and no level at all: each used to
// switch protection off or was passed over in silence.
TEST_F(SetLevelEndToEnd, AnArgumentThatNamesNoLevelChangesNothingAndEndsWithExitCode2) {
    // Levelled here, not by a SETLEVEL process: its page would arrive at any time, as may a page
    // of an earlier test still on its way, which the pause lets through first.
    FPages.WaitForUrls(SIZE_MAX, 2000);
    FPages.Clear();
    ASSERT_EQ(ApplySecurityLevel(lOptimal), S_OK);
    ASSERT_TRUE(WriteLevel(lOptimal));
    int tls10 = -1;
    ASSERT_TRUE(ReadRegDWord(HKEY_LOCAL_MACHINE, kProtocolsKey + std::wstring(L"TLS 1.0\\Client"), L"DisabledByDefault",
                             tls10));
    ASSERT_EQ(tls10, 1); // Optimal stops offering TLS 1.0 to clients; Off would delete the value
    const std::wstring levelled = SnapshotTouchedTrees();
    for (const wchar_t* args : {L"/setlevel max", L"/setlevel optimum", L"SETLEVEL abc", L"SETLEVEL 2x", L"SETLEVEL -1",
                                L"SETLEVEL 5", L"SETLEVEL", L"SETLEVEL \"\"", L"/SetLevel \"\" 2"}) {
        SCOPED_TRACE(Narrow(args));
        EXPECT_EQ(RunQuenvar(args), 2);
        EXPECT_EQ(ReadStoredLevel(), lOptimal);
        EXPECT_TRUE(ReadRegDWord(HKEY_LOCAL_MACHINE, kProtocolsKey + std::wstring(L"TLS 1.0\\Client"),
                                 L"DisabledByDefault", tls10));
        EXPECT_EQ(tls10, 1);
        EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), levelled), "");
    }
    const std::vector<std::wstring> pages = FPages.WaitForUrls(1, 1500);
    EXPECT_TRUE(pages.empty()) << Narrow(pages[0]);

    // The line goes where the caller's errors go.
    std::string errors;
    EXPECT_EQ(RunQuenvarCapturingErrors(L"/setlevel max", errors), 2);
    EXPECT_EQ(errors, "Quenvar /setlevel: \"max\" names no level; use 0, 1, 2, off, optimal or maximum. "
                      "Nothing was changed.\r\n");
    EXPECT_EQ(RunQuenvarCapturingErrors(L"/setlevel", errors), 2);
    EXPECT_EQ(errors.rfind("Quenvar /setlevel: no level given;", 0), 0u) << errors;

    // A word in any letter case is as good as its digit.
    EXPECT_EQ(RunQuenvarCapturingErrors(L"SETLEVEL MAXIMUM", errors), 0);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(ReadStoredLevel(), lMax);
    ASSERT_EQ(RunQuenvar(L"/userlevel"), 0);
    ExpectMachineAtLevel(lMax, kWineWindows7, kForeignBit);
    ASSERT_EQ(RunQuenvar(L"SETLEVEL 0"), 0);
}

// Two users: this process's own (A) and another whose hive is loaded under HKEY_USERS (B). A raises
// the level, B's instance applies B's part at B's logon, and removal for B puts back B's value
// only; removal for a user whose hive is not there, or for a text that is no SID, touches nobody.
TEST_F(SetLevelEndToEnd, RemovalForOneUserPutsBackThatUsersValueOnly) {
    const std::wstring sidB = L"S-1-5-21-4242-4242-" + std::to_wstring(GetCurrentProcessId()) + L"-1002";
    TUniqueHKey hiveB;
    ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, sidB.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hiveB.put(), nullptr),
              ERROR_SUCCESS);
    struct TRemove {
        std::wstring Sid;
        ~TRemove() {
            RegDeleteTreeW(HKEY_USERS, Sid.c_str());
            RegDeleteKeyW(HKEY_USERS, Sid.c_str());
        }
    } removeB{sidB};
    const auto targetOf = [](HKEY aHive) {
        int value = -1;
        EXPECT_TRUE(ReadRegDWord(aHive, kIETargetPath, kIETargetValue, value));
        return static_cast<DWORD>(value);
    };
    const DWORD originalB = 0x8 | 0x20 | 0x4000;
    ASSERT_TRUE(WriteRegDWord(hiveB.get(), kIETargetPath, kIETargetValue, static_cast<int>(originalB)));
    const DWORD originalA = targetOf(HKEY_CURRENT_USER);

    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
    const DWORD levelledA = targetOf(HKEY_CURRENT_USER);
    ASSERT_NE(levelledA, originalA);
    EXPECT_EQ(targetOf(hiveB.get()), originalB) << "the elevated level change wrote B's hive";
    TLevelReport report;
    ASSERT_EQ(ApplyUserSecurityLevelOn(lMax, CurrentOSVersion(), hiveB.get(), report), S_OK);
    EXPECT_NE(targetOf(hiveB.get()), originalB);

    const std::wstring nobodies[] = {L"S-1-5-21-4242-4242-4242-99999", L"no SID", sidB + L"\\Software"};
    for (const std::wstring& nobody : nobodies) {
        SCOPED_TRACE(Narrow(nobody));
        ASSERT_EQ(RunQuenvar(L"/uninstall \"" + nobody + L"\""), 0);
        EXPECT_EQ(targetOf(HKEY_CURRENT_USER), levelledA);
        EXPECT_NE(targetOf(hiveB.get()), originalB);
        TUniqueHKey store;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quenvar\\Backup", 0, KEY_READ, store.put()),
                  ERROR_SUCCESS);
    }

    ASSERT_EQ(RunQuenvar(L"/uninstall \"" + sidB + L"\""), 0);
    EXPECT_EQ(targetOf(hiveB.get()), originalB);
    TUniqueHKey storeB;
    EXPECT_NE(RegOpenKeyExW(hiveB.get(), L"Software\\Quenvar", 0, KEY_READ, storeB.put()), ERROR_SUCCESS);
    // A's value and A's originals wait for A's own removal.
    EXPECT_EQ(targetOf(HKEY_CURRENT_USER), levelledA);
    ASSERT_EQ(RunQuenvar(L"/uninstall"), 0);
    EXPECT_EQ(targetOf(HKEY_CURRENT_USER), originalA);
    EXPECT_EQ(targetOf(hiveB.get()), originalB);
}

// The descriptors as a 32-bit and a 64-bit program see them on 64-bit Windows: the 64-bit view's
// key first, the 32-bit view's (WOW6432Node) only for names the 64-bit view lacks.
TEST(IECryptoDescriptors, AreReadFromTheSixtyFourBitViewFirst) {
    const wchar_t kAdvanced[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions";
    const TKeyTreeGuard view64(HKEY_LOCAL_MACHINE, kAdvanced, KEY_WOW64_64KEY);
    const TKeyTreeGuard view32(HKEY_LOCAL_MACHINE, kAdvanced, KEY_WOW64_32KEY);
    const auto install = [](const wchar_t* aName, REGSAM aView, const wchar_t* aPath) {
        TRegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kCryptoKey + std::wstring(aName), KEY_SET_VALUE | aView,
                             REG_OPTION_NON_VOLATILE),
                  ERROR_SUCCESS);
        ASSERT_EQ(key.Write(L"RegPath", REG_SZ, aPath, static_cast<DWORD>((wcslen(aPath) + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    };
    install(L"QVOnly64", KEY_WOW64_64KEY, L"only 64");
    install(L"QVBoth", KEY_WOW64_64KEY, L"both, 64");
    install(L"QVOnly32", KEY_WOW64_32KEY, L"only 32");
    install(L"QVBoth", KEY_WOW64_32KEY, L"both, 32");
    {
        // The views really are apart here.
        TRegKey probe;
        ASSERT_EQ(probe.Open(HKEY_LOCAL_MACHINE, kCryptoKey + std::wstring(L"QVOnly32"), KEY_READ | KEY_WOW64_64KEY),
                  ERROR_FILE_NOT_FOUND);
    }
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"QVOnly64", L"only 64"}, {L"QVOnly32", L"only 32"}, {L"QVBoth", L"both, 64"}};
    for (const auto& [name, path] : cases) {
        TIECryptoDescriptor d;
        EXPECT_TRUE(ReadIECryptoDescriptor(name, d)) << Narrow(name);
        EXPECT_EQ(Narrow(d.RegPath), Narrow(path));
    }
    std::vector<std::wstring> listed;
    for (const TIECryptoOption& option : ReadIECryptoOptions())
        if (option.Name.rfind(L"QV", 0) == 0)
            listed.push_back(option.Name + L"=" + option.Descriptor.RegPath);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::wstring>{L"QVBoth=both, 64", L"QVOnly32=only 32", L"QVOnly64=only 64"}));
}

} // namespace
