// Security levels against a sandboxed registry: the whole state each level leaves, the SCHANNEL
// and Internet Explorer switches one by one, and how failures end a loop.
#include "LevelExpectations.h"
#include "QVSettings.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>

namespace {

const wchar_t kVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

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

// Creates aPath (and every missing key above it) as volatile keys: below a volatile key the
// registry refuses to create the non-volatile keys the switch routines write.
void CreateVolatileKey(HKEY aRoot, const std::wstring& aPath) {
    TUniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(aRoot, aPath.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
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

const TLevel kLevels[] = {lOff, lOptimal, lMax};

// ---- the plan: write order and list membership ----

std::vector<std::wstring> Flatten(const std::vector<TSwitchLoop>& aPlan, TSwitchKind aKind, TSwitchAction anAction) {
    for (const auto& loop : aPlan)
        if (loop.kind == aKind && loop.action == anAction)
            return loop.names;
    ADD_FAILURE() << "no loop for kind " << int(aKind) << " action " << int(anAction);
    return {};
}

TEST(SecurityLevelPlan, MaximumWritesInTheDocumentedOrder) {
    const auto plan = SecurityLevelPlan(lMax, true);
    const std::pair<TSwitchKind, TSwitchAction> order[] = {
        {skProtocol, saOn}, {skProtocol, saOff}, {skCipher, saOn},       {skCipher, saOff},
        {skIEOption, saOn}, {skIEOption, saOff}, {skIEOption, saDefault}};
    ASSERT_EQ(plan.size(), std::size(order));
    for (size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].kind, order[i].first) << i;
        EXPECT_EQ(plan[i].action, order[i].second) << i;
    }
    using N = std::vector<std::wstring>;
    EXPECT_EQ(plan[0].names, (N{L"SSL 3.0", L"TLS 1.0", L"TLS 1.1", L"TLS 1.2"}));
    EXPECT_EQ(plan[1].names, (N{L"Multi-Protocol Unified Hello", L"PCT 1.0", L"SSL 2.0"}));
    EXPECT_EQ(plan[2].names, (N{L"RC4 128/128", L"Triple DES 168/168", L"AES 128/128", L"AES 256/256"}));
    EXPECT_EQ(plan[3].names, (N{L"DES 56/56", L"NULL", L"RC2 128/128", L"RC2 40/128", L"RC2 56/128", L"RC4 40/128",
                                L"RC4 56/128", L"RC4 64/128"}));
    EXPECT_EQ(plan[4].names, (N{L"SSL3.0", L"TLS1.0", L"TLS1.1", L"TLS1.2"}));
    EXPECT_EQ(plan[5].names, (N{L"SSL2.0"}));
    EXPECT_TRUE(plan[6].names.empty());
}

TEST(SecurityLevelPlan, OffSwitchesOffOnlySsl2AndNullAndOnOlderSystemsTls11And12) {
    using N = std::vector<std::wstring>;
    for (bool atLeast63 : {true, false}) {
        const auto plan = SecurityLevelPlan(lOff, atLeast63);
        EXPECT_EQ(Flatten(plan, skProtocol, saOff),
                  atLeast63 ? N{L"SSL 2.0"} : (N{L"SSL 2.0", L"TLS 1.1", L"TLS 1.2"}));
        EXPECT_EQ(Flatten(plan, skCipher, saOff), N{L"NULL"});
        EXPECT_TRUE(Flatten(plan, skIEOption, saOn).empty());
        EXPECT_TRUE(Flatten(plan, skIEOption, saOff).empty());
        EXPECT_EQ(Flatten(plan, skIEOption, saDefault), (N{L"SSL2.0", L"SSL3.0", L"TLS1.0", L"TLS1.1", L"TLS1.2"}));
    }
    // The version only matters for lOff.
    for (TLevel level : {lOptimal, lMax})
        EXPECT_EQ(Flatten(SecurityLevelPlan(level, true), skProtocol, saOn),
                  Flatten(SecurityLevelPlan(level, false), skProtocol, saOn));
}

TEST(SecurityLevelPlan, OptimalAndMaximumTickAndUntickTheSameOptions) {
    for (TSwitchAction action : {saOn, saOff, saDefault})
        EXPECT_EQ(Flatten(SecurityLevelPlan(lOptimal, true), skIEOption, action),
                  Flatten(SecurityLevelPlan(lMax, true), skIEOption, action));
}

TEST(SecurityLevelPlan, LevelsOutsideTheRangeHaveNoLoops) {
    for (int level : {3, 4, 127, 128, 255})
        EXPECT_TRUE(SecurityLevelPlan(static_cast<TLevel>(level), true).empty()) << level;
}

// ---- whole machine state per level ----

void PrepareMachine(const wchar_t* aVersion) {
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", aVersion));
    InstallIEDescriptors();
}

TEST(ApplySecurityLevel, EveryLevelLeavesTheStateOfItsTablesFromAnEmptyAndFromTheOppositeState) {
    struct TCase {
        TLevel level;
        const wchar_t* version;
        bool fromOpposite;
    };
    std::vector<TCase> cases;
    for (TLevel level : kLevels)
        for (const wchar_t* version : {L"6.1", L"6.3"})
            for (bool opposite : {false, true})
                cases.push_back({level, version, opposite});
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << ", CurrentVersion " << Narrow(c.version)
                                        << (c.fromOpposite ? ", from the opposite state" : ", from an empty tree"));
        TRegistrySandbox sandbox;
        PrepareMachine(c.version);
        const bool atLeast63 = std::wstring(c.version) == L"6.3";
        if (c.fromOpposite)
            WriteOppositeState(c.level, atLeast63);
        else
            WriteTarget(kForeignBit | 0xA0);
        EXPECT_EQ(ApplySecurityLevel(c.level), S_OK);
        ExpectLevelState(ReadLevelState(), c.level, atLeast63, kForeignBit);
    }
}

