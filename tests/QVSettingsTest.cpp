// Security levels applied to a sandboxed registry: the state a level leaves, the exact restore, the
// Internet Explorer options written, and what happens with bad or missing input.
#include "LevelExpectations.h"
#include "QVSettings.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

std::wstring Protocol(const std::wstring& aName, const wchar_t* aSide) {
    return kProtocolsKey + aName + L"\\" + aSide;
}

std::wstring Cipher(const std::wstring& aName) {
    return kCiphersKey + aName;
}

bool KeyExists(HKEY aRoot, const std::wstring& aPath) {
    TUniqueHKey key;
    return RegOpenKeyExW(aRoot, aPath.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void WriteRaw(HKEY aRoot, const std::wstring& aPath, const wchar_t* aName, DWORD aType, const void* aData,
              DWORD aSize) {
    TUniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(aRoot, aPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), aName, 0, aType, static_cast<const BYTE*>(aData), aSize), ERROR_SUCCESS);
}

void WriteText(HKEY aRoot, const std::wstring& aPath, const wchar_t* aName, const std::wstring& aText) {
    WriteRaw(aRoot, aPath, aName, REG_SZ, aText.c_str(), static_cast<DWORD>((aText.size() + 1) * sizeof(wchar_t)));
}

struct TRawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const TRawValue& o) const { return type == o.type && data == o.data; }
};

void PrintTo(const TRawValue& aValue, std::ostream* anOut) {
    *anOut << "type " << aValue.type << ",";
    for (const BYTE b : aValue.data)
        *anOut << " " << std::hex << static_cast<unsigned>(b) << std::dec;
}

// The value as stored, whatever its type; type REG_NONE and no data when it is absent.
TRawValue ReadRaw(HKEY aRoot, const std::wstring& aPath, const wchar_t* aName) {
    TRawValue value;
    TUniqueHKey key;
    DWORD size = 0;
    if (RegOpenKeyExW(aRoot, aPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), aName, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return TRawValue();
    value.data.resize(size);
    RegQueryValueExW(key.get(), aName, nullptr, &value.type, value.data.data(), &size);
    return value;
}

TRawValue DWordValue(DWORD aValue) {
    TRawValue value;
    value.type = REG_DWORD;
    value.data.assign(reinterpret_cast<const BYTE*>(&aValue), reinterpret_cast<const BYTE*>(&aValue) + 4);
    return value;
}

void WriteTarget(DWORD aValue) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, static_cast<int>(aValue)));
}

TRawValue Target() {
    return ReadRaw(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue);
}

// ---- applying levels and putting the machine back ----

class TLevelMachine {
public:
    TLevelMachine() {
        InstallIEDescriptors(true);
        WriteTarget(kForeignBit | 0x8 | 0xA0);
    }

private:
    TRegistrySandbox FSandbox;
};

class LevelSandbox : public ::testing::Test {
protected:
    TLevelMachine FMachine;
};

// Everything in the sandbox's machine and user hives.
std::wstring Machine() {
    return SnapshotTree(HKEY_LOCAL_MACHINE, L"") + SnapshotTree(HKEY_CURRENT_USER, L"");
}

// A level as the machine gets it: the machine's part (SETLEVEL), then, once that succeeded, the
// user's part (the user's own instance, seeing the machine's level change).
TLevelReport Apply(TLevel aLevel, const TOSVersion& anOS, HRESULT anExpected = S_OK) {
    TLevelReport report;
    const HRESULT machine = ApplySecurityLevelOn(aLevel, anOS, report);
    EXPECT_EQ(machine, anExpected) << "level " << int(aLevel);
    if (machine != S_OK)
        return report;
    TLevelReport user;
    EXPECT_EQ(ApplyUserSecurityLevelOn(aLevel, anOS, HKEY_CURRENT_USER, user), S_OK) << "level " << int(aLevel);
    report.RestartNeeded = report.RestartNeeded || user.RestartNeeded;
    report.Needs |= user.Needs;
    report.Changed += user.Changed;
    report.Notes.insert(report.Notes.end(), user.Notes.begin(), user.Notes.end());
    return report;
}

// The bits of SecureProtocols that are not the options': what a level must keep.
DWORD OtherBits() {
    DWORD options = 0;
    for (const auto& option : kIEOptions)
        options |= option.bit;
    int target = 0;
    ReadRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, target);
    return static_cast<DWORD>(target) & ~options;
}

