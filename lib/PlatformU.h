// Platform checks and elevated starts: which Windows family and version is running, and the
// "runas" start through the shell.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <string>

// The running system as one number: 0 Windows 95 and unknown platforms, 1 Windows 98, 2 Windows Me,
// 4 NT 4.0 and earlier, 5 Windows 2000, 6 XP, 8 Server 2003, 9 Vista (and every 6+.0 workstation),
// 10 Server 2008, 11 later servers, 12 Windows 7 and later desktops. 3 and 7 never occur. Below 9
// there is no user account control and no integrity label.
BYTE WinVersionClassOf(const OSVERSIONINFOEXW& aInfo) noexcept;

// WinVersionClassOf the live system. A failing query leaves the record zeroed, which classifies as
// 0; an exception during the query gives 6.
BYTE GetWinVersionClass() noexcept;

// The version the kernel reports through RtlGetVersion, which, unlike GetVersionExW, does not
// depend on the executable's manifest. False (aInfo zeroed apart from its size) when unavailable.
bool QueryTrueVersion(OSVERSIONINFOEXW& aInfo) noexcept;

// True on 64-bit Windows, also for a 32-bit process running there.
bool IsWindows64Bit() noexcept;

// True when the running system reports the NT platform.
bool IsWinNT() noexcept;

// ShellExecuteW's result is a success when, taken as unsigned, it is above 32.
bool IsShellExecuteSuccess(HINSTANCE aResult) noexcept;

// Starts aFile with the "runas" verb (the elevation prompt where user account control exists),
// shown with SW_SHOW. An empty aDirectory starts in the current folder. False when the user declines
// the prompt or the start fails.
bool ShellExecuteRunAs(const std::wstring& aFile, const std::wstring& aParameters, HWND anOwner,
                       const std::wstring& aDirectory) noexcept;

// Starts aFile through the shell with aVerb ("open", "runas") and hands back the new process,
// which the caller owns; null when nothing started or the shell gave no process.
TUniqueKernelHandle ShellExecuteForProcess(const wchar_t* aVerb, const std::wstring& aFile,
                                           const std::wstring& aParameters) noexcept;

// Whether a process runs with an elevated token. A token that cannot be read belongs to a process
// this one may not look into: an elevated one, when this one is not.
bool IsProcessElevated(HANDLE aProcess) noexcept;