TEST(ApplySecurityLevel, ApplyingALevelTwiceLeavesTheSameStateAsOnce) {
    for (TLevel level : kLevels) {
        SCOPED_TRACE(int(level));
        TRegistrySandbox sandbox;
        PrepareMachine(L"6.3");
        WriteOppositeState(level, true);
        ASSERT_EQ(ApplySecurityLevel(level), S_OK);
        const TLevelState once = ReadLevelState();
        ASSERT_EQ(ApplySecurityLevel(level), S_OK);
        EXPECT_EQ(ReadLevelState(), once);
    }
}

TEST(ApplySecurityLevel, OptimalAndMaximumLeaveTheSameInternetExplorerOptions) {
    std::optional<DWORD> results[2];
    for (int i = 0; i < 2; ++i) {
        TRegistrySandbox sandbox;
        PrepareMachine(L"6.1");
        WriteTarget(kForeignBit | 0x8 | 0x80);
        ASSERT_EQ(ApplySecurityLevel(i == 0 ? lOptimal : lMax), S_OK);
        results[i] = ReadLevelState().secureProtocols;
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], std::optional<DWORD>(kForeignBit | 0x20 | 0x80 | 0x200 | 0x800));
}

TEST(ApplySecurityLevel, ALevelOutsideTheRangeWritesNothing) {
    for (int level : {3, 200, 255}) {
        TRegistrySandbox sandbox;
        PrepareMachine(L"6.3");
        WriteTarget(0xA8);
        EXPECT_EQ(ApplySecurityLevel(static_cast<TLevel>(level)), S_OK) << level;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProtocolsKey)) << level;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kCiphersKey)) << level;
        EXPECT_EQ(Target(), DWordValue(0xA8)) << level;
    }
}

