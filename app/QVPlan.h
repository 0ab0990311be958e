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
    DWORD Revision = 0;   // the update revision of the build ("UBR"), 0 when unknown
    bool IsServer = false;
    bool MlKemProvider = false; // CNG has an ML-KEM algorithm provider
};

// TLS 1.3 in SCHANNEL: Windows 11, Server 2022 and later (build 20348 on).
bool HasTls13(const TOSVersion& anOS) noexcept;
// Windows 10 and later (build 10240 on): key-size limits, the suite-order policy, WinHTTP's own TLS 1.2.
bool IsWindows10(const TOSVersion& anOS) noexcept;
// SCHANNEL offers the hybrid ML-KEM groups for TLS 1.3: Windows 11 24H2/25H2 from 26100.8514 and
// 26200.8514, 26H2 from 28000.2173, later client builds, Windows Server from build 29550.
bool BuildHasMlKemGroups(const TOSVersion& anOS) noexcept;
// ...and CNG on this machine has ML-KEM too: only then does Maximum configure the groups.
bool HasMlKemGroups(const TOSVersion& anOS) noexcept;

// How a planned value is judged and written.
enum TSettingKind : std::uint8_t {
    skDWord = 0,       // REG_DWORD Number
    skString = 1,      // REG_SZ Text
    skNotDisabled = 2, // "on" for a cipher or hash: no value, or 0xFFFFFFFF; anything else is deleted
    skIEOption = 3,    // the Internet Explorer option Value gets IEAction through its descriptor
    skSuiteList = 4,   // REG_SZ cipher-suite order Text; holds when the list is as strict (see JudgeList)
    skGroupList = 5    // REG_MULTI_SZ supported-group order Text (comma-separated here); likewise
};

// What a written value needs before the system acts on it.
enum TTakesEffect : std::uint8_t {
    teProgramsRestart = 1, // read by each program when it starts (SCHANNEL protocols, .NET, the browser)
    teServicesRestart = 2, // read by WinHTTP when its host process starts: restart the services using it
    teWindowsRestart = 4,  // read once when Windows starts (ciphers, hashes, key exchange, suite and group order)
};

// The rule a suite or group list is judged by.
struct TListRule {
    TLevel Level = lOff;                // the level whose rule it is, for texts
    bool AllowCbcSha2 = false;          // ECDHE with AES-CBC and SHA-256/384 (Optimal)
    std::vector<std::wstring> Required; // suites every list must keep
    bool NeedsHybrid = false;           // a hybrid ML-KEM group must be in the list
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
    bool View64 = false; // opened in the 64-bit registry view when a 32-bit process runs on 64-bit Windows
    TTakesEffect Effect = teProgramsRestart;
    TListRule Rule;      // skSuiteList and skGroupList
    bool Policy = false; // a Group Policy value: an organization's policy may own it
};

// Everything aLevel writes on anOS, in write order: protocols, ciphers, hashes, key exchange, the
// suite order, .NET, WinHTTP, Internet Explorer options. Off and levels outside 0..2 plan nothing:
// Off is the replay of the backup.
std::vector<TPlannedSetting> SecurityLevelPlan(TLevel aLevel, const TOSVersion& anOS);

// What a value under aKey needs before it is in effect.
TTakesEffect EffectOfKey(const std::wstring& aKey) noexcept;

// The key of the cipher-suite and group order policies, and their values.
extern const wchar_t kSuiteOrderKey[];
extern const wchar_t kSuiteOrderValue[];
extern const wchar_t kGroupOrderValue[];

// The names of a list value: REG_SZ split at commas, REG_MULTI_SZ at NULs (and commas inside an
// entry); blanks trimmed, empty names dropped. False, with aReason, for any other type or a
// REG_MULTI_SZ or REG_SZ whose data does not end in its NULs.
bool ListNames(const TRegValueData& aValue, std::vector<std::wstring>& aNames, std::wstring& aReason);

// A list value judged against a level's rule, the way auditors judge it: it holds when it names
// nothing weaker than the level allows and keeps the required entries; it need not be our string.
struct TListVerdict {
    bool Holds = false;
    bool Exact = false; // the very value the level writes
    std::wstring
        Reason; // why it does not hold, for people: "TLS_RSA_WITH_AES_128_CBC_SHA is weaker than the level allows"
};
TListVerdict JudgeList(const TPlannedSetting& aSetting, const TRegValueData& aCurrent);

// Whether a group list turns on post-quantum key exchange: it names a hybrid ML-KEM group.
bool NamesHybridGroup(const TRegValueData& aValue);

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