TEST(ApplySecurityLevel, EverySequenceOfLevelsEndsExactlyWhereTheMachineStarted) {
    const struct {
        const char* what;
        void (*prepare)();
    } starts[] = {{"fresh", [] {}},
                  {"administrator values", WriteAdministratorValues},
                  {"malformed orders", WriteMalformedOrders},
                  {"stray TLS 1.3 key", WriteStrayTls13Key},
                  // A profile without SecureProtocols: the level starts from the descriptors' defaults.
                  {"no SecureProtocols", [] { DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue); }},
                  {"no Internet Settings key", [] { DeleteRegKeyTree(HKEY_CURRENT_USER, kIETargetPath, true); }}};
    for (const auto& record : kOSRecords) {
        for (const auto& start : starts) {
            if (start.prepare == WriteStrayTls13Key && HasTls13(record.os))
                continue;
            SCOPED_TRACE(std::string(record.name) + ", " + start.what);
            TLevelMachine machine;
            start.prepare();
            const DWORD others = OtherBits();
            const std::wstring original = Machine();

            Apply(lOptimal, record.os);
            ExpectMachineAtLevel(lOptimal, record.os, others);
            const std::wstring optimal = Machine();
            Apply(lOff, record.os);
            ASSERT_EQ(SnapshotDifference(Machine(), original), "");

            Apply(lMax, record.os);
            ExpectMachineAtLevel(lMax, record.os, others);
            const std::wstring max = Machine();
            Apply(lOptimal, record.os);
            EXPECT_EQ(SnapshotDifference(Machine(), optimal), "") << "Optimal after Maximum differs from Optimal alone";
            Apply(lMax, record.os);
            EXPECT_EQ(SnapshotDifference(Machine(), max), "");
            if (start.prepare == WriteStrayTls13Key) {
                int enabled = 0;
                EXPECT_TRUE(ReadRegDWord(HKEY_LOCAL_MACHINE, Protocol(L"TLS 1.3", L"Client"), L"Enabled", enabled));
                EXPECT_EQ(enabled, 1);
            }
            Apply(lOff, record.os);
            EXPECT_EQ(SnapshotDifference(Machine(), original), "");
        }
    }
}

TEST_F(LevelSandbox, ApplyingALevelAgainChangesNothing) {
    const TOSVersion& os = kOSRecords[3].os;
    Apply(lMax, os);
    const std::wstring once = Machine();
    const TLevelReport again = Apply(lMax, os);
    EXPECT_EQ(again.Changed, 0u);
    EXPECT_FALSE(again.RestartNeeded);
    EXPECT_EQ(SnapshotDifference(Machine(), once), "");
}

// Each change says what it needs: .NET values and protocol switches a program restart, WinHTTP a
// restart of its services, ciphers and the orders a restart of Windows.
TEST_F(LevelSandbox, EachChangeSaysWhetherProgramsServicesOrWindowsMustRestart) {
    const TOSVersion& os = kOSRecords[2].os;
    const TLevelReport first = Apply(lMax, os);
    EXPECT_TRUE(first.RestartNeeded);
    EXPECT_EQ(first.Needs, unsigned(teProgramsRestart | teServicesRestart | teWindowsRestart));
    EXPECT_GT(first.Changed, 50u);
    const struct {
        const char* what;
        std::wstring key;
        const wchar_t* value;
        unsigned needs;
    } changes[] = {
        {".NET", L"SOFTWARE\\Microsoft\\.NETFramework\\v4.0.30319", L"SchUseStrongCrypto", teProgramsRestart},
        {"a protocol", Protocol(L"TLS 1.0", L"Client"), L"Enabled", teProgramsRestart},
        {"WinHTTP", L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp",
         L"DefaultSecureProtocols", teServicesRestart},
        {"a cipher", kCiphersKey + std::wstring(L"RC4 128/128"), L"Enabled", teWindowsRestart},
        {"the suite order", L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002", L"Functions",
         teWindowsRestart},
    };
    for (const auto& c : changes) {
        TRegKey key;
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, c.key, KEY_SET_VALUE | ViewAccess(true)), ERROR_SUCCESS) << c.what;
        ASSERT_EQ(key.Write(c.value, REG_DWORD, "\x07\0\0\0", 4), ERROR_SUCCESS) << c.what;
        const TLevelReport again = Apply(lMax, os);
        EXPECT_EQ(again.Changed, 1u) << c.what;
        EXPECT_EQ(again.Needs, c.needs) << c.what;
        EXPECT_EQ(again.RestartNeeded, c.needs == teWindowsRestart) << c.what;
    }
    const TLevelReport off = Apply(lOff, os);
    EXPECT_TRUE(off.RestartNeeded);
}

