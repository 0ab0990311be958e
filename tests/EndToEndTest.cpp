// Runs the real Quenvar.exe under Wine and reads back what it left in the prefix's registry.
#include "FileVersionU.h"
#include "LevelExpectations.h"
#include "PlatformU.h"
#include "QVDateText.h"
#include "QVMachine.h"
#include "QVVersion.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\";

std::wstring Quoted(const std::wstring& aText) {
    return L"\"" + aText + L"\"";
}

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(Quoted(QuenvarExe()) + L" " + anArgs);
}

const wchar_t kStorePath[] = L"Software\\Quenvar\\";

bool StoreExists() {
    TUniqueHKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quenvar", 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring StoredString(const wchar_t* aName) {
    std::wstring text;
    ReadRegString(HKEY_CURRENT_USER, kStorePath, aName, text);
    return text;
}

bool AllDigits(const std::wstring& aText) {
    return !aText.empty() && aText.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// A started Quenvar.exe and the top-level window it showed, if any within 20 s.
struct TStartedQuenvar {
    TUniqueKernelHandle Process;
    HWND Window = nullptr;
};

// Starts Quenvar.exe with anArgs and waits for a window of its own: one of class aClass (any for
// nullptr) with caption aCaption (any for nullptr), and visible when aVisible. Process is empty
// when the program could not be started.
TStartedQuenvar StartQuenvar(const std::wstring& anArgs, const wchar_t* aClass, const wchar_t* aCaption,
                             bool aVisible) {
    TStartedQuenvar started;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = Quoted(QuenvarExe()) + L" " + anArgs;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return started;
    started.Process.reset(pi.hProcess);
    const TUniqueKernelHandle thread(pi.hThread);
    for (int i = 0; i < 400 && !started.Window; ++i) {
        HWND w = nullptr;
        while (!started.Window && (w = FindWindowExW(nullptr, w, aClass, aCaption)) != nullptr) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == pi.dwProcessId && (!aVisible || IsWindowVisible(w)))
                started.Window = w;
        }
        if (!started.Window)
            Sleep(50);
    }
    return started;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteRegValue(HKEY_CURRENT_USER, kRunKey, L"Quenvar");
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStorePath, true);
    }
    void TearDown() override { SetUp(); }
};

// Runs that apply a level: every tree a level touches is saved and put back, and opened pages are
// recorded.
class LevelEndToEnd : public EndToEnd {
protected:
    TLevelStateGuard FMachine;
    TUrlRecorder FPages;
};

// A verb that matches nothing runs the window; closed with WM_QUIT the process ends with code 0.
TEST_F(EndToEnd, GarbageVerbsOpenTheWindowAndEndWithExitCodeZero) {
    // Today's hit is recorded, so the windows do not try the shipped configuration's service.
    SYSTEMTIME now;
    GetLocalTime(&now);
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kStorePath, L"LastHit", DateTimeToStoreText(now)));
    const std::wstring cases[] = {L"INSTALLX",      L"/", L"-", L"--//", std::wstring(5000, L'x'), L"\u00FC\u65E5",
                                  L"\"\" \"\" \"\""};
    for (const auto& args : cases) {
        TStartedQuenvar started = StartQuenvar(args, nullptr, L"Quenvar", true);
        ASSERT_TRUE(started.Process);
        const TUniqueKernelHandle process = std::move(started.Process);
        const HWND window = started.Window;
        EXPECT_NE(window, nullptr) << "no window for "
                                   << std::string(args.begin(),
                                                  args.begin() +
                                                      static_cast<std::ptrdiff_t>(args.size() < 10 ? args.size() : 10));
        if (window)
            PostMessageW(window, WM_QUIT, 0, 0);
        if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            ADD_FAILURE() << "still running";
            continue;
        }
        DWORD code = 1;
        GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(code, 0u);
    }
}

TEST_F(EndToEnd, EveryInstallWritesTheQuotedAutostartCommandAndANewUid) {
    ASSERT_EQ(RunQuenvar(L"--//install"), 0);
    std::wstring command;
    ASSERT_TRUE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    EXPECT_EQ(command, Quoted(QuenvarExe()) + L" /tray");
    const std::wstring first = StoredString(L"UID");
    EXPECT_TRUE(AllDigits(first)) << Narrow(first);

    ASSERT_EQ(RunQuenvar(L"INSTALL"), 0);
    const std::wstring second = StoredString(L"UID");
    EXPECT_TRUE(AllDigits(second)) << Narrow(second);
    EXPECT_NE(second, first);
}

