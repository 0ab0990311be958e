#include "QVMain.h"

#include "QVMainForm.h"
#include "QVSettings.h"
#include "QVStatus.h"
#include "QVSupport.h"
#include "QVUpdate.h"

#include "../lib/FallbackU.h"
#include "../lib/PlatformU.h"
#include "../lib/ComU.h"
#include "../lib/FileU.h"
#include "../lib/HandleU.h"
#include "../lib/MutexU.h"
#include "../lib/RegistryU.h"
#include "../lib/SecurityU.h"
#include "../lib/TextU.h"
#include "../lib/archive/ArchiveCABU.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\";
const wchar_t kRunValue[] = L"Quenvar";

// The mode's verb with ASCII letters upper-cased and every leading "-" and "/" removed.
std::wstring NormalisedVerb(const std::wstring& anArg) {
    const std::wstring verb = AsciiUpper(anArg);
    const size_t first = verb.find_first_not_of(L"-/");
    return first == std::wstring::npos ? std::wstring() : verb.substr(first);
}

} // namespace

TRunMode RunMode = rmWindow;
// Module initialisation: the CAB handler is registered before any archive can be opened.
const bool CABHandlerRegistered = (RegisterCABArchive(), true);

std::vector<std::wstring> SplitArguments(const std::wstring& aCommandLine, size_t aMax) {
    std::vector<std::wstring> args;
    if (aCommandLine.empty())
        return args; // CommandLineToArgvW would return this program's own path instead
    // The program's name alone (the window's start) needs no shell32, which is then not loaded at all.
    // The name ends at its closing quote when it opens with one, else at the first blank.
    const size_t nameEnd = aCommandLine[0] == L'"' ? aCommandLine.find(L'"', 1) : aCommandLine.find_first_of(L" \t");
    if (nameEnd == std::wstring::npos ||
        aCommandLine.find_first_not_of(L" \t", nameEnd + (aCommandLine[0] == L'"' ? 1 : 0)) == std::wstring::npos)
        return args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(aCommandLine.c_str(), &count);
    TUniqueLocal owner(argv);
    // argv[0] is the executable's path.
    for (int i = 1; argv && i < count && static_cast<size_t>(i) <= aMax; ++i)
        args.emplace_back(argv[i]);
    return args;
}

std::vector<std::wstring> CommandLineArguments(size_t aMax) {
    return SplitArguments(GetCommandLineW(), aMax);
}

TRunMode RunModeFromArguments(const std::vector<std::wstring>& anArgs) {
    static const struct {
        const wchar_t* verb;
        TRunMode mode;
    } kVerbs[] = {{L"UNINSTALL", rmUninstall}, {L"INSTALL", rmInstall},    {L"UPDATE", rmUpdate},
                  {L"SETLEVEL", rmSetLevel},   {L"STOP", rmStop},          {L"TRAY", rmTray},
                  {L"STATUS", rmStatus},       {L"USERLEVEL", rmUserLevel}};
    if (anArgs.empty())
        return rmWindow;
    const std::wstring verb = NormalisedVerb(anArgs[0]);
    for (const auto& entry : kVerbs)
        if (verb == entry.verb)
            return entry.mode;
    return rmWindow;
}

void ParseRunMode() noexcept {
    IgnoringFailure("ParseRunMode", [&] { RunMode = RunModeFromArguments(CommandLineArguments()); });
}

std::wstring AutostartCommand(const std::wstring& anExePath) {
    return L"\"" + anExePath + L"\" /tray";
}

bool MachineAutostartPresent() noexcept {
    std::wstring command;
    return ReadRegString(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, command);
}

void RunInstall() noexcept {
    IgnoringFailure("RunInstall", [&] {
        // The package starts the tray for every user from the machine's Run key, written before
        // this hook runs; a per-user value beside it (an older version's) would start a second
        // instance at each logon. Installed without the package, the user's own value starts it.
        if (MachineAutostartPresent())
            DeleteUserValue(kRunKey, kRunValue);
        else
            WriteUserString(kRunKey, kRunValue, AutostartCommand(GetAppFileName()));
        // Every install starts a new client identity, and its report carries it.
        WriteStoreString(L"UID", GenerateUID());
        SendServiceReport(saInstall, kHookReportBudgetMs);
    });
}