// A bad "CurrentVersion" is read as "older than 6.3": TLS 1.1 and 1.2 are switched off.
TEST(ApplySecurityLevel, OffTreatsAnUnreadableVersionAsOlderThan63) {
    const std::function<void()> versions[] = {
        [] { WriteText(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", L""); },
        [] { WriteText(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", L"6"); },
        [] { WriteText(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", L"x.3"); },
        [] { ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", 63)); },
        [] {},
    };
    for (size_t i = 0; i < std::size(versions); ++i) {
        SCOPED_TRACE(i);
        TRegistrySandbox sandbox;
        InstallIEDescriptors();
        versions[i]();
        WriteTarget(0);
        ASSERT_EQ(ApplySecurityLevel(lOff), S_OK);
        ExpectLevelState(ReadLevelState(), lOff, false, 0);
    }
    TRegistrySandbox sandbox;
    InstallIEDescriptors();
    WriteText(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", L" 6.3 ");
    WriteTarget(0);
    ASSERT_EQ(ApplySecurityLevel(lOff), S_OK);
    ExpectLevelState(ReadLevelState(), lOff, true, 0);
}

// ---- SCHANNEL switches ----

struct TSchannelCase {
    const char* what;
    TSwitchAction action;
    std::function<void(const std::wstring& aClient, const std::wstring& aServer)> setup;
    int client;
    int server;
};

TEST(SetProtocolState, DerivesTheValueFromTheClientAndCopiesItToTheServer) {
    const std::wstring name = L"TLS 1.0";
    auto dword = [](int aClient, std::optional<int> aServer) {
        return [=](const std::wstring& aClientKey, const std::wstring& aServerKey) {
            ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, aClientKey, L"Enabled", aClient));
            if (aServer) {
                ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, aServerKey, L"Enabled", *aServer));
            }
        };
    };
    const TSchannelCase cases[] = {
        {"on, nothing there", saOn, [](const std::wstring&, const std::wstring&) {}, -1, -1},
        {"off, nothing there", saOff, [](const std::wstring&, const std::wstring&) {}, 0, 0},
        {"off, client 1", saOff, dword(1, -1), 1, 1},
        {"off, client -1", saOff, dword(-1, 1), 0, 0},
        {"off, client 0", saOff, dword(0, -1), 0, 0},
        {"on, client already -1", saOn, dword(-1, 0), -1, -1},
        {"on, client 7", saOn, dword(7, 7), -1, -1},
        {"off, client REG_SZ \"-1\"", saOff,
         [](const std::wstring& aClient, const std::wstring&) {
             WriteText(HKEY_LOCAL_MACHINE, aClient, L"Enabled", L"-1");
         },
         0, 0},
        {"on, client REG_SZ", saOn,
         [](const std::wstring& aClient, const std::wstring&) {
             WriteText(HKEY_LOCAL_MACHINE, aClient, L"Enabled", L"0");
         },
         -1, -1},
        {"off, client REG_BINARY ff ff ff ff", saOff,
         [](const std::wstring& aClient, const std::wstring&) {
             const BYTE bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
             WriteRaw(HKEY_LOCAL_MACHINE, aClient, L"Enabled", REG_BINARY, bytes, 4);
         },
         0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TRegistrySandbox sandbox;
        const std::wstring client = Protocol(name, L"Client");
        const std::wstring server = Protocol(name, L"Server");
        c.setup(client, server);
        EXPECT_EQ(SetProtocolState(c.action, name), S_OK);
        EXPECT_EQ(ReadSwitch(client), (TSwitchState{c.client, 1}));
        EXPECT_EQ(ReadSwitch(server), (TSwitchState{c.server, 1}));
        EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, client, L"Enabled"), DWordValue(static_cast<DWORD>(c.client)));
    }
}

TEST(SetCipherState, SwitchesTheOneKeyNamedWithItsSlash) {
    struct TCase {
        TSwitchAction action;
        std::optional<int> before;
        int after;
    } const cases[] = {{saOn, {}, -1}, {saOff, {}, 0}, {saOff, -1, 0}, {saOff, 1, 1}, {saOn, 0, -1}};
    for (const auto& c : cases) {
        TRegistrySandbox sandbox;
        if (c.before) {
            ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, Cipher(L"Triple DES 168/168"), L"Enabled", *c.before));
        }
        EXPECT_EQ(SetCipherState(c.action, L"Triple DES 168/168"), S_OK);
        EXPECT_EQ(ReadSwitch(Cipher(L"Triple DES 168/168")), (TSwitchState{c.after, 1}));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Cipher(L"Triple DES 168")));

        // The key is a direct child of Ciphers: it is the only one there.
        TUniqueHKey ciphers;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCiphersKey, 0, KEY_READ, ciphers.put()), ERROR_SUCCESS);
        wchar_t child[256];
        DWORD length = 256;
        ASSERT_EQ(RegEnumKeyExW(ciphers.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(child, length), L"Triple DES 168/168");
        length = 256;
        EXPECT_EQ(RegEnumKeyExW(ciphers.get(), 1, child, &length, nullptr, nullptr, nullptr, nullptr),
                  ERROR_NO_MORE_ITEMS);
    }
}

