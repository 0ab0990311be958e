#include "QVMain.h"
#include "QVSupport.h"
#include "QVUpdate.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

struct VerbCase {
    std::vector<std::wstring> args;
    TRunMode mode;
};

TEST(ParseRunMode, VerbsSelectTheirModesAndAnythingElseIsTheWindow) {
    const std::wstring longArg(40000, L'A');
    const VerbCase cases[] = {
        {{}, rmWindow},
        {{L""}, rmWindow},
        {{L"install"}, rmInstall},
        {{L"-INSTALL"}, rmInstall},
        {{L"/Install"}, rmInstall},
        {{L"--//install"}, rmInstall},
        {{L"/-/install"}, rmInstall},
        {{L"UNINSTALL"}, rmUninstall},
        {{L"-uninstall"}, rmUninstall},
        {{L"update", L"http://127.0.0.1/x.cab"}, rmUpdate},
        {{L"/SETLEVEL", L"2"}, rmSetLevel},
        {{L"setlevel"}, rmSetLevel},
        {{L"Stop"}, rmStop},
        {{L"/tray"}, rmTray},
        {{L"TRAY", L"extra", L"more"}, rmTray},
        {{L"/status", L"C:\\report.json"}, rmStatus},
        {{L"-STATUS"}, rmStatus},
        {{L"/userlevel"}, rmUserLevel},
        {{L"USERLEVELS"}, rmWindow},
        {{L"statusx"}, rmWindow},
        {{L"INSTALLX"}, rmWindow},
        {{L" INSTALL"}, rmWindow},
        {{L"INSTALL "}, rmWindow},
        {{L"IN-STALL"}, rmWindow},
        {{L"/"}, rmWindow},
        {{L"-"}, rmWindow},
        {{L"-/-/"}, rmWindow},
        {{L"\\install"}, rmWindow},
        {{longArg}, rmWindow},
        {{L"/" + longArg}, rmWindow},
        {{L"\u0130NSTALL"}, rmWindow}, // dotted capital I: only ASCII letters fold
        {{L"\u00FCbersicht"}, rmWindow},
        {{L"tr\u0430y"}, rmWindow},     // Cyrillic a
        {{L"x", L"INSTALL"}, rmWindow}, // only the first argument is the verb
    };
    for (const auto& c : cases) {
        const std::wstring shown = c.args.empty() ? L"<none>" : c.args[0].substr(0, 20);
        EXPECT_EQ(RunModeFromArguments(c.args), c.mode) << std::string(shown.begin(), shown.end());
    }
}

TEST(ParseRunMode, CommandLinesSplitByTheStandardRulesAndOnlyTwoArgumentsAreKept) {
    EXPECT_EQ(SplitArguments(L"Quenvar.exe"), std::vector<std::wstring>{});
    EXPECT_EQ(SplitArguments(L"\"C:\\Program Files\\Quenvar\\Quenvar.exe\" \t "), std::vector<std::wstring>{});
    EXPECT_EQ(SplitArguments(L"q.exe\t/tray"), std::vector<std::wstring>{L"/tray"});
    EXPECT_EQ(SplitArguments(L"\"C:\\Program Files\\Quenvar\\Quenvar.exe\" /SETLEVEL \"2\""),
              (std::vector<std::wstring>{L"/SETLEVEL", L"2"}));
    EXPECT_EQ(SplitArguments(L"q.exe /UPDATE \"http://h/a b.cab\" third fourth"),
              (std::vector<std::wstring>{L"/UPDATE", L"http://h/a b.cab"}));
    EXPECT_EQ(SplitArguments(L"q.exe \"\" x"), (std::vector<std::wstring>{L"", L"x"}));
}

// The switch is found before or after the file name in either spelling; a bare word is a file.
TEST(ParseRunMode, StatusTakesItsFileAndTheExitCodeSwitchInEitherOrder) {
    const struct {
        std::vector<std::wstring> args;
        std::wstring path;
        bool exitCode;
    } cases[] = {
        {{L"/status"}, L"", false},
        {{L"/status", L"C:\\r.json"}, L"C:\\r.json", false},
        {{L"/status", L"/exitcode"}, L"", true},
        {{L"/status", L"-EXITCODE"}, L"", true},
        {{L"/status", L"C:\\r.json", L"/ExitCode"}, L"C:\\r.json", true},
        {{L"/status", L"--exitcode", L"C:\\r.json"}, L"C:\\r.json", true},
        {{L"/status", L"exitcode"}, L"exitcode", false},
        {{L"/status", L"/exitcodes"}, L"/exitcodes", false},
        {{L"/status", L"a.json", L"b.json"}, L"a.json", false},
    };
    for (const auto& c : cases) {
        const TStatusArguments got = StatusArguments(c.args);
        EXPECT_EQ(got.Path, c.path) << c.args.size();
        EXPECT_EQ(got.ExitCode, c.exitCode) << c.args.size();
    }
    EXPECT_EQ(SplitArguments(L"q.exe /status \"C:\\a b.json\" /exitcode more", 3),
              (std::vector<std::wstring>{L"/status", L"C:\\a b.json", L"/exitcode"}));
}

TEST(ParseRunMode, TheProcessesOwnCommandLineSelectsTheWindow) {
    // The test program runs without a verb of ours (at most gtest flags, which match none).
    RunMode = rmStop;
    ParseRunMode();
    EXPECT_EQ(RunMode, rmWindow);
}

