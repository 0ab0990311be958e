// What applying a security level must leave in the registry, written out row by row for the
// Windows versions that matter, and the helpers that prepare and read back that state. Shared by
// the in-process and end-to-end tests.
#pragma once

#include "QVConst.h"
#include "QVMachine.h"
#include "QVPlan.h"
#include "TestSupport.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

extern const wchar_t kProtocolsKey[];
extern const wchar_t kCiphersKey[];
extern const wchar_t kCryptoKey[];
extern const wchar_t kIETargetPath[];
extern const wchar_t kIETargetValue[];
extern const wchar_t kIEPolicyPath[]; // "Turn off encryption support", below HKLM and HKCU

// A bit of SecureProtocols that none of the options owns: every level must keep it.
constexpr DWORD kForeignBit = 0x2;

struct TNamedOS {
    const char* name;
    TOSVersion os;
};
// Windows 7, 8.1, 10 22H2, 11 23H2, Server 2022, 10 1607, 11 24H2 with the ML-KEM groups and
// Server 2025 (without them), all 64-bit: the systems the level tests apply every level on.
extern const TNamedOS kOSRecords[8];
// Further systems whose plans are checked as data only: Windows 11 just before the ML-KEM groups
// and without a CNG provider for them, Server 2016, Windows 11 26H2 with them.
extern const TNamedOS kMoreOSRecords[4];
// What Wine 8 reports by default and with "win10".
extern const TOSVersion kWineWindows7;
extern const TOSVersion kWineWindows10;

// One value a level writes, as the table states it.
struct TExpectedValue {
    std::wstring key;   // below HKEY_LOCAL_MACHINE; for an IE option the descriptor key
    std::wstring value; // for an IE option the option name
    TSettingKind kind;
    DWORD number;      // skDWord
    std::wstring text; // skString
    TSwitchAction ie;  // skIEOption
    bool view64;
};

// The rows aLevel writes on anOS, in write order.
std::vector<TExpectedValue> ExpectedLevelValues(TLevel aLevel, const TOSVersion& anOS);

// One line per row, for comparing plans and tables with a readable difference.
std::wstring DescribeRow(const TExpectedValue& aRow);
std::wstring DescribePlanned(const TPlannedSetting& aSetting);

// A present value of aType holding aSize bytes from aBytes.
TRegValueData RegData(DWORD aType, const void* aBytes, size_t aSize);

// Checks that the registry now holds every row of aLevel on anOS, and that SecureProtocols holds
// anOtherBits plus the bits of the ticked options (the descriptors of InstallIEDescriptors).
void ExpectMachineAtLevel(TLevel aLevel, const TOSVersion& anOS, DWORD anOtherBits);

// Single-bit option descriptors (target HKCU SecureProtocols, policy key kIEPolicyPath) under
// whatever HKEY_LOCAL_MACHINE currently is for this process; "TLS1.3" only when asked for.
struct TIEOptionRow {
    const wchar_t* name;
    DWORD bit;
    DWORD defaultValue;
};
extern const TIEOptionRow kIEOptions[6]; // the last is TLS1.3
void InstallIEDescriptors(bool aWithTls13 = false);

// Every key and value below the trees a level may touch, as text: one line per key and per value
// (type and bytes in hex), sorted, with a line for every tree root that is absent. Two equal
// snapshots mean the registry is byte for byte the same there.
std::wstring SnapshotTouchedTrees();
// "" for equal snapshots, otherwise the lines only one of them has (at most 20, "-" for aBefore's).
std::string SnapshotDifference(const std::wstring& anAfter, const std::wstring& aBefore);
// The same for everything below one key.
std::wstring SnapshotTree(HKEY aRoot, const std::wstring& aPath);

// Saves every tree a level may touch in the prefix's real registry and puts it back afterwards;
// Prepare then installs the Internet Explorer descriptors Wine lacks and sets SecureProtocols to
// SSL2.0, SSL3.0 and TLS1.0 ticked next to kForeignBit.
class TLevelStateGuard {
public:
    TLevelStateGuard();
    void Prepare();

private:
    std::vector<std::unique_ptr<TKeyTreeGuard>> FTrees;
    TValueGuard FSecureProtocols;
};

// A machine as an administrator may have left it: values a level changes, some of the wrong type,
// and values in the same keys that no level touches.
void WriteAdministratorValues();
// A TLS 1.3 key on a system whose SCHANNEL does not know it.
void WriteStrayTls13Key();
// Suite and group orders as no program should leave them: a REG_SZ and a REG_MULTI_SZ without
// their terminating NULs.
void WriteMalformedOrders();

std::string Narrow(const std::wstring& aText);

// Makes Wine report another Windows version to Quenvar.exe only, for the guard's lifetime.
class TWineVersionForQuenvar {
public:
    // aVersion as winecfg names them ("win10"); null keeps the prefix's default.
    explicit TWineVersionForQuenvar(const wchar_t* aVersion);
    ~TWineVersionForQuenvar();
    TWineVersionForQuenvar(const TWineVersionForQuenvar&) = delete;
    TWineVersionForQuenvar& operator=(const TWineVersionForQuenvar&) = delete;
};