TEST(SchannelSwitches, AnEmptyNameTouchesNothing) {
    TRegistrySandbox sandbox;
    EXPECT_EQ(SetProtocolState(saOn, L""), S_OK);
    EXPECT_EQ(SetCipherState(saOff, L""), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM"));
}

TEST(SchannelSwitches, AFailingWriteGivesEFailAndAFailingClientWriteLeavesTheServerAlone) {
    TRegistrySandbox sandbox;
    // "TLS 1.0" and its Server key are volatile, so the non-volatile Client key cannot be created.
    CreateVolatileKey(HKEY_LOCAL_MACHINE, Protocol(L"TLS 1.0", L"Server"));
    {
        TUniqueHKey server;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, Protocol(L"TLS 1.0", L"Server").c_str(), 0, KEY_SET_VALUE, server.put()),
            ERROR_SUCCESS);
        const DWORD five = 5;
        ASSERT_EQ(RegSetValueExW(server.get(), L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&five), 4),
                  ERROR_SUCCESS);
    }
    for (TSwitchAction action : {saOn, saOff}) {
        EXPECT_EQ(SetProtocolState(action, L"TLS 1.0"), E_FAIL);
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Protocol(L"TLS 1.0", L"Client")));
        EXPECT_EQ(ReadSwitch(Protocol(L"TLS 1.0", L"Server")), (TSwitchState{5, 1}));
    }
    CreateVolatileKey(HKEY_LOCAL_MACHINE, kCiphersKey);
    EXPECT_EQ(SetCipherState(saOn, L"NULL"), E_FAIL);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Cipher(L"NULL")));
}

// ---- Internet Explorer options ----

TEST(IECryptoOptionValue, BitArithmeticOfTickUntickAndDefault) {
    struct TCase {
        TSwitchAction action;
        DWORD checked, mask, unchecked, byDefault;
        DWORD current, expected;
    } const cases[] = {
        // One bit, 0x80: the ticked, unticked and default transitions.
        {saOn, 0x80, 0x80, 0, 0, 0xA0, 0xA0},
        {saOff, 0x80, 0x80, 0, 0, 0xA0, 0x20},
        {saDefault, 0x80, 0x80, 0, 0, 0xA0, 0x20},
        {saOn, 0x80, 0x80, 0, 0, 0x20, 0xA0},
        {saOff, 0x80, 0x80, 0, 0, 0x20, 0x20},
        {saDefault, 0x80, 0x80, 0, 0x80, 0x20, 0xA0},
        {saDefault, 0x80, 0x80, 0, 0x80, 0xA0, 0xA0},
        {saDefault, 0x80, 0x80, 0, 0, 0x20, 0x20},
        {saOn, 0x80, 0x80, 0, 0, 0, 0x80},
        {saOff, 0x80, 0x80, 0, 0, 0xFFFFFFFF, 0xFFFFFF7F},
        // The highest bit: no sign trouble.
        {saOn, 0x80000000, 0x80000000, 0, 0, 0x1, 0x80000001},
        {saOff, 0x80000000, 0x80000000, 0, 0, 0xFFFFFFFF, 0x7FFFFFFF},
        {saDefault, 0x80000000, 0x80000000, 0, 0x80000000, 0, 0x80000000},
        // Two-bit option 0x30 (ticked 0x10, unticked 0x20): the arithmetic as defined, bit by bit.
        {saOn, 0x10, 0x30, 0x20, 0, 0x20, 0x30},
        {saOn, 0x10, 0x30, 0x20, 0, 0x10, 0x10},
        {saOff, 0x10, 0x30, 0x20, 0, 0x10, 0x00},
        {saOff, 0x10, 0x30, 0x20, 0, 0x20, 0x20},
        {saDefault, 0x10, 0x30, 0x20, 0x30, 0x10, 0x30},
        {saDefault, 0x10, 0x30, 0x20, 0x30, 0x20, 0x30},
        {saDefault, 0x10, 0x30, 0x20, 0x00, 0x30, 0x30},
        {saDefault, 0x10, 0x30, 0x20, 0x00, 0x1010, 0x1000},
        // An action the routine does not know leaves the value alone.
        {static_cast<TSwitchAction>(3), 0x80, 0x80, 0, 0, 0x20, 0x20},
    };
    for (const auto& c : cases) {
        TIECryptoDescriptor d;
        d.CheckedValue = c.checked;
        d.Mask = c.mask;
        d.UncheckedValue = c.unchecked;
        d.DefaultValue = c.byDefault;
        EXPECT_EQ(IECryptoOptionValue(c.action, d, c.current), c.expected)
            << "action " << int(c.action) << ", checked 0x" << std::hex << c.checked << ", mask 0x" << c.mask
            << ", default 0x" << c.byDefault << ", current 0x" << c.current;
    }
}

