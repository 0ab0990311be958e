// What the level code reads from the running system, and never writes: the Windows version, the
// Internet Explorer option descriptors, the restart marker and the registry view a planned key
// lives in. The writers and the status check read through here alike.
#pragma once

#include "QVPlan.h"

#include <windows.h>

#include <string>
#include <vector>

// The volatile key under HKEY_LOCAL_MACHINE that says a restart is pending: the writers create it,
// and it disappears when Windows restarts.
extern const wchar_t kRestartPendingKey[];

// The program's key under HKEY_LOCAL_MACHINE (64-bit view): the backup of originals, the machine's
// level and the build it was applied on.
extern const wchar_t kMachineKey[];

// The running system, from the kernel's own version record.
TOSVersion CurrentOSVersion() noexcept;

// True while settings written since Windows last started wait for a restart of Windows.
bool RestartPending() noexcept;
// What settings written since Windows last started still need (TTakesEffect bits), 0 for nothing.
unsigned PendingRestartNeeds() noexcept;
// Adds aNeeds to what the marker records; the marker is volatile, so Windows drops it when it starts.
void MarkRestartNeeds(unsigned aNeeds) noexcept;

// The values under HKLM\SOFTWARE\Quenvar (64-bit view) that record the build a level was applied on.
extern const wchar_t kAppliedBuildValue[];
extern const wchar_t kAppliedRevisionValue[];
// The Windows build a level was last applied on, kept beside the backup; false when none is recorded.
bool ReadAppliedOnBuild(DWORD& aBuild, DWORD& aRevision) noexcept;

// Reads the descriptor of Internet Explorer option aName; false when it has no key. On 64-bit
// Windows the 64-bit view is read first and the 32-bit view (WOW6432Node) only when the 64-bit one
// has no key of that name, whatever the bitness of this process.
bool ReadIECryptoDescriptor(const std::wstring& aName, TIECryptoDescriptor& aDescriptor) noexcept;

// Every option descriptor under kIECryptoKey, in either view, each read as ReadIECryptoDescriptor
// reads it. Empty when there are none or they cannot be listed.
std::vector<TIECryptoOption> ReadIECryptoOptions() noexcept;

// The access flag that opens a key in the view a planned setting names: KEY_WOW64_64KEY for a
// View64 setting in a 32-bit process on 64-bit Windows, otherwise none.
REGSAM ViewAccess(bool aView64) noexcept;