TEST_F(LevelSandbox, ALevelOutsideTheRangeWritesNothing) {
    const std::wstring before = Machine();
    for (const int level : {3, 7, 255}) {
        EXPECT_EQ(ApplySecurityLevel(static_cast<TLevel>(level)), S_OK);
        EXPECT_EQ(SnapshotDifference(Machine(), before), "") << level;
    }
}

TEST_F(LevelSandbox, AnUnwritableBackupMeansNoLevelIsApplied) {
    // Below a volatile key the registry refuses the lasting backup key.
    TUniqueHKey owner;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quenvar", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, owner.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring before = Machine();
    for (const TLevel level : {lMax, lOptimal}) {
        const TLevelReport report = Apply(level, kOSRecords[3].os, E_FAIL);
        EXPECT_EQ(report.Changed, 0u);
        ASSERT_FALSE(report.Notes.empty());
        EXPECT_NE(report.Notes[0].find(L"no level was applied"), std::wstring::npos) << Narrow(report.Notes[0]);
        EXPECT_EQ(SnapshotDifference(Machine(), before), "");
    }
    // Off has nothing to replay and changes nothing either.
    Apply(lOff, kOSRecords[3].os);
    EXPECT_EQ(SnapshotDifference(Machine(), before), "");
}

// The raw records of the backup, by name.
std::vector<std::pair<std::wstring, TRegValueData>> BackupRecords() {
    TRegKey backup;
    std::vector<std::pair<std::wstring, TRegValueData>> values;
    if (backup.Open(HKEY_LOCAL_MACHINE, kBackupKey, KEY_READ) == ERROR_SUCCESS) {
        EXPECT_EQ(backup.Values(values), ERROR_SUCCESS);
    }
    return values;
}

const wchar_t kDhKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\KeyExchangeAlgorithms\\Diffie-Hellman";

