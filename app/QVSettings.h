// Security levels applied: the routines that write a level's plan (QVPlan) to the registry and put
// the machine back exactly as it was. Results are S_OK or E_FAIL.
//
// Maximum and Optimal write the settings their plan names. The first time a value is about to
// change, its prior state (absent, or type and bytes) is recorded in a backup (the machine's under
// HKLM, each user's in that user's hive), and so is every key the program creates; later writes never replace a
// recorded original. Off replays the backup, so the machine ends as it was before the program came, and every level's
// result depends only on that original state and the level.
#pragma once

#include "QVPlan.h"

#include <windows.h>

#include <string>
#include <vector>

// The outcome of one application, beyond its result.
struct TLevelReport {
    bool RestartNeeded = false;      // a setting Windows reads when it starts changed
    unsigned Needs = 0;              // what the changes need before they are in effect: TTakesEffect bits
    unsigned Changed = 0;            // values written, deleted or put back
    std::vector<std::wstring> Notes; // what could not be done, one line each
};

// The backup of the machine's originals under HKEY_LOCAL_MACHINE, and of one user's originals in
// that user's hive (the settings store's subkey), where the user's own unelevated process writes it.
extern const wchar_t kBackupKey[];
extern const wchar_t kUserBackupKey[];

// A level has two parts. The machine's part is every value under HKEY_LOCAL_MACHINE; it needs an
// elevated process. Each user's part is Internet Explorer's per-user options (their target lies
// under HKEY_CURRENT_USER); it is applied by that user's own process and needs no elevation, so that
// an administrator's elevated SETLEVEL never writes a standard user's hive with its own originals.

// Applies the machine's part of aLevel to the running system and marks what the changes need
// (QVMachine's restart marker). Values an organization's policy sets (QVPolicy) are neither
// written nor put back. S_OK when it ran to its end, whatever single settings reported; a level
// outside 0..2 changes nothing and gives S_OK. E_FAIL, with nothing applied, when the backup cannot
// be written.
// Records of per-user values that versions before this one kept in the machine's backup move to
// the backup in aLegacyUser's hive (the user who runs the level change, as then); with a null
// aLegacyUser they stay where they are and are not replayed.
HRESULT ApplySecurityLevel(TLevel aLevel, HKEY aLegacyUser = HKEY_CURRENT_USER) noexcept;
// The same for the system anOS describes, with the outcome in aReport.
HRESULT ApplySecurityLevelOn(TLevel aLevel, const TOSVersion& anOS, TLevelReport& aReport,
                             HKEY aLegacyUser = HKEY_CURRENT_USER) noexcept;

// Applies the user's part of aLevel to the hive aUserHive (HKEY_CURRENT_USER, or an open
// HKEY_USERS\<SID>) with that user's own backup; Off puts that user's originals back. Same results
// as ApplySecurityLevelOn; a null hive does nothing.
HRESULT ApplyUserSecurityLevelOn(TLevel aLevel, const TOSVersion& anOS, HKEY aUserHive, TLevelReport& aReport) noexcept;
// The running user's part, for the running system.
HRESULT ApplyUserSecurityLevel(TLevel aLevel) noexcept;

// Reads the option's descriptor, then its REG_DWORD target value, and writes back the value
// IECryptoOptionValue gives (also when unchanged). E_FAIL, with nothing written, when the target
// cannot be read as a REG_DWORD; E_FAIL when the write fails or anything raises. An empty name
// does nothing.
HRESULT SetIECryptoOption(TSwitchAction anAction, const std::wstring& aName) noexcept;