void RunUninstall() noexcept {
    IgnoringFailure("RunUninstall", [&] {
        // An installer that runs this elevated as another account names the installing user's SID:
        // the report's identity, the Run value, the store and the user's browser options are then
        // that user's. Without a SID, or when that user's hive is not loaded, they are this account's.
        const std::vector<std::wstring> args = CommandLineArguments();
        const std::wstring sid = args.size() >= 2 ? args[1] : std::wstring();
        const TCurrentUserOverride user(sid);
        // A SID that is malformed or whose hive is not loaded names nobody here: no user's settings
        // are touched, never this account's in its place. Other users' originals stay in their own
        // hives.
        const bool userReached = sid.empty() || user.Active();
        if (!userReached)
            WriteToConsole(STD_ERROR_HANDLE, L"Quenvar /uninstall: no loaded hive for \"" + sid +
                                                 L"\"; that user's settings were left as they are.\r\n");
        // The settings come back before anything can wait on the network.
        ApplySecurityLevel(lOff, userReached ? HKEY_CURRENT_USER : nullptr);
        DeleteMachineLevel();
        if (userReached)
            ApplyUserSecurityLevel(lOff); // the user's originals live in the settings store
        // Then the report, bounded, while the identity is still in the settings store.
        SendServiceReport(saUninstall, kHookReportBudgetMs);
        if (userReached) {
            // The package removes the machine's Run value; this is the one older versions wrote.
            DeleteUserValue(kRunKey, kRunValue);
            DeleteUserKeyTree(kStoreKey);
        }
        CloseRunningInstance();
    });
}

void PrepareTrayUser() noexcept {
    IgnoringFailure("PrepareTrayUser", [&] {
        // A package deployed with no user present stored its UID in another profile, if anywhere.
        if (ReadStoreString(L"UID").empty())
            WriteStoreString(L"UID", GenerateUID());
        if (MachineAutostartPresent())
            DeleteUserValue(kRunKey, kRunValue);
    });
}

std::optional<TLevel> LevelFromArgument(const std::wstring& anArg) noexcept {
    return ResultOr<std::optional<TLevel>>("LevelFromArgument", std::nullopt, [&]() -> std::optional<TLevel> {
        static const struct {
            const wchar_t* name;
            TLevel level;
        } kNames[] = {{L"0", lOff},   {L"1", lOptimal},       {L"2", lMax},
                      {L"OFF", lOff}, {L"OPTIMAL", lOptimal}, {L"MAXIMUM", lMax}};
        const std::wstring name = AsciiUpper(TrimBlanks(anArg));
        for (const auto& entry : kNames)
            if (name == entry.name)
                return entry.level;
        return std::nullopt;
    });
}

int RunSetLevel() noexcept {
    return ResultOr("RunSetLevel", 0, [&] {
        const std::vector<std::wstring> args = CommandLineArguments();
        const std::optional<TLevel> level = args.size() >= 2 ? LevelFromArgument(args[1]) : std::nullopt;
        if (!level) {
            const std::wstring given = args.size() >= 2 ? L"\"" + args[1] + L"\" names no level" : L"no level given";
            WriteToConsole(STD_ERROR_HANDLE, L"Quenvar /setlevel: " + given +
                                                 L"; use 0, 1, 2, off, optimal or maximum. Nothing was changed.\r\n");
            return kExitBadArgument;
        }
        if (ApplySecurityLevel(*level) != S_OK)
            return 0;
        WriteLevel(*level);
        // An elevated process would show the page in an elevated browser: the window that started
        // this one opens it once this process has ended.
        if (!IsProcessElevated(GetCurrentProcess()))
            OpenProtectionPage(*level);
        return 0;
    });
}

void RunStop() noexcept {
    CloseRunningInstance();
}

void RunUserLevel() noexcept {
    ApplyUserSecurityLevel(ReadLevel());
}