TEST(ApplySecurityLevel, ADamagedBackupIsReplayedAsFarAsItCanBeRead) {
    const TOSVersion& os = kOSRecords[2].os;
    // The record of a value the level created: losing it must never delete that value.
    const std::wstring valueRecord = L"V HKLM\\" + std::wstring(kDhKey) + L"\\\\ServerMinKeyBitLength";
    const auto binary = [](std::vector<BYTE> aBytes) {
        TRegValueData d;
        d.Present = true;
        d.Type = REG_BINARY;
        d.Bytes = std::move(aBytes);
        return d;
    };
    const struct {
        const char* what;
        std::function<TRegValueData(const TRegValueData&)> damage;
    } cases[] = {
        {"truncated",
         [&](const TRegValueData& r) {
             return binary({r.Bytes.begin(), r.Bytes.begin() + 20});
         }},
        {"one byte longer",
         [&](const TRegValueData& r) {
             std::vector<BYTE> b = r.Bytes;
             b.push_back(0);
             return binary(b);
         }},
        {"a lying data size",
         [&](const TRegValueData& r) {
             std::vector<BYTE> b = r.Bytes;
             b[16] = 0xFF;
             return binary(b);
         }},
        {"REG_SZ", [](const TRegValueData&) { return RegData(REG_SZ, L"garbage", 16); }},
        {"REG_DWORD",
         [](const TRegValueData&) {
             const DWORD n = 7;
             return RegData(REG_DWORD, &n, 4);
         }},
        {"another record's contents",
         [&](const TRegValueData&) {
             for (const auto& [name, data] : BackupRecords())
                 if (name.find(L"Diffie-Hellman\\\\ClientMinKeyBitLength") != std::wstring::npos)
                     return data;
             return TRegValueData();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TLevelMachine machine;
        const std::wstring protocols = SnapshotTree(
            HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols");
        const std::wstring software = SnapshotTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft");
        const std::wstring user = SnapshotTree(HKEY_CURRENT_USER, L"");
        Apply(lMax, os);
        TRegValueData damaged;
        {
            TRegKey backup;
            ASSERT_EQ(backup.Open(HKEY_LOCAL_MACHINE, kBackupKey, KEY_READ | KEY_WRITE), ERROR_SUCCESS);
            TRegValueData record;
            ASSERT_EQ(backup.Read(valueRecord, record), ERROR_SUCCESS);
            ASSERT_TRUE(record.Present);
            damaged = c.damage(record);
            ASSERT_TRUE(damaged.Present);
            ASSERT_EQ(backup.Put(valueRecord, damaged), ERROR_SUCCESS);
        }
        const TLevelReport off = Apply(lOff, os);
        bool noted = false;
        for (const auto& note : off.Notes)
            noted = noted || note.find(L"ServerMinKeyBitLength") != std::wstring::npos;
        EXPECT_TRUE(noted);
        // Everything else is back; the damaged record's value stays as the level wrote it, and the
        // backup keeps that one record.
        EXPECT_EQ(SnapshotDifference(
                      SnapshotTree(HKEY_LOCAL_MACHINE,
                                   L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols"),
                      protocols),
                  "");
        EXPECT_EQ(SnapshotDifference(SnapshotTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft"), software), "");
        EXPECT_EQ(SnapshotDifference(SnapshotTree(HKEY_CURRENT_USER, L""), user), "");
        int length = 0;
        EXPECT_TRUE(ReadRegDWord(HKEY_LOCAL_MACHINE, kDhKey, L"ServerMinKeyBitLength", length));
        EXPECT_EQ(length, 3072);
        // The backup keeps the damaged record, and that it created its own key.
        const auto recordNames = [] {
            std::vector<std::wstring> names;
            for (const auto& record : BackupRecords())
                names.push_back(record.first);
            return names;
        };
        const std::vector<std::wstring> kept = {L"K HKLM\\SOFTWARE\\Quenvar", valueRecord};
        EXPECT_EQ(recordNames(), kept);
        // A later level still applies, and the unreadable record is never replaced.
        Apply(lMax, os);
        ExpectMachineAtLevel(lMax, os, kForeignBit);
        Apply(lOff, os);
        EXPECT_EQ(recordNames(), kept);
        TRegValueData still;
        TRegKey backup;
        ASSERT_EQ(backup.Open(HKEY_LOCAL_MACHINE, kBackupKey, KEY_READ), ERROR_SUCCESS);
        ASSERT_EQ(backup.Read(valueRecord, still), ERROR_SUCCESS);
        EXPECT_EQ(still, damaged);
    }
}

// What versions before this one left: "Enabled" on both sides of their seven protocols (the
// server copying the client) and on their twelve ciphers, and nothing else.
void WriteEarlierVersionsMaximum() {
    const std::pair<const wchar_t*, int> protocols[] = {{L"Multi-Protocol Unified Hello", 0},
                                                        {L"PCT 1.0", 0},
                                                        {L"SSL 2.0", 0},
                                                        {L"SSL 3.0", -1},
                                                        {L"TLS 1.0", -1},
                                                        {L"TLS 1.1", -1},
                                                        {L"TLS 1.2", -1}};
    for (const auto& [name, enabled] : protocols)
        for (const wchar_t* side : {L"Client", L"Server"})
            ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, Protocol(name, side), L"Enabled", enabled));
    const std::pair<const wchar_t*, int> ciphers[] = {
        {L"AES 128/128", -1}, {L"AES 256/256", -1}, {L"DES 56/56", 0},  {L"NULL", 0},
        {L"RC2 128/128", 0},  {L"RC2 40/128", 0},   {L"RC2 56/128", 0}, {L"RC4 128/128", -1},
        {L"RC4 40/128", 0},   {L"RC4 56/128", 0},   {L"RC4 64/128", 0}, {L"Triple DES 168/168", -1}};
    for (const auto& [name, enabled] : ciphers)
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, Cipher(name), L"Enabled", enabled));
}

TEST_F(LevelSandbox, OffWithoutABackupChangesNothingOnAMachineNoEarlierVersionLevelled) {
    WriteAdministratorValues();
    // An administrator's protocol switches with "DisabledByDefault", as current tools write them.
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, Protocol(L"SSL 3.0", L"Client"), L"DisabledByDefault", 1));
    const std::wstring before = Machine();
    const TLevelReport report = Apply(lOff, kOSRecords[2].os);
    EXPECT_EQ(report.Changed, 0u);
    EXPECT_EQ(SnapshotDifference(Machine(), before), "");
}

TEST_F(LevelSandbox, OffWithoutABackupRemovesWhatAnEarlierVersionWrote) {
    WriteEarlierVersionsMaximum();
    // A value the earlier versions kept when switching off (anything but -1 and 0) is the administrator's.
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, Cipher(L"RC4 40/128"), L"Enabled", 1));
    const TLevelReport report = Apply(lOff, kOSRecords[2].os);
    EXPECT_GT(report.Changed, 0u);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProtocolsKey + std::wstring(L"TLS 1.2")));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Cipher(L"AES 128/128")));
    int kept = 0;
    EXPECT_TRUE(ReadRegDWord(HKEY_LOCAL_MACHINE, Cipher(L"RC4 40/128"), L"Enabled", kept));
    EXPECT_EQ(kept, 1);
    // The Internet Explorer options go back to their defaults; other bits stay.
    DWORD defaults = 0;
    for (const auto& option : kIEOptions)
        defaults |= option.defaultValue;
    EXPECT_EQ(Target(), DWordValue(kForeignBit | defaults));
}