TEST_F(LevelEndToEnd, UninstallRemovesAutostartAndStoreAndSwitchesProtectionOff) {
    ASSERT_EQ(RunQuenvar(L"INSTALL"), 0);
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, L"Software\\Quenvar\\Sub", L"x", L"y"));
    FMachine.Prepare();
    const std::wstring original = SnapshotTouchedTrees();
    ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0);
    ASSERT_NE(SnapshotTouchedTrees(), original);
    FPages.Clear();

    ASSERT_EQ(RunQuenvar(L"/UNINSTALL"), 0);
    std::wstring command;
    EXPECT_FALSE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    EXPECT_FALSE(StoreExists());
    EXPECT_EQ(SnapshotDifference(SnapshotTouchedTrees(), original), "");
    EXPECT_TRUE(FPages.WaitForUrls(1, 1500).empty());
}

// Every process under Wine runs with an elevated token, as SETLEVEL does on Windows once the
// elevation prompt is answered: it stores the level and leaves the protection page to the window
// that started it (UI.ApplyAtTheBottomStartsSetLevelAndGoesToTheTray), so no browser runs elevated.
TEST_F(LevelEndToEnd, AnElevatedSetLevelStoresTheLevelAndOpensNoPage) {
    ASSERT_TRUE(IsProcessElevated(GetCurrentProcess())) << "Wine's tokens are elevated";
    const struct {
        const wchar_t* args;
        TLevel level;
    } cases[] = {
        {L"SETLEVEL 2", lMax}, {L"/setlevel \"1\"", lOptimal}, {L"-SETLEVEL Maximum", lMax},
        {L"SETLEVEL 0", lOff}, {L"SETLEVEL off", lOff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args));
        FPages.Clear();
        // The level is the machine's: stored beside the backup, whatever was there.
        TRegKey machine;
        const DWORD junk = 99;
        ASSERT_EQ(machine.Create(HKEY_LOCAL_MACHINE, kMachineKey, KEY_READ | KEY_SET_VALUE | ViewAccess(true),
                                 REG_OPTION_NON_VOLATILE),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine.Write(kLevelValue, REG_DWORD, &junk, sizeof(junk)), ERROR_SUCCESS);
        ASSERT_EQ(RunQuenvar(c.args), 0);
        TRegValueData stored;
        DWORD number = 0;
        EXPECT_EQ(machine.Read(kLevelValue, stored), ERROR_SUCCESS);
        EXPECT_TRUE(RegDWordOf(stored, number));
        EXPECT_EQ(number, DWORD(c.level));
        EXPECT_FALSE(StoreExists()) << "nothing of the level in the user's store";
        EXPECT_TRUE(FPages.WaitForUrls(1, 1500).empty());
    }
}

TEST_F(LevelEndToEnd, SetLevelWithoutALevelStoresNothingAndOpensNothing) {
    for (const wchar_t* args : {L"SETLEVEL", L"SETLEVEL \"\"", L"SETLEVEL abc"}) {
        SCOPED_TRACE(Narrow(args));
        ASSERT_EQ(RunQuenvar(args), 2);
        EXPECT_FALSE(StoreExists());
        EXPECT_TRUE(FPages.WaitForUrls(1, 1500).empty());
    }
}

// The autostart command must survive a folder with blanks: it starts this very executable in tray mode.
TEST_F(EndToEnd, InstallFromAFolderWithBlanksQuotesThePath) {
    const std::wstring dir = TestBinDir() + L"Program Files Copy\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring exe = dir + L"Quenvar.exe";
    ASSERT_TRUE(CopyFileW(QuenvarExe().c_str(), exe.c_str(), FALSE));
    EXPECT_EQ(RunProcess(Quoted(exe) + L" INSTALL"), 0);
    std::wstring command;
    EXPECT_TRUE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    EXPECT_EQ(command, Quoted(exe) + L" /tray");
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(dir.c_str());
}