TEST(IECryptoRoot, OnlyPredefinedRootNumbersNameARoot) {
    const std::pair<DWORD, HKEY> cases[] = {
        {0x80000000, HKEY_CLASSES_ROOT},
        {0x80000001, HKEY_CURRENT_USER},
        {0x80000002, HKEY_LOCAL_MACHINE},
        {0x80000003, HKEY_USERS},
        {0x80000005, HKEY_CURRENT_CONFIG},
        {0x80000004, nullptr},
        {0x80000006, nullptr},
        {0x80000007, nullptr},
        {0, nullptr},
        {1, nullptr},
        {0x7FFFFFFF, nullptr},
        {0xFFFFFFFF, nullptr},
        {0x00000001, nullptr},
        {0x12345678, nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IECryptoRoot(c.first), c.second) << std::hex << c.first;
}

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

// ---- failures inside a level's loops ----

// "TLS 1.1" cannot be written (a volatile key) and the "TLS1.1" option has no descriptor: each
// ends its own loop, and every later loop still writes.
TEST(ApplySecurityLevel, AFailureEndsOnlyItsOwnLoop) {
    TRegistrySandbox sandbox;
    PrepareMachine(L"6.3");
    {
        TUniqueHKey protocols;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProtocolsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  protocols.put(), nullptr),
                  ERROR_SUCCESS);
    }
    CreateVolatileKey(HKEY_LOCAL_MACHINE, kProtocolsKey + std::wstring(L"TLS 1.1"));
    DeleteRegKeyTree(HKEY_LOCAL_MACHINE, kCryptoKey + std::wstring(L"TLS1.1"), true);
    WriteTarget(kForeignBit | 0x8);

    EXPECT_EQ(ApplySecurityLevel(lMax), S_OK);

    for (const wchar_t* on : {L"SSL 3.0", L"TLS 1.0"}) {
        EXPECT_EQ(ReadSwitch(Protocol(on, L"Client")), (TSwitchState{-1, 1})) << Narrow(on);
        EXPECT_EQ(ReadSwitch(Protocol(on, L"Server")), (TSwitchState{-1, 1})) << Narrow(on);
    }
    // After the failing name nothing of the switch-on list is touched, and it is not switched off either.
    for (const wchar_t* untouched : {L"TLS 1.1", L"TLS 1.2"}) {
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Protocol(untouched, L"Client"))) << Narrow(untouched);
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Protocol(untouched, L"Server"))) << Narrow(untouched);
    }
    for (const wchar_t* off : {L"Multi-Protocol Unified Hello", L"PCT 1.0", L"SSL 2.0"}) {
        EXPECT_EQ(ReadSwitch(Protocol(off, L"Client")), (TSwitchState{0, 1})) << Narrow(off);
        EXPECT_EQ(ReadSwitch(Protocol(off, L"Server")), (TSwitchState{0, 1})) << Narrow(off);
    }
    const TLevelState state = ReadLevelState();
    for (size_t i = 0; i < std::size(kExpectedCiphers); ++i)
        EXPECT_EQ(state.ciphers[i], (TSwitchState{ExpectedCipherOn(kExpectedCiphers[i], lMax) ? -1 : 0, 1}))
            << Narrow(kExpectedCiphers[i].name);
    // SSL3.0 and TLS1.0 ticked, TLS1.2 not reached, SSL2.0 unticked by the next loop.
    EXPECT_EQ(Target(), DWordValue(kForeignBit | 0x20 | 0x80));
}

// With a machine hive in which nothing can be created, each SCHANNEL loop stops at once, while the
// options whose target lies in the user's hive are still set.
TEST(ApplySecurityLevel, WithoutWritableMachineKeysOnlyTheUserOptionsChange) {
    TRegistrySandbox sandbox;
    TUniqueHKey machine;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"VolatileMachine", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, machine.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.get()), ERROR_SUCCESS);
    for (const auto& option : kIEOptions)
        CreateVolatileKey(HKEY_LOCAL_MACHINE, kCryptoKey + std::wstring(option.name));
    InstallIEDescriptors();
    WriteTarget(kForeignBit | 0x8);

    EXPECT_EQ(ApplySecurityLevel(lOptimal), S_OK);

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM"));
    EXPECT_EQ(Target(), DWordValue(kForeignBit | 0x20 | 0x80 | 0x200 | 0x800));
}

} // namespace