TEST_F(LevelSandbox, AFirstLevelOnAMachineAnEarlierVersionLevelledRecordsTheCleanState) {
    WriteEarlierVersionsMaximum();
    Apply(lOff, kOSRecords[2].os);
    const std::wstring clean = Machine();
    WriteEarlierVersionsMaximum();
    WriteTarget(kForeignBit | 0x8 | 0xA0);
    Apply(lMax, kOSRecords[2].os);
    ExpectMachineAtLevel(lMax, kOSRecords[2].os, kForeignBit);
    Apply(lOff, kOSRecords[2].os);
    EXPECT_EQ(SnapshotDifference(Machine(), clean), "");
}

TEST_F(LevelSandbox, OptionsWithoutADescriptorOrAReadableTargetAreLeftAndNoted) {
    const TOSVersion& os = kOSRecords[3].os;
    DeleteRegKeyTree(HKEY_LOCAL_MACHINE, kCryptoKey + std::wstring(L"SSL3.0"), true);
    Apply(lMax, os);
    int target = 0;
    ASSERT_TRUE(ReadRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, target));
    // SSL3.0 keeps its bit; the other options and everything else are applied.
    EXPECT_EQ(static_cast<DWORD>(target), kForeignBit | 0x20 | 0x800 | 0x2000);
    Apply(lOff, os);

    WriteText(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, L"160");
    const TLevelReport report = Apply(lMax, os);
    EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue).type, DWORD(REG_SZ));
    bool noted = false;
    for (const auto& note : report.Notes)
        noted = noted || note.find(L"SecureProtocols") != std::wstring::npos;
    EXPECT_TRUE(noted);
}

TEST_F(LevelSandbox, AnAbsentTargetWithoutADefaultIsNotedAndLeftAbsent) {
    const TOSVersion& os = kOSRecords[2].os;
    ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue));
    const std::wstring tls10 = kCryptoKey + std::wstring(L"TLS1.0");
    // TLS1.0 is planned; SSL2.0 is too, but an option the plan never names counts the same way.
    for (const auto& [option, change] : std::vector<std::pair<std::wstring, std::function<void()>>>{
             {L"TLS1.0", [&] { ASSERT_TRUE(DeleteRegValue(HKEY_LOCAL_MACHINE, tls10, L"DefaultValue")); }},
             {L"Extra", [] {
                  const std::wstring extra = kCryptoKey + std::wstring(L"Extra");
                  ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, extra, L"RegPath", kIETargetPath));
                  ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, extra, L"ValueName", kIETargetValue));
                  ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, extra, L"HKeyRoot", int(0x80000001u)));
                  WriteText(HKEY_LOCAL_MACHINE, extra, L"DefaultValue", L"1");
              }}}) {
        SCOPED_TRACE(Narrow(option));
        InstallIEDescriptors(true);
        change();
        const std::wstring before = Machine();
        const TLevelReport report = Apply(lMax, os);
        bool noted = false;
        for (const auto& note : report.Notes)
            noted = noted || note.find(L"option " + option + L" has no DefaultValue") != std::wstring::npos;
        EXPECT_TRUE(noted);
        EXPECT_EQ(Target(), TRawValue());
        int enabled = 1;
        EXPECT_TRUE(ReadRegDWord(HKEY_LOCAL_MACHINE, Protocol(L"TLS 1.0", L"Client"), L"Enabled", enabled));
        EXPECT_EQ(enabled, 0); // the rest of the level is applied
        Apply(lOff, os);
        EXPECT_EQ(SnapshotDifference(Machine(), before), "");
        DeleteRegKeyTree(HKEY_LOCAL_MACHINE, kCryptoKey + std::wstring(L"Extra"), true);
    }
}

TEST_F(LevelSandbox, AnAbsentTargetIsWrittenFromTheDefaultsAndRemovedAgainByOff) {
    const TOSVersion& os = kOSRecords[2].os;
    ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue));
    const std::wstring before = Machine();
    Apply(lMax, os);
    // The defaults (SSL 3.0, TLS 1.0, 1.1, 1.2) with Maximum's ticks: TLS 1.2 alone.
    EXPECT_EQ(Target(), DWordValue(0x800));
    Apply(lOptimal, os);
    EXPECT_EQ(Target(), DWordValue(0x800));
    Apply(lOff, os);
    EXPECT_EQ(Target(), TRawValue());
    EXPECT_EQ(SnapshotDifference(Machine(), before), "");
}