TEST(Autostart, CommandQuotesThePathSoBlanksCannotSplitIt) {
    EXPECT_EQ(AutostartCommand(L"C:\\Program Files\\Quenvar\\Quenvar.exe"),
              L"\"C:\\Program Files\\Quenvar\\Quenvar.exe\" /tray");
    // The command splits back into exactly the path and the tray verb.
    const auto args = SplitArguments(L"\"C:\\Program Files\\Quenvar\\Quenvar.exe\" /tray");
    ASSERT_EQ(args.size(), 1u);
    EXPECT_EQ(RunModeFromArguments(args), rmTray);
}

// The tray start of a user the package was deployed for, or one an older version set up.
TEST(Autostart, TrayStartGivesTheUserAUidAndLeavesOnlyTheMachinesRunValue) {
    const wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::wstring kCommand = L"\"C:\\Program Files\\Quenvar\\Quenvar.exe\" /tray";
    const struct {
        const char* what;
        bool machineValue;
        bool userValue;
        const wchar_t* uid; // stored before; empty: none
        bool userValueAfter;
    } cases[] = {
        {"deployed with no user present", true, false, L"", false},
        {"upgraded from a per-user Run value", true, true, L"12345", false},
        {"installed without the package", false, true, L"12345", true},
        {"nothing at all", false, false, L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TRegistrySandbox sandbox;
        ASSERT_TRUE(!c.machineValue || WriteRegString(HKEY_LOCAL_MACHINE, kRun, L"Quenvar", kCommand));
        ASSERT_TRUE(!c.userValue || WriteRegString(HKEY_CURRENT_USER, kRun, L"Quenvar", kCommand));
        ASSERT_TRUE(!*c.uid || WriteStoreString(L"UID", c.uid));
        EXPECT_EQ(MachineAutostartPresent(), c.machineValue);

        PrepareTrayUser();
        const std::wstring uid = ReadStoreString(L"UID");
        EXPECT_EQ(uid, *c.uid ? std::wstring(c.uid) : uid);
        EXPECT_FALSE(uid.empty());
        std::wstring command;
        EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kRun, L"Quenvar", command), c.userValueAfter);
        // The machine's value is the package's: never touched here.
        EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kRun, L"Quenvar", command), c.machineValue);
    }
}

TEST(StartupDirs, AppDirIsTheExecutablesFolderAndUpdateDirLiesBelowIt) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring exe(path, n);
    const TUpdateEnvironment environment;
    EXPECT_EQ(environment.AppDir, exe.substr(0, exe.rfind(L'\\') + 1));
    EXPECT_EQ(environment.AppDir.back(), L'\\');
    EXPECT_EQ(environment.UpdateDir, environment.AppDir + L"Update");
}

} // namespace

namespace {

// Three digits and three words name a level; everything else, numbers beyond the range, signs,
// look-alike digits and letters, abbreviations, names nothing.
TEST(LevelFromArgument, OnlyTheThreeDigitsAndTheThreeWordsNameALevel) {
    const std::pair<const wchar_t*, std::optional<TLevel>> cases[] = {
        {L"0", lOff},
        {L"1", lOptimal},
        {L"2", lMax},
        {L"off", lOff},
        {L"OFF", lOff},
        {L"Off", lOff},
        {L"optimal", lOptimal},
        {L"OPTIMAL", lOptimal},
        {L"oPtImAl", lOptimal},
        {L"maximum", lMax},
        {L"MAXIMUM", lMax},
        {L"Maximum", lMax},
        // Blanks around the argument are ignored (a batch file's "set L=2 " keeps the blank).
        {L" 2", lMax},
        {L"1 ", lOptimal},
        {L"\tmaximum ", lMax},
        {L"  off\t", lOff},
        {L"", std::nullopt},
        {L" ", std::nullopt},
        {L"3", std::nullopt},
        {L"5", std::nullopt},
        {L"7", std::nullopt},
        {L"-1", std::nullopt},
        {L"-0", std::nullopt},
        {L"+1", std::nullopt},
        {L"01", std::nullopt},
        {L"00", std::nullopt},
        {L"2x", std::nullopt},
        {L"x2", std::nullopt},
        {L"1.0", std::nullopt},
        {L"0x2", std::nullopt},
        {L"1 2", std::nullopt},
        {L"2147483648", std::nullopt},
        {L"max", std::nullopt},
        {L"MAX", std::nullopt},
        {L"opt", std::nullopt},
        {L"optimum", std::nullopt},
        {L"maximal", std::nullopt},
        {L"of", std::nullopt},
        {L"offf", std::nullopt},
        {L"o ff", std::nullopt},
        {L"on", std::nullopt},
        {L"abc", std::nullopt},
        {L"\"2\"", std::nullopt},
        {L"\u0661", std::nullopt},             // ARABIC-INDIC DIGIT ONE
        {L"\uFF12", std::nullopt},             // FULLWIDTH DIGIT TWO
        {L"MAX\u0130MUM", std::nullopt},       // a dotted capital I: no locale's case folding counts
        {L"max\u0131mum", std::nullopt},       // a dotless small i
        {L"\uFF4F\uFF46\uFF46", std::nullopt}, // FULLWIDTH "off"
    };
    for (const auto& c : cases) {
        const std::wstring text = c.first;
        EXPECT_EQ(LevelFromArgument(text), c.second) << std::string(text.begin(), text.end());
    }
}

} // namespace