TStatusArguments StatusArguments(const std::vector<std::wstring>& anArgs) {
    TStatusArguments out;
    bool pathSeen = false;
    for (size_t i = 1; i < anArgs.size(); ++i) {
        const std::wstring& arg = anArgs[i];
        if (!arg.empty() && (arg[0] == L'-' || arg[0] == L'/') && NormalisedVerb(arg) == L"EXITCODE")
            out.ExitCode = true;
        else if (!pathSeen) {
            out.Path = arg;
            pathSeen = true;
        }
    }
    return out;
}

int RunStatus() noexcept {
    const TStatusArguments args =
        ResultOr("RunStatus", TStatusArguments(), [] { return StatusArguments(CommandLineArguments(3)); });
    // False as well when the report's file could not be written: a detection script must never
    // take a report nobody can read for a compliant machine.
    const bool compliant = RunStatusReport(args.Path);
    return args.ExitCode && !compliant ? kExitNotCompliant : 0;
}

void RunUpdate() {
    TMutex mutex(kUpdateMutexName);
    if (!mutex.Lock(1000))
        return; // another update process is running
    // The restart opens the program through the shell.
    const TComScope com(kShellComFlags);
    const std::vector<std::wstring> args = CommandLineArguments();
    if (args.size() >= 2 && !args[1].empty()) {
        // The thread hands the restart to this thread through its message queue: make it exist.
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        auto item = std::make_unique<TItem>();
        item->Url = args[1];
        TUpdateThread thread(true, std::move(item), false, TUpdateEnvironment());
        PumpMessagesUntil(thread.bDone, thread.Handle());
    }
}

namespace {

// Messages, and the registry watch's events in the same wait: the thread sleeps until either
// comes, with no polling.
void RunMessageLoop(TMainForm& aForm) {
    for (;;) {
        const std::vector<HANDLE>& events = aForm.WatchEvents();
        const DWORD count = static_cast<DWORD>(std::min<size_t>(events.size(), MAXIMUM_WAIT_OBJECTS - 1));
        const DWORD woken =
            MsgWaitForMultipleObjectsEx(count, events.data(), INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken < WAIT_OBJECT_0 + count) {
            aForm.WatchSignalled();
            continue;
        }
        if (woken == WAIT_FAILED)
            WaitMessage();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return;
            bool handled = false;
            aForm.AppMessage(msg, handled);
            if (handled)
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

} // namespace

void RunMainWindow(TMode aMode) {
    TMutex mutex(kInstanceMutexName);
    // Before the mutex is tried: a running instance shows its window whenever a second start happens.
    NotifyRunningInstance();
    if (!mutex.Lock(1000))
        return;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // No COM here: the tray instance starts without it. The picture decoder and each ShellExecuteW
    // call enter it for themselves.
    TMainForm form;
    if (form.Create()) {
        form.AfterCreate();
        form.SetMode(aMode);
        RunMessageLoop(form);
    }
}

namespace {

// The mode's exit code.
int RunSelectedMode() {
    switch (RunMode) {
    case rmInstall:
        RunInstall();
        break;
    case rmUninstall:
        RunUninstall();
        break;
    case rmUpdate:
        RunUpdate();
        break;
    case rmSetLevel:
        return RunSetLevel();
    case rmStop:
        RunStop();
        break;
    case rmUserLevel:
        RunUserLevel();
        break;
    case rmTray:
        PrepareTrayUser();
        RunMainWindow(mTray);
        break;
    case rmStatus:
        return RunStatus();
    case rmWindow:
    default:
        RunMainWindow(mNormal);
        break;
    }
    return 0;
}

} // namespace

int RunProgram() noexcept {
    ParseRunMode();
    // The program body's boundary: whatever a mode raises ends that mode, never the process.
    // Without its configuration resource the executable runs no mode at all.
    const int exitCode = ResultOr("RunProgram", 0, [] {
        LoadEmbeddedConfig();
        return RunSelectedMode();
    });
    FreeEmbeddedConfig();
    DoneObjectSecurity();
    return exitCode;
}