// The program the tests start is the build's own: the 32-bit build runs as a WOW64 process (a
// 32-bit process on 64-bit Windows), the 64-bit build natively. Without 32-bit Wine no program of
// the 32-bit build starts at all (Wine prints a loader error and may exit 0), so CTest runs this test
// first as the "ExeArchitecture" fixture and requires its "[  PASSED  ] 1 test." line.
TEST(Executable, RunsAsAProcessOfTheBuildsArchitecture) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring report = std::wstring(temp) + L"qv-arch-" + std::to_wstring(GetCurrentProcessId()) + L".json";
    DeleteFileW(report.c_str());
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = Quoted(QuenvarExe()) + L" /status " + Quoted(report);
    ASSERT_TRUE(
        CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi));
    TUniqueKernelHandle process(pi.hProcess);
    TUniqueKernelHandle thread(pi.hThread);
    BOOL wow64 = TRUE;
    const bool asked = IsWow64Process(process.get(), &wow64);
    ResumeThread(thread.get());
    const bool ended = WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0;
    if (!ended)
        TerminateProcess(process.get(), 1);
    ASSERT_TRUE(asked);
    constexpr bool k32BitBuild = sizeof(void*) == 4;
    EXPECT_EQ(wow64 != FALSE, k32BitBuild)
        << (k32BitBuild ? "the 32-bit build did not run under WOW64" : "the 64-bit build ran under WOW64");
    ASSERT_TRUE(ended);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
    // It really ran: the report is its work.
    std::string json;
    {
        TUniqueFile in(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(in) << "no status report";
        json.resize(GetFileSize(in.get(), nullptr));
        DWORD read = 0;
        ReadFile(in.get(), json.data(), static_cast<DWORD>(json.size()), &read, nullptr);
        json.resize(read);
    }
    DeleteFileW(report.c_str());
    EXPECT_NE(json.find("\"product\": \"Quenvar\""), std::string::npos) << json;
}

// The lower-case file names of the modules loaded in aProcess; empty when they cannot be read.
std::vector<std::wstring> LoadedModules(HANDLE aProcess) {
    std::vector<HMODULE> modules(512);
    DWORD needed = 0;
    if (!EnumProcessModules(aProcess, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return {};
    modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
    std::vector<std::wstring> names;
    for (HMODULE m : modules) {
        wchar_t name[MAX_PATH] = L"";
        if (GetModuleBaseNameW(aProcess, m, name, MAX_PATH)) {
            std::wstring n = name;
            std::transform(n.begin(), n.end(), n.begin(), [](wchar_t c) { return std::towlower(c); });
            names.push_back(n);
        }
    }
    return names;
}

// The tray instance started at logon binds the network, TLS, signature and imaging DLLs only when
// it is asked to do something: idle in the notification area, it has loaded none of them.
TEST_F(EndToEnd, TheIdleTrayInstanceHasLoadedNoNetworkCryptoOrImagingDll) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kStorePath, L"LastHit", DateTimeToStoreText(now)));
    TStartedQuenvar started = StartQuenvar(L"/tray", kMainWindowClass, nullptr, false);
    ASSERT_TRUE(started.Process);
    const TUniqueKernelHandle process = std::move(started.Process);
    const HWND window = started.Window;
    EXPECT_NE(window, nullptr);
    EXPECT_EQ(WaitForInputIdle(process.get(), 10000), 0u);
    Sleep(1000); // past the first check of the level, which runs once the window is up
    const std::vector<std::wstring> modules = LoadedModules(process.get());
    EXPECT_NE(std::find(modules.begin(), modules.end(), L"user32.dll"), modules.end()) << "modules not read";
    for (const wchar_t* dll :
         {L"wininet.dll", L"crypt32.dll", L"secur32.dll", L"ncrypt.dll", L"bcrypt.dll", L"windowscodecs.dll"})
        EXPECT_EQ(std::find(modules.begin(), modules.end(), dll), modules.end()) << "loaded: " << dll;
    EXPECT_EQ(RunQuenvar(L"/stop"), 0);
    if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        ADD_FAILURE() << "the tray instance did not stop";
    }
}

// Reads a resource of the built executable without running it.
std::string ResourceBytes(HMODULE aModule, const wchar_t* aName, const wchar_t* aType) {
    HRSRC info = FindResourceW(aModule, aName, aType);
    if (!info)
        return std::string();
    HGLOBAL data = LoadResource(aModule, info);
    const auto* bytes = static_cast<const char*>(LockResource(data));
    return bytes ? std::string(bytes, SizeofResource(aModule, info)) : std::string();
}