TEST_F(LevelSandbox, APolicyInEffectIsNotedAndTheUsersValueStillWritten) {
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kIEPolicyPath, kIETargetValue, 0xA80));
    const TLevelReport report = Apply(lMax, kOSRecords[2].os);
    bool noted = false;
    for (const auto& note : report.Notes)
        noted = noted || note.find(L"A policy sets Internet Explorer's protocols: HKLM\\" +
                                   std::wstring(kIEPolicyPath)) != std::wstring::npos;
    EXPECT_TRUE(noted);
    EXPECT_EQ(Target(), DWordValue(kForeignBit | 0x800));
}

TEST_F(LevelSandbox, TheLiveApplicationMarksARestartPending) {
    EXPECT_FALSE(RestartPending());
    EXPECT_EQ(ApplySecurityLevel(lMax), S_OK);
    EXPECT_TRUE(RestartPending());
    // The machine's part leaves the user's browser options to the user's own instance.
    EXPECT_EQ(Target(), DWordValue(kForeignBit | 0x8 | 0xA0));
    EXPECT_EQ(ApplyUserSecurityLevel(lMax), S_OK);
    ExpectMachineAtLevel(lMax, CurrentOSVersion(), kForeignBit);
}

// ---- several users ----

// Another user's hive: a key under HKEY_USERS named like a SID, removed again afterwards. The
// sandbox redirects HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER only.
class TUserHive {
public:
    explicit TUserHive(const wchar_t* aRid)
        : Sid(L"S-1-5-21-4242-4242-" + std::to_wstring(GetCurrentProcessId()) + L"-" + aRid) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, Sid.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, Key.put(), nullptr),
                  ERROR_SUCCESS);
    }
    ~TUserHive() {
        Key.reset();
        RegDeleteTreeW(HKEY_USERS, Sid.c_str());
        RegDeleteKeyW(HKEY_USERS, Sid.c_str());
    }
    TUserHive(const TUserHive&) = delete;
    TUserHive& operator=(const TUserHive&) = delete;

    void WriteTarget(DWORD aValue) const { WriteRaw(Key.get(), kIETargetPath, kIETargetValue, REG_DWORD, &aValue, 4); }
    TRawValue Target() const { return ReadRaw(Key.get(), kIETargetPath, kIETargetValue); }
    bool HasStore() const { return KeyExists(Key.get(), L"Software\\Quenvar"); }
    // The user's part of a level, as that user's instance applies it.
    TLevelReport Apply(TLevel aLevel, const TOSVersion& anOS) const {
        TLevelReport report;
        EXPECT_EQ(ApplyUserSecurityLevelOn(aLevel, anOS, Key.get(), report), S_OK);
        return report;
    }

    const std::wstring Sid;
    TUniqueHKey Key;
};

// The bits Maximum leaves in SecureProtocols on Windows 10 next to anOtherBits: TLS 1.2 alone
// (InstallIEDescriptors' options).
DWORD MaximumBits(DWORD anOtherBits) {
    return anOtherBits | 0x800;
}

TEST_F(LevelSandbox, EachUserKeepsTheirOwnOriginalAndGetsItBack) {
    const TOSVersion& os = kOSRecords[2].os;
    const TUserHive a(L"1001"), b(L"1002");
    const DWORD originalA = kForeignBit | 0x8 | 0xA0, originalB = 0x200 | 0x4000;
    a.WriteTarget(originalA);
    b.WriteTarget(originalB);
    const TRawValue mine = Target();

    // User A raises the machine to Maximum (the elevated part), then A's instance applies A's part.
    TLevelReport machine;
    ASSERT_EQ(ApplySecurityLevelOn(lMax, os, machine), S_OK);
    a.Apply(lMax, os);
    EXPECT_EQ(a.Target(), DWordValue(MaximumBits(kForeignBit)));
    EXPECT_EQ(b.Target(), DWordValue(originalB)) << "B's hive is B's instance's to write";
    // B's instance at B's logon: B's level comes from B's own original, not A's.
    b.Apply(lMax, os);
    EXPECT_EQ(b.Target(), DWordValue(MaximumBits(0x4000)));
    EXPECT_EQ(Target(), mine) << "neither part wrote this process's own user";
    for (const auto& [name, data] : BackupRecords())
        EXPECT_EQ(name.rfind(L"V HKCU", 0), std::wstring::npos) << Narrow(name) << " in the machine's backup";

    // Optimal for both, then Off: each gets their own value back, and their backups go.
    ASSERT_EQ(ApplySecurityLevelOn(lOptimal, os, machine), S_OK);
    b.Apply(lOptimal, os);
    a.Apply(lOptimal, os);
    EXPECT_EQ(a.Target().data.size(), 4u);
    ASSERT_EQ(ApplySecurityLevelOn(lOff, os, machine), S_OK);
    a.Apply(lOff, os);
    b.Apply(lOff, os);
    EXPECT_EQ(a.Target(), DWordValue(originalA));
    EXPECT_EQ(b.Target(), DWordValue(originalB));
    EXPECT_FALSE(a.HasStore());
    EXPECT_FALSE(b.HasStore());
    EXPECT_EQ(Target(), mine);
}

