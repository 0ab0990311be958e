// The security levels as data: what each level writes on which Windows, and whether one value
// already is what its setting asks for. Pure: nothing here reads or writes the running system, so
// tests can feed it any version record and any registry value.
#pragma once

#include "QVConst.h"

#include "../lib/RegistryU.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Keys below HKEY_LOCAL_MACHINE the plan, the writers and the status check all name.
extern const wchar_t kSchannelKey[];
extern const wchar_t kSchannelProtocolsKey[]; // with a trailing backslash: the protocol's name follows
extern const wchar_t kSchannelCiphersKey[];   // likewise the cipher's
extern const wchar_t kIECryptoKey[];          // likewise the Internet Explorer option's
// The value a protocol, cipher or hash is switched with, and a protocol's default switch.
extern const wchar_t kEnabledValue[];
extern const wchar_t kDisabledByDefaultValue[];
// The Internet Explorer option only newer Internet Explorer builds describe.
extern const wchar_t kIETls13Option[];

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

// An Internet Explorer option descriptor, the values of the HKLM key kIECryptoKey + option name.
// Absent values read as empty or 0; HasDefaultValue tells an absent or mistyped DefaultValue from 0.
struct TIECryptoDescriptor {
    std::wstring RegPath;
    std::wstring ValueName;
    DWORD CheckedValue = 0;
    DWORD DefaultValue = 0;
    DWORD Mask = 0;
    DWORD UncheckedValue = 0;
    DWORD HKeyRoot = 0;
    bool HasDefaultValue = false;
    std::wstring RegPoliciesPath; // the Group Policy key whose value of the same name overrides the target
};

// One option by name ("TLS1.2") with its descriptor.
struct TIECryptoOption {
    std::wstring Name;
    TIECryptoDescriptor Descriptor;
};

// What an absent target value stands for: the OR of the DefaultValue of every option that names the
// same root, key and value. Not Known when one of them has no DefaultValue (Missing names it) or
// when none names the target.
struct TIEAbsentDefault {
    bool Known = false;
    DWORD Value = 0;
    std::wstring Missing;
};
TIEAbsentDefault IEAbsentTargetDefault(const std::vector<TIECryptoOption>& anOptions,
                                       const TIECryptoDescriptor& aTarget);

// Where the value in effect for an option comes from.
enum TIEValueSource : std::uint8_t { vsUser = 0, vsDefault = 1, vsMachinePolicy = 2, vsUserPolicy = 3 };

// The value in effect for an option, or why it cannot be told (Reason, with Known false).
struct TIEEffectiveValue {
    bool Known = false;
    DWORD Value = 0;
    TIEValueSource Source = vsUser;
    std::wstring Reason;
};

// The "Turn off encryption support" policy overrides the user's value when the descriptor names a
// RegPoliciesPath: the machine policy (HKLM) first, then the user policy (the descriptor's root).
// Without a policy the target value counts, and while it is absent anAbsentDefault.
TIEEffectiveValue IEEffectiveValue(const TIECryptoDescriptor& aDescriptor, const TRegValueData& aTarget,
                                   const TRegValueData& aMachinePolicy, const TRegValueData& aUserPolicy,
                                   const TIEAbsentDefault& anAbsentDefault);

// The target value after anAction on the option aDescriptor describes, given its current value.
// Bits outside the option's pattern are kept; see the definition for the exact arithmetic.
DWORD IECryptoOptionValue(TSwitchAction anAction, const TIECryptoDescriptor& aDescriptor, DWORD aCurrent) noexcept;

// The predefined root a descriptor's "HKeyRoot" names (HKCR, HKCU, HKLM, HKU, HKCC), or nullptr
// for any other number: a number read from the registry is never used as a handle otherwise.
HKEY IECryptoRoot(DWORD aHKeyRoot) noexcept;