TEST(Executable, CarriesManifestConfigurationIconAndVersion) {
    TUniqueModule exe(LoadLibraryExW(QuenvarExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(exe);

    const std::string manifest = ResourceBytes(exe.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);

    const std::string config = ResourceBytes(exe.get(), L"CONFIG", RT_RCDATA);
    EXPECT_EQ(config.rfind("CFG_ID=10\r\nHIT_URL=http://", 0), 0u) << config;
    EXPECT_NE(config.find(".example/api/client.asmx/\r\n"), std::string::npos) << config;

    EXPECT_NE(FindResourceW(exe.get(), L"MAINICON", RT_GROUP_ICON), nullptr);

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(QuenvarExe().c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(QuenvarExe().c_str(), 0, size, block.data()));
    wchar_t* text = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904E4\\FileVersion",
                               reinterpret_cast<void**>(&text), &len));
    const std::string expected = QV_VERSION_TEXT;
    EXPECT_EQ(std::wstring(text), std::wstring(expected.begin(), expected.end()));
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD aLanguage, LONG_PTR aList) {
    reinterpret_cast<std::vector<WORD>*>(aList)->push_back(aLanguage);
    return TRUE;
}

// A copy of Quenvar.exe in a folder of its own, removed again with the folder.
class TExeCopy {
public:
    explicit TExeCopy(const wchar_t* aName) {
        FDir = TestBinDir() + aName + L"\\";
        CreateDirectoryW(FDir.c_str(), nullptr);
        FExe = FDir + L"Quenvar.exe";
        EXPECT_TRUE(CopyFileW(QuenvarExe().c_str(), FExe.c_str(), FALSE));
    }
    ~TExeCopy() {
        DeleteFileW(FExe.c_str());
        DeleteFileW((FDir + L"Partner.exe").c_str());
        RemoveDirectoryW(FDir.c_str());
    }
    TExeCopy(const TExeCopy&) = delete;
    TExeCopy& operator=(const TExeCopy&) = delete;

    const std::wstring& Dir() const { return FDir; }
    const std::wstring& Exe() const { return FExe; }