// An earlier version kept the running user's Internet Explorer original in the machine's backup.
// The next elevated level change, run by that user as then, moves it to the user's own backup;
// without a user to take it, it is kept and never replayed into some other hive.
TEST_F(LevelSandbox, AnEarlierVersionsPerUserRecordMovesToTheUserWhoChangesTheLevel) {
    const TOSVersion& os = kOSRecords[2].os;
    const TUserHive a(L"1001");
    const DWORD original = 0x8 | 0xA0 | 0x4000;
    // The earlier version's state: A's value at Maximum, its original recorded in the machine's backup.
    a.WriteTarget(original);
    {
        TLevelReport report;
        ASSERT_EQ(ApplyUserSecurityLevelOn(lMax, os, a.Key.get(), report), S_OK);
    }
    TRegKey userBackup;
    ASSERT_EQ(userBackup.Open(a.Key.get(), kUserBackupKey, KEY_READ | KEY_WRITE), ERROR_SUCCESS);
    std::vector<std::pair<std::wstring, TRegValueData>> records;
    ASSERT_EQ(userBackup.Values(records), ERROR_SUCCESS);
    std::vector<std::pair<std::wstring, TRegValueData>> legacy;
    for (const auto& record : records)
        if (record.first.rfind(L"V HKCU", 0) == 0)
            legacy.push_back(record);
    ASSERT_EQ(legacy.size(), 1u);
    userBackup = TRegKey();
    RegDeleteTreeW(a.Key.get(), L"Software\\Quenvar");
    RegDeleteKeyW(a.Key.get(), L"Software\\Quenvar");
    TRegKey machineBackup;
    ASSERT_EQ(machineBackup.Create(HKEY_LOCAL_MACHINE, kBackupKey, KEY_ALL_ACCESS | ViewAccess(true), 0),
              ERROR_SUCCESS);
    ASSERT_EQ(machineBackup.Write(legacy[0].first, REG_BINARY, legacy[0].second.Bytes.data(),
                                  static_cast<DWORD>(legacy[0].second.Bytes.size())),
              ERROR_SUCCESS);
    machineBackup = TRegKey();
    ASSERT_EQ(a.Target(), DWordValue(MaximumBits(0x4000)));

    // Removal run for a user whose hive is not there: the record stays, nothing is written.
    TLevelReport kept;
    ASSERT_EQ(ApplySecurityLevelOn(lOff, os, kept, nullptr), S_OK);
    EXPECT_EQ(a.Target(), DWordValue(MaximumBits(0x4000)));
    bool still = false;
    for (const auto& [name, data] : BackupRecords())
        still = still || name == legacy[0].first;
    EXPECT_TRUE(still);

    // A's own level change: the record moves to A's backup, and A's Off puts A's value back.
    TLevelReport moved;
    ASSERT_EQ(ApplySecurityLevelOn(lOff, os, moved, a.Key.get()), S_OK);
    EXPECT_TRUE(BackupRecords().empty());
    a.Apply(lOff, os);
    EXPECT_EQ(a.Target(), DWordValue(original));
    EXPECT_FALSE(a.HasStore());
}

// ---- Internet Explorer options ----

struct TIECase {
    const char* what;
    std::function<void()> change;
    HRESULT result;
    TRawValue target;
};

TRawValue TextValue(const std::wstring& aText) {
    TRawValue value;
    value.type = REG_SZ;
    const BYTE* p = reinterpret_cast<const BYTE*>(aText.c_str());
    value.data.assign(p, p + (aText.size() + 1) * sizeof(wchar_t));
    return value;
}

