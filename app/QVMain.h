// The program body: start-up values, the command-line verb and the run mode it selects.
#pragma once

#include "QVConst.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum TRunMode : std::uint8_t {
    rmWindow = 0,
    rmInstall = 1,
    rmUninstall = 2,
    rmUpdate = 3,
    rmSetLevel = 4,
    rmStop = 5,
    rmTray = 6,
    rmStatus = 7,
    rmUserLevel = 8
};

// The mode this process runs; rmWindow until ParseRunMode has run.
extern TRunMode RunMode;

// The verb and its arguments: at most the first aMax arguments after the executable's path of
// aCommandLine (the verb and one argument unless a verb asks for more), split by the platform's
// standard rules (quotes are removed).
std::vector<std::wstring> SplitArguments(const std::wstring& aCommandLine, size_t aMax = 2);

// SplitArguments of this process's command line.
std::vector<std::wstring> CommandLineArguments(size_t aMax = 2);

// The mode the first of anArgs selects: letter case and any leading run of "-" and "/" are
// ignored, the rest must equal a verb exactly. No argument or no match gives rmWindow.
TRunMode RunModeFromArguments(const std::vector<std::wstring>& anArgs);

// Sets RunMode from the process's command line; an exception leaves RunMode as it stood.
void ParseRunMode() noexcept;

// The autostart command for the executable at anExePath. The path is quoted, so that a
// folder with blanks ("C:\Program Files\...") cannot make Windows start "C:\Program.exe".
std::wstring AutostartCommand(const std::wstring& anExePath);

// The level SETLEVEL applies for its argument: "0", "1" or "2", or "off", "optimal" or "maximum"
// in any ASCII letter case, with blanks around it ignored. Anything else names no level.
std::optional<TLevel> LevelFromArgument(const std::wstring& anArg) noexcept;

// The exit code of a verb whose argument names nothing it accepts.
constexpr int kExitBadArgument = 2;
// The exit code of STATUS with its /exitcode switch when the machine is not compliant.
constexpr int kExitNotCompliant = 1;

// What follows the STATUS verb (anArgs[0]): the report's file (empty for the console) and the
// /exitcode switch ("-" or "/" before it, any letter case), before or after the file name. The
// first other argument is the file; a word without a leading "-" or "/" is always a file name.
struct TStatusArguments {
    std::wstring Path;
    bool ExitCode = false;
};
TStatusArguments StatusArguments(const std::vector<std::wstring>& anArgs);

// Whether the machine's Run key (HKLM, this process's registry view) starts the program: the
// installer package writes that value for every user.
bool MachineAutostartPresent() noexcept;
// INSTALL: the per-user Run value when the machine has none (else an older one is removed), a new
// UID, and the installation report, which waits kHookReportBudgetMs at most.
void RunInstall() noexcept;
// UNINSTALL puts the machine's originals back first and deletes the machine's level, then reports
// the removal (kHookReportBudgetMs at most). With a second argument that is a SID whose hive is
// loaded, it puts that user's own originals back and removes the per-user Run value and the
// settings store of that user (an installer runs it as LocalSystem); without one, the running
// user's. A SID that is malformed or whose hive is not loaded leaves every user's settings alone,
// with a line to the console.
void RunUninstall() noexcept;
// Before a tray start: a UID for a user who has none (the package may have been deployed with no
// user present), and no per-user Run value beside the machine's.
void PrepareTrayUser() noexcept;
// Applies the machine's part of the level its argument names and stores it as the machine's level
// (each user's own instance applies the user's part when it sees the level change). Unless this
// process runs elevated, when the window that started it opens the page, it opens the level's page.
// 0 then, also when the level could not be applied. An argument that names no level, or none at
// all, changes nothing: a line goes to the console it was started from, and the result is
// kExitBadArgument.
int RunSetLevel() noexcept;
void RunStop() noexcept;
// Applies the running user's part of the machine's level (Internet Explorer's per-user options) in
// the user's own hive; Off puts the user's originals back. The user's window or tray instance runs
// it at its start and whenever the machine's level changes; it needs no elevation.
void RunUserLevel() noexcept;
// Writes the status report to the file the argument names, or to the console without one. The
// exit code: 0, or with /exitcode kExitNotCompliant when the report is not compliant or its file
// could not be written.
int RunStatus() noexcept;
void RunUpdate();
void RunMainWindow(TMode aMode);

// Parses the verb, runs exactly one mode and swallows every exception. The process's exit code:
// kExitBadArgument when SETLEVEL refused its argument, kExitNotCompliant from STATUS /exitcode,
// otherwise 0.
int RunProgram() noexcept;