    // Replaces the content of the "CONFIG" resource. (Wine cannot delete resources this way, so
    // builds without one are made by the build.)
    void SetConfig(const std::string& aBytes) const {
        std::vector<WORD> languages;
        {
            TUniqueModule module(LoadLibraryExW(FExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
            ASSERT_TRUE(module);
            EnumResourceLanguagesW(module.get(), RT_RCDATA, L"CONFIG", CollectLanguage,
                                   reinterpret_cast<LONG_PTR>(&languages));
        }
        ASSERT_EQ(languages.size(), 1u);
        HANDLE update = BeginUpdateResourceW(FExe.c_str(), FALSE);
        ASSERT_NE(update, nullptr);
        ASSERT_TRUE(UpdateResourceW(update, RT_RCDATA, L"CONFIG", languages[0], const_cast<char*>(aBytes.data()),
                                    static_cast<DWORD>(aBytes.size())));
        ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
    }

private:
    std::wstring FDir, FExe;
};

// Runs aCommandLine with its standard output going to a file; returns the exit code and the output.
std::pair<long, std::string> RunCapturingOutput(const std::wstring& aCommandLine) {
    const std::wstring path = TestBinDir() + L"capture-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    std::pair<long, std::string> result{-1, std::string()};
    {
        TUniqueFile out(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
        if (!out)
            return result;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out.get();
        si.hStdError = out.get();
        PROCESS_INFORMATION pi{};
        std::wstring cmd = aCommandLine;
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            return result;
        TUniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
        if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            return result;
        }
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        result.first = static_cast<long>(code);
    }
    TUniqueFile in(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (in) {
        result.second.resize(GetFileSize(in.get(), nullptr));
        DWORD read = 0;
        ReadFile(in.get(), result.second.data(), static_cast<DWORD>(result.second.size()), &read, nullptr);
        result.second.resize(read);
    }
    DeleteFileW(path.c_str());
    return result;
}

std::wstring ConfigTool() {
    return Quoted(TestBinDir() + L"QVConfig.exe");
}

// Without its configuration the program runs no mode; any configuration text, even an empty or
// odd one, lets the mode run with the defaults.
TEST_F(EndToEnd, TheConfigurationResourceGatesEveryMode) {
    const struct {
        const char* what;
        std::wstring exe;
        bool modeRuns;
    } builds[] = {
        {"missing", TestBinDir() + L"QuenvarNoConfig.exe", false},
        {"empty", TestBinDir() + L"QuenvarEmptyConfig.exe", true},
    };
    for (const auto& c : builds) {
        SCOPED_TRACE(c.what);
        DeleteRegValue(HKEY_CURRENT_USER, kRunKey, L"Quenvar");
        ASSERT_EQ(RunProcess(Quoted(c.exe) + L" INSTALL"), 0);
        std::wstring command;
        EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command), c.modeRuns);
        EXPECT_EQ(StoreExists(), c.modeRuns);
    }

    const std::string longLine = "HIT_URL=http://127.0.0.1/" + std::string(70000, 'x') + "/";
    const struct {
        const char* what;
        std::string bytes;
    } contents[] = {
        {"two empty lines", "\r\n\r\n"},
        {"UTF-8 with BOM", "\xEF\xBB\xBF"
                           "CFG_ID=5\r\n"},
        {"UTF-16 with BOM", std::string("\xFF\xFE"
                                        "C\0=\0"
                                        "5\0",
                                        8)},
        {"no trailing NUL, no line end", "CFG_ID=5"},
        {"odd lines", "=x\r\nHIT_URL\r\n"},
        {"very long line", longLine},
        {"a single NUL", std::string(1, '\0')},
    };
    TExeCopy copy(L"ConfigCopy");
    for (const auto& c : contents) {
        SCOPED_TRACE(c.what);
        copy.SetConfig(c.bytes);
        DeleteRegValue(HKEY_CURRENT_USER, kRunKey, L"Quenvar");
        ASSERT_EQ(RunProcess(Quoted(copy.Exe()) + L" INSTALL"), 0);
        std::wstring command;
        EXPECT_TRUE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    }
}

TEST_F(EndToEnd, VendorToolWritesAndShowsAPartnerConfiguration) {
    TExeCopy work(L"VendorTool");
    const std::wstring partner = work.Dir() + L"Partner.exe";
    ASSERT_EQ(RunProcess(ConfigTool() + L" write " + Quoted(QuenvarExe()) + L" " + Quoted(partner) +
                         L" 77 http://127.0.0.1:8080/api/client.asmx/"),
              0);

    const auto shown = RunCapturingOutput(ConfigTool() + L" show " + Quoted(partner));
    EXPECT_EQ(shown.first, 0);
    EXPECT_EQ(shown.second, "CFG_ID=77\nHIT_URL=http://127.0.0.1:8080/api/client.asmx/\n");

    TUniqueModule module(LoadLibraryExW(partner.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    EXPECT_EQ(ResourceBytes(module.get(), L"CONFIG", RT_RCDATA),
              "CFG_ID=77\r\nHIT_URL=http://127.0.0.1:8080/api/client.asmx/\r\n");
    module.reset();
    // Nothing else of the executable changed: it still carries its version and runs.
    EXPECT_EQ(GetFileVersionString(partner), GetFileVersionString(QuenvarExe()));
    ASSERT_EQ(RunProcess(Quoted(partner) + L" INSTALL"), 0);
    std::wstring command;
    EXPECT_TRUE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));

    // The shipped executable's configuration, for comparison.
    const auto shipped = RunCapturingOutput(ConfigTool() + L" show " + Quoted(QuenvarExe()));
    EXPECT_EQ(shipped.first, 0);
    EXPECT_EQ(shipped.second.rfind("CFG_ID=10\nHIT_URL=http://", 0), 0u) << shipped.second;
}

TEST_F(EndToEnd, VendorToolRefusesBadValuesAndMissingConfigurations) {
    TExeCopy work(L"VendorToolBad");
    const std::wstring partner = work.Dir() + L"Partner.exe";
    const std::wstring bad[] = {
        L" \"\" http://127.0.0.1/api/", L" \"1 2\" http://127.0.0.1/api/", L" 5 ftp://127.0.0.1/api/",
        L" 5 http://127.0.0.1/api",     L" 5 \"http://127.0.0.1/a b/\"",   L" 5 \"\"",
    };
    for (const auto& values : bad) {
        SCOPED_TRACE(Narrow(values));
        EXPECT_EQ(RunProcess(ConfigTool() + L" write " + Quoted(QuenvarExe()) + L" " + Quoted(partner) + values), 1);
        EXPECT_EQ(GetFileAttributesW(partner.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(RunProcess(ConfigTool() + L" show"), 1);
    EXPECT_EQ(RunProcess(ConfigTool()), 1);
    EXPECT_EQ(RunProcess(ConfigTool() + L" show " + Quoted(work.Dir() + L"missing.exe")), 2);
    EXPECT_EQ(RunProcess(ConfigTool() + L" show " + Quoted(TestBinDir() + L"QuenvarNoConfig.exe")), 2);
}

} // namespace