// Ticking "TLS1.0" (bit 0x80) on a SecureProtocols of 0x20, with one thing changed per case.
TEST(SetIECryptoOption, ReadsTheDescriptorAndWritesOnlyAReadableDWordTarget) {
    const std::wstring tls10 = kCryptoKey + std::wstring(L"TLS1.0");
    const BYTE binary[4] = {0x20, 0, 0, 0};
    TRawValue binaryValue;
    binaryValue.type = REG_BINARY;
    binaryValue.data.assign(binary, binary + 4);
    const TIECase cases[] = {
        {"as installed", [] {}, S_OK, DWordValue(0xA0)},
        {"target REG_SZ", [] { WriteText(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, L"32"); }, E_FAIL,
         TextValue(L"32")},
        {"target REG_BINARY",
         [&] { WriteRaw(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, REG_BINARY, binary, 4); }, E_FAIL,
         binaryValue},
        {"target absent", [] { DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue); }, E_FAIL,
         TRawValue()},
        {"descriptor absent", [&] { DeleteRegKeyTree(HKEY_LOCAL_MACHINE, tls10, true); }, E_FAIL, DWordValue(0x20)},
        {"RegPath REG_DWORD", [&] { ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, tls10, L"RegPath", 1)); }, E_FAIL,
         DWordValue(0x20)},
        {"ValueName absent", [&] { DeleteRegValue(HKEY_LOCAL_MACHINE, tls10, L"ValueName"); }, E_FAIL,
         DWordValue(0x20)},
        {"HKeyRoot 0", [&] { ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, tls10, L"HKeyRoot", 0)); }, E_FAIL,
         DWordValue(0x20)},
        {"HKeyRoot not a root", [&] { ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, tls10, L"HKeyRoot", 0x12345)); },
         E_FAIL, DWordValue(0x20)},
        {"HKeyRoot performance data",
         [&] { ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, tls10, L"HKeyRoot", int(0x80000004u))); }, E_FAIL,
         DWordValue(0x20)},
        {"HKeyRoot REG_SZ", [&] { WriteText(HKEY_LOCAL_MACHINE, tls10, L"HKeyRoot", L"2147483649"); }, E_FAIL,
         DWordValue(0x20)},
        {"HKeyRoot HKLM, no target there",
         [&] { ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, tls10, L"HKeyRoot", int(0x80000002u))); }, E_FAIL,
         DWordValue(0x20)},
        // A mistyped bit pattern reads as 0: the option then already looks ticked; the value is rewritten as is.
        {"CheckedValue REG_SZ", [&] { WriteText(HKEY_LOCAL_MACHINE, tls10, L"CheckedValue", L"128"); }, S_OK,
         DWordValue(0x20)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TRegistrySandbox sandbox;
        InstallIEDescriptors();
        WriteTarget(0x20);
        c.change();
        EXPECT_EQ(SetIECryptoOption(saOn, L"TLS1.0"), c.result);
        EXPECT_EQ(Target(), c.target);
        EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, kIETargetPath, kIETargetValue), TRawValue());
    }
}

TEST(SetIECryptoOption, ATargetUnderTheMachineRootIsWrittenThere) {
    TRegistrySandbox sandbox;
    InstallIEDescriptors();
    const std::wstring ssl20 = kCryptoKey + std::wstring(L"SSL2.0");
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, ssl20, L"HKeyRoot", int(0x80000002u)));
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kIETargetPath, kIETargetValue, 0xA8));
    WriteTarget(0xA8);
    EXPECT_EQ(SetIECryptoOption(saOff, L"SSL2.0"), S_OK);
    EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, kIETargetPath, kIETargetValue), DWordValue(0xA0));
    EXPECT_EQ(Target(), DWordValue(0xA8));
}

TEST(SetIECryptoOption, AnEmptyNameReadsAndWritesNothing) {
    TRegistrySandbox sandbox;
    // A descriptor under the empty name would otherwise be the CRYPTO key itself.
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kCryptoKey, L"RegPath", kIETargetPath));
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kCryptoKey, L"ValueName", kIETargetValue));
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kCryptoKey, L"CheckedValue", 0x80));
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kCryptoKey, L"Mask", 0x80));
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kCryptoKey, L"HKeyRoot", int(0x80000001u)));
    WriteTarget(0x20);
    EXPECT_EQ(SetIECryptoOption(saOn, L""), S_OK);
    EXPECT_EQ(Target(), DWordValue(0x20));
}

} // namespace
