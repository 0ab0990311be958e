// Security levels: the policy tables, and the routines that write them to the registry and put the
// machine back exactly as it was. Results are S_OK or E_FAIL.
//
// Maximum and Optimal write the settings their plan names. The first time a value is about to
// change, its prior state (absent, or type and bytes) is recorded in a backup under HKLM, and so is
// every key the program creates; later writes never replace a recorded original. Off replays the
// backup, so the machine ends as it was before the program came, and every level's result depends
// only on that original state and the level.
#pragma once

#include "QVConst.h"

#include "../lib/RegistryU.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What a switch routine does with one Internet Explorer option: put it back to its default, tick
// it or untick it.
enum TSwitchAction : std::uint8_t { saDefault = 0, saOn = 1, saOff = 2 };

// The facts about the running Windows that the tables depend on.
struct TOSVersion {
    DWORD Major = 0;
    DWORD Minor = 0;
    DWORD Build = 0;
    bool Is64Bit = false; // 64-bit Windows: the 32-bit registry view (WOW6432Node) exists
};

// TLS 1.3 in SCHANNEL: Windows 11, Server 2022 and later (build 20348 on).
bool HasTls13(const TOSVersion& anOS) noexcept;
// Windows 10 and later (build 10240 on): key-size limits, the suite-order policy, WinHTTP's own TLS 1.2.
bool IsWindows10(const TOSVersion& anOS) noexcept;
// The running system, from the kernel's own version record.
TOSVersion CurrentOSVersion() noexcept;

// How a planned value is judged and written.
enum TSettingKind : std::uint8_t {
    skDWord = 0,       // REG_DWORD Number
    skString = 1,      // REG_SZ Text
    skNotDisabled = 2, // "on" for a cipher or hash: no value, or 0xFFFFFFFF; anything else is deleted
    skIEOption = 3     // the Internet Explorer option Value gets IEAction through its descriptor
};

// One setting of a level's plan. Every key lies under HKEY_LOCAL_MACHINE; an Internet Explorer
// option's target is found through its descriptor when the plan is applied.
struct TPlannedSetting {
    std::wstring Key;
    std::wstring Value; // the value name; for skIEOption the option name ("TLS1.2")
    TSettingKind Kind = skDWord;
    DWORD Number = 0;
    std::wstring Text;
    TSwitchAction IEAction = saDefault;
    bool View64 = false;    // opened in the 64-bit registry view when a 32-bit process runs on 64-bit Windows
    bool AtRestart = false; // the system reads it only when it starts
};

// Everything aLevel writes on anOS, in write order: protocols, ciphers, hashes, key exchange, the
// suite order, .NET, WinHTTP, Internet Explorer options. Off and levels outside 0..2 plan nothing:
// Off is the replay of the backup.
std::vector<TPlannedSetting> SecurityLevelPlan(TLevel aLevel, const TOSVersion& anOS);

// True for keys whose settings the system reads only at start-up (SCHANNEL, the suite-order policy).
bool TakesEffectAtRestart(const std::wstring& aKey) noexcept;

// Whether aCurrent already is what aSetting asks for (not for skIEOption, whose target value
// depends on its descriptor).
bool SettingHolds(const TPlannedSetting& aSetting, const TRegValueData& aCurrent);
// The value that makes aSetting hold: absent for skNotDisabled.
TRegValueData SettingValue(const TPlannedSetting& aSetting);

// The outcome of one application, beyond its result.
struct TLevelReport {
    bool RestartNeeded = false;      // a setting the system reads at start-up changed
    unsigned Changed = 0;            // values written, deleted or put back
    std::vector<std::wstring> Notes; // what could not be done, one line each
};

// The backup of originals under HKEY_LOCAL_MACHINE, and the volatile key that says a restart is
// pending (it disappears when Windows restarts).
extern const wchar_t kBackupKey[];
extern const wchar_t kRestartPendingKey[];

// Applies aLevel to the running system and marks a pending restart when needed. S_OK when it ran
// to its end, whatever single settings reported; a level outside 0..2 changes nothing and gives
// S_OK. E_FAIL, with nothing applied, when the backup cannot be written.
HRESULT ApplySecurityLevel(TLevel aLevel) noexcept;
// The same for the system anOS describes, with the outcome in aReport.
HRESULT ApplySecurityLevelOn(TLevel aLevel, const TOSVersion& anOS, TLevelReport& aReport) noexcept;

// True while settings written since Windows last started wait for a restart.
bool RestartPending() noexcept;

// An Internet Explorer option descriptor, the values of the HKLM key
// "SOFTWARE\Microsoft\Internet Explorer\AdvancedOptions\CRYPTO\<option>". Absent values read as
// empty or 0.
struct TIECryptoDescriptor {
    std::wstring RegPath;
    std::wstring ValueName;
    DWORD CheckedValue = 0;
    DWORD DefaultValue = 0;
    DWORD Mask = 0;
    DWORD UncheckedValue = 0;
    DWORD HKeyRoot = 0;
};

// Reads the descriptor of option aName; false when it has no key.
bool ReadIECryptoDescriptor(const std::wstring& aName, TIECryptoDescriptor& aDescriptor) noexcept;

// The target value after anAction on the option aDescriptor describes, given its current value.
// Bits outside the option's pattern are kept; see the definition for the exact arithmetic.
DWORD IECryptoOptionValue(TSwitchAction anAction, const TIECryptoDescriptor& aDescriptor, DWORD aCurrent) noexcept;

// The predefined root a descriptor's "HKeyRoot" names (HKCR, HKCU, HKLM, HKU, HKCC), or nullptr
// for any other number: a number read from the registry is never used as a handle otherwise.
HKEY IECryptoRoot(DWORD aHKeyRoot) noexcept;

// Reads the option's descriptor, then its REG_DWORD target value, and writes back the value
// IECryptoOptionValue gives (also when unchanged). E_FAIL, with nothing written, when the target
// cannot be read as a REG_DWORD; E_FAIL when the write fails or anything raises. An empty name
// does nothing.
HRESULT SetIECryptoOption(TSwitchAction anAction, const std::wstring& aName) noexcept;
