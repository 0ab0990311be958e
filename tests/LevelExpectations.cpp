#include "LevelExpectations.h"

#include "HandleU.h"
#include "RegistryU.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <cwchar>
#include <map>

const wchar_t kProtocolsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\";
const wchar_t kCiphersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Ciphers\\";
const wchar_t kCryptoKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";
const wchar_t kIETargetPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kIETargetValue[] = L"SecureProtocols";
const wchar_t kIEPolicyPath[] = L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

const TNamedOS kOSRecords[8] = {
    {"Windows 7", {6, 1, 7601, true}},
    {"Windows 8.1", {6, 3, 9600, true}},
    {"Windows 10 22H2", {10, 0, 19045, true}},
    {"Windows 11 23H2", {10, 0, 22631, true}},
    {"Server 2022", {10, 0, 20348, true, 0, true}},
    {"Windows 10 1607", {10, 0, 14393, true}},
    {"Windows 11 24H2 with ML-KEM", {10, 0, 26100, true, 8514, false, true}},
    {"Server 2025", {10, 0, 26100, true, 8514, true, true}},
};
const TNamedOS kMoreOSRecords[4] = {
    {"Windows 11 24H2 before ML-KEM", {10, 0, 26100, true, 8513, false, true}},
    {"Windows 11 25H2 without a CNG provider for ML-KEM", {10, 0, 26200, true, 9000, false, false}},
    {"Server 2016", {10, 0, 14393, true, 0, true}},
    {"Windows 11 26H2 with ML-KEM", {10, 0, 28000, true, 2173, false, true}},
};
const TOSVersion kWineWindows7 = {6, 1, 7601, true};
const TOSVersion kWineWindows10 = {10, 0, 18362, true};

// Defaults as an IE11-era machine has them: SSL 3.0, TLS 1.0, 1.1 and 1.2 ticked.
const TIEOptionRow kIEOptions[6] = {
    {L"SSL2.0", 0x8, 0},       {L"SSL3.0", 0x20, 0x20},   {L"TLS1.0", 0x80, 0x80},
    {L"TLS1.1", 0x200, 0x200}, {L"TLS1.2", 0x800, 0x800}, {L"TLS1.3", 0x2000, 0},
};

namespace {

// Which systems a row applies to, by the build the tables care about.
enum TWhen { wAll, wTls13, wBelowTls13, wWindows10, wBelowWindows10, wWindows10BelowTls13, wMlKem, wNever };

bool Applies(TWhen aWhen, const TOSVersion& anOS) {
    const bool tls13 = anOS.Major >= 10 && anOS.Build >= 20348;
    const bool w10 = anOS.Major >= 10 && anOS.Build >= 10240;
    // The builds Microsoft's page on TLS supported groups names, and a CNG that has ML-KEM.
    const DWORD b = anOS.Build, r = anOS.Revision;
    const bool mlKemBuild = anOS.IsServer
                                ? b >= 29550
                                : ((b == 26100 || b == 26200) && r >= 8514) || (b == 28000 && r >= 2173) || b > 28000;
    switch (aWhen) {
    case wMlKem:
        return anOS.Major >= 10 && mlKemBuild && anOS.MlKemProvider;
    case wAll:
        return true;
    case wTls13:
        return tls13;
    case wBelowTls13:
        return !tls13;
    case wWindows10:
        return w10;
    case wBelowWindows10:
        return !w10;
    case wWindows10BelowTls13:
        return w10 && !tls13;
    case wNever:
        break;
    }
    return false;
}

struct TRow {
    const wchar_t* key; // after "SYSTEM\CurrentControlSet\Control\SecurityProviders\SCHANNEL\" when it starts with "@"
    const wchar_t* value;
    TSettingKind kind;
    TWhen max;
    DWORD maxNumber;
    TWhen optimal;
    DWORD optimalNumber;
    const wchar_t* text = nullptr;
    TSwitchAction ie = saDefault;
    bool view64 = false;
};

#define P(name, side) L"@Protocols\\" name L"\\" side
#define OFF_BOTH(name)                                                                                                 \
    {P(name, L"Client"), L"Enabled", skDWord, wAll, 0, wAll, 0},                                                       \
        {P(name, L"Client"), L"DisabledByDefault", skDWord, wAll, 1, wAll, 1},                                         \
        {P(name, L"Server"), L"Enabled", skDWord, wAll, 0, wAll, 0}, {                                                 \
        P(name, L"Server"), L"DisabledByDefault", skDWord, wAll, 1, wAll, 1                                            \
    }
#define CIPHER_OFF(name)                                                                                               \
    { L"@Ciphers\\" name, L"Enabled", skDWord, wAll, 0, wAll, 0 }

const wchar_t kTls13Order[] = L"TLS_AES_256_GCM_SHA384,TLS_AES_128_GCM_SHA256,"
                              L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,"
                              L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
const wchar_t kTls12Order[] = L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,"
                              L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
const wchar_t kTls13OptimalOrder[] = L"TLS_AES_256_GCM_SHA384,TLS_AES_128_GCM_SHA256,"
                                     L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,"
                                     L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,"
                                     L"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256,"
                                     L"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384,TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256";
const wchar_t kTls12OptimalOrder[] = L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,"
                                     L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,"
                                     L"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256,"
                                     L"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384,TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256";
const wchar_t kGroupOrder[] = L"x25519_mlkem768,secp256r1_mlkem768,secp384r1_mlkem1024,curve25519,nistP256,nistP384";
const wchar_t kNet2[] = L"SOFTWARE\\Microsoft\\.NETFramework\\v2.0.50727";
const wchar_t kNet2Wow[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\.NETFramework\\v2.0.50727";
const wchar_t kNet4[] = L"SOFTWARE\\Microsoft\\.NETFramework\\v4.0.30319";
const wchar_t kNet4Wow[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\.NETFramework\\v4.0.30319";
const wchar_t kWinHttp[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp";
const wchar_t kWinHttpWow[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp";
const wchar_t kCrypto[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";
const wchar_t kOrder[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";

// The levels' tables, row by row, in write order. Cells: when Maximum / Optimal write the row, and
// what. An "on" cipher is "no value that disables it" (skNotDisabled).
const TRow kRows[] = {
    OFF_BOTH(L"Multi-Protocol Unified Hello"),
    OFF_BOTH(L"PCT 1.0"),
    OFF_BOTH(L"SSL 2.0"),
    OFF_BOTH(L"SSL 3.0"),
    // TLS 1.0 and 1.1: Optimal only stops offering them to clients; "Enabled" stays as Windows has
    // it, so builds that turned them off keep them off.
    {P(L"TLS 1.0", L"Client"), L"Enabled", skDWord, wAll, 0, wNever, 0},
    {P(L"TLS 1.0", L"Client"), L"DisabledByDefault", skDWord, wAll, 1, wAll, 1},
    {P(L"TLS 1.0", L"Server"), L"Enabled", skDWord, wAll, 0, wAll, 0},
    {P(L"TLS 1.0", L"Server"), L"DisabledByDefault", skDWord, wAll, 1, wAll, 1},
    {P(L"TLS 1.1", L"Client"), L"Enabled", skDWord, wAll, 0, wNever, 0},
    {P(L"TLS 1.1", L"Client"), L"DisabledByDefault", skDWord, wAll, 1, wAll, 1},
    {P(L"TLS 1.1", L"Server"), L"Enabled", skDWord, wAll, 0, wAll, 0},
    {P(L"TLS 1.1", L"Server"), L"DisabledByDefault", skDWord, wAll, 1, wAll, 1},
    {P(L"TLS 1.2", L"Client"), L"Enabled", skDWord, wAll, 1, wAll, 1},
    {P(L"TLS 1.2", L"Client"), L"DisabledByDefault", skDWord, wAll, 0, wAll, 0},
    {P(L"TLS 1.2", L"Server"), L"Enabled", skDWord, wAll, 1, wAll, 1},
    {P(L"TLS 1.2", L"Server"), L"DisabledByDefault", skDWord, wAll, 0, wAll, 0},
    {P(L"TLS 1.3", L"Client"), L"Enabled", skDWord, wTls13, 1, wNever, 0},
    {P(L"TLS 1.3", L"Client"), L"DisabledByDefault", skDWord, wTls13, 0, wNever, 0},
    {P(L"TLS 1.3", L"Server"), L"Enabled", skDWord, wTls13, 1, wNever, 0},
    {P(L"TLS 1.3", L"Server"), L"DisabledByDefault", skDWord, wTls13, 0, wNever, 0},
    {P(L"DTLS 1.0", L"Client"), L"Enabled", skDWord, wAll, 0, wNever, 0},
    {P(L"DTLS 1.0", L"Client"), L"DisabledByDefault", skDWord, wAll, 1, wNever, 0},
    {P(L"DTLS 1.0", L"Server"), L"Enabled", skDWord, wAll, 0, wNever, 0},
    {P(L"DTLS 1.0", L"Server"), L"DisabledByDefault", skDWord, wAll, 1, wNever, 0},
    CIPHER_OFF(L"NULL"),
    CIPHER_OFF(L"DES 56/56"),
    CIPHER_OFF(L"RC2 40/128"),
    CIPHER_OFF(L"RC2 56/128"),
    CIPHER_OFF(L"RC2 128/128"),
    CIPHER_OFF(L"RC4 40/128"),
    CIPHER_OFF(L"RC4 56/128"),
    CIPHER_OFF(L"RC4 64/128"),
    CIPHER_OFF(L"RC4 128/128"),
    CIPHER_OFF(L"Triple DES 168"),
    CIPHER_OFF(L"Triple DES 168/168"),
    {L"@Ciphers\\AES 128/128", L"Enabled", skNotDisabled, wAll, 0, wAll, 0},
    {L"@Ciphers\\AES 256/256", L"Enabled", skNotDisabled, wAll, 0, wAll, 0},
    {L"@Hashes\\MD5", L"Enabled", skDWord, wAll, 0, wAll, 0},
    {L"@KeyExchangeAlgorithms\\PKCS", L"ClientMinKeyBitLength", skDWord, wWindows10, 2048, wWindows10, 2048},
    {L"@KeyExchangeAlgorithms\\Diffie-Hellman", L"ServerMinKeyBitLength", skDWord, wWindows10, 3072, wWindows10, 2048},
    {L"@KeyExchangeAlgorithms\\Diffie-Hellman", L"ClientMinKeyBitLength", skDWord, wWindows10, 3072, wWindows10, 2048},
    {kOrder, L"Functions", skSuiteList, wTls13, 0, wNever, 0, kTls13Order},
    {kOrder, L"Functions", skSuiteList, wWindows10BelowTls13, 0, wNever, 0, kTls12Order},
    {kOrder, L"Functions", skSuiteList, wNever, 0, wTls13, 0, kTls13OptimalOrder},
    {kOrder, L"Functions", skSuiteList, wNever, 0, wWindows10BelowTls13, 0, kTls12OptimalOrder},
    {kOrder, L"EccCurves", skGroupList, wMlKem, 0, wNever, 0, kGroupOrder},
    {kNet2, L"SchUseStrongCrypto", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet2, L"SystemDefaultTlsVersions", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet2Wow, L"SchUseStrongCrypto", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet2Wow, L"SystemDefaultTlsVersions", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet4, L"SchUseStrongCrypto", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet4, L"SystemDefaultTlsVersions", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet4Wow, L"SchUseStrongCrypto", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kNet4Wow, L"SystemDefaultTlsVersions", skDWord, wAll, 1, wAll, 1, nullptr, saDefault, true},
    {kWinHttp, L"DefaultSecureProtocols", skDWord, wTls13, 0x2800, wNever, 0, nullptr, saDefault, true},
    {kWinHttp, L"DefaultSecureProtocols", skDWord, wBelowTls13, 0x800, wBelowWindows10, 0x800, nullptr, saDefault,
     true},
    {kWinHttpWow, L"DefaultSecureProtocols", skDWord, wTls13, 0x2800, wNever, 0, nullptr, saDefault, true},
    {kWinHttpWow, L"DefaultSecureProtocols", skDWord, wBelowTls13, 0x800, wBelowWindows10, 0x800, nullptr, saDefault,
     true},
    {L"TLS1.2", L"TLS1.2", skIEOption, wAll, 0, wAll, 0, nullptr, saOn},
    {L"TLS1.3", L"TLS1.3", skIEOption, wTls13, 0, wTls13, 0, nullptr, saOn},
    {L"SSL2.0", L"SSL2.0", skIEOption, wAll, 0, wAll, 0, nullptr, saOff},
    {L"SSL3.0", L"SSL3.0", skIEOption, wAll, 0, wAll, 0, nullptr, saOff},
    {L"TLS1.0", L"TLS1.0", skIEOption, wAll, 0, wAll, 0, nullptr, saOff},
    {L"TLS1.1", L"TLS1.1", skIEOption, wAll, 0, wAll, 0, nullptr, saOff},
};

#undef P
#undef OFF_BOTH
#undef CIPHER_OFF

// The trees a level may touch, and the backup of originals. Trees that name their view (both
// views' .NET and WinHTTP keys, the backup) are opened in the 64-bit view, as the program opens
// them, so a 32-bit test process reads them where a 64-bit one does; the others in the process's
// own view (SYSTEM and SOFTWARE\Policies are shared by both views, and the Internet Explorer
// descriptors are read from the program's own view).
struct TTouchedTree {
    const wchar_t* path;
    bool view64;
};
const TTouchedTree kTouchedTrees[] = {
    {L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders", false},
    {L"SOFTWARE\\Policies", false},
    {L"SOFTWARE\\Microsoft\\.NETFramework", true},
    {L"SOFTWARE\\WOW6432Node\\Microsoft\\.NETFramework", true},
    {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp", true},
    {L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp", true},
    {L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions", false},
    {L"SOFTWARE\\Quenvar", true},
    {L"SOFTWARE\\WOW6432Node\\Quenvar", true},
};

std::wstring Hex(const std::vector<BYTE>& aBytes) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (BYTE b : aBytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

bool IsWow6432(const std::wstring& aKey) {
    return aKey.find(L"WOW6432Node") != std::wstring::npos;
}

void SnapshotInto(HKEY aRoot, const std::wstring& aName, const std::wstring& aPath, REGSAM aView,
                  std::vector<std::wstring>& aLines) {
    TRegKey key;
    if (key.Open(aRoot, aPath, KEY_READ | aView) != ERROR_SUCCESS) {
        aLines.push_back(aName + aPath + L" (absent)");
        return;
    }
    aLines.push_back(aName + aPath);
    std::vector<std::pair<std::wstring, TRegValueData>> values;
    EXPECT_EQ(key.Values(values), ERROR_SUCCESS) << Narrow(aPath);
    for (const auto& [name, data] : values)
        aLines.push_back(aName + aPath + L" \"" + name + L"\" " + std::to_wstring(data.Type) + L" " + Hex(data.Bytes));
    DWORD subKeys = 0;
    RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    for (DWORD i = 0; i < subKeys; ++i) {
        wchar_t child[256];
        DWORD length = ARRAYSIZE(child);
        if (RegEnumKeyExW(key.Get(), i, child, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            SnapshotInto(aRoot, aName, (aPath.empty() ? L"" : aPath + L"\\") + std::wstring(child, length), aView,
                         aLines);
    }
}

std::wstring Joined(std::vector<std::wstring> aLines) {
    std::sort(aLines.begin(), aLines.end(),
              [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    std::wstring text;
    for (const auto& line : aLines)
        text += line + L"\n";
    return text;
}

} // namespace

std::vector<TExpectedValue> ExpectedLevelValues(TLevel aLevel, const TOSVersion& anOS) {
    std::vector<TExpectedValue> rows;
    if (aLevel != lOptimal && aLevel != lMax)
        return rows;
    for (const TRow& row : kRows) {
        const bool writes = Applies(aLevel == lMax ? row.max : row.optimal, anOS);
        if (!writes || (!anOS.Is64Bit && IsWow6432(row.key)))
            continue;
        std::wstring key = row.key;
        if (key[0] == L'@')
            key = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\" + key.substr(1);
        else if (row.kind == skIEOption)
            key = kCrypto + key;
        // Text rows carry the text of the level that writes them.
        const wchar_t* text = row.text ? row.text : L"";
        rows.push_back(
            {key, row.value, row.kind, aLevel == lMax ? row.maxNumber : row.optimalNumber, text, row.ie, row.view64});
    }
    return rows;
}

std::wstring DescribeRow(const TExpectedValue& aRow) {
    std::wstring text = aRow.key + L" \"" + aRow.value + L"\" kind " + std::to_wstring(aRow.kind);
    if (aRow.kind == skDWord)
        text += L" = " + std::to_wstring(aRow.number);
    if (aRow.kind == skString || aRow.kind == skSuiteList || aRow.kind == skGroupList)
        text += L" = \"" + aRow.text + L"\"";
    if (aRow.kind == skIEOption)
        text += L" action " + std::to_wstring(aRow.ie);
    if (aRow.view64)
        text += L" (64-bit view)";
    return text;
}

std::wstring DescribePlanned(const TPlannedSetting& aSetting) {
    return DescribeRow({aSetting.Key, aSetting.Value, aSetting.Kind, aSetting.Number, aSetting.Text, aSetting.IEAction,
                        aSetting.View64});
}

TRegValueData RegData(DWORD aType, const void* aBytes, size_t aSize) {
    TRegValueData value;
    value.Present = true;
    value.Type = aType;
    value.Bytes.assign(static_cast<const BYTE*>(aBytes), static_cast<const BYTE*>(aBytes) + aSize);
    return value;
}

void ExpectMachineAtLevel(TLevel aLevel, const TOSVersion& anOS, DWORD anOtherBits) {
    DWORD ieBits = 0;
    for (const auto& option : kIEOptions)
        ieBits |= option.defaultValue;
    for (const TExpectedValue& row : ExpectedLevelValues(aLevel, anOS)) {
        if (row.kind == skIEOption) {
            for (const auto& option : kIEOptions)
                if (row.value == option.name)
                    ieBits = row.ie == saOn ? ieBits | option.bit : ieBits & ~option.bit;
            continue;
        }
        TRegKey key;
        TRegValueData data;
        const bool open = key.Open(HKEY_LOCAL_MACHINE, row.key, KEY_READ | ViewAccess(row.view64)) == ERROR_SUCCESS;
        if (open) {
            EXPECT_EQ(key.Read(row.value, data), ERROR_SUCCESS);
        }
        DWORD number = 0;
        switch (row.kind) {
        case skDWord:
            EXPECT_TRUE(RegDWordOf(data, number) && number == row.number) << Narrow(DescribeRow(row));
            break;
        case skGroupList: {
            std::wstring multi = row.text;
            std::replace(multi.begin(), multi.end(), L',', L'\0');
            multi.append(2, L'\0');
            EXPECT_TRUE(data.Present && data.Type == REG_MULTI_SZ &&
                        std::wstring(reinterpret_cast<const wchar_t*>(data.Bytes.data()),
                                     data.Bytes.size() / sizeof(wchar_t)) == multi)
                << Narrow(DescribeRow(row));
            break;
        }
        case skString:
        case skSuiteList:
            EXPECT_TRUE(data.Present && data.Type == REG_SZ &&
                        std::wstring(reinterpret_cast<const wchar_t*>(data.Bytes.data()),
                                     data.Bytes.size() / sizeof(wchar_t)) == row.text + L'\0')
                << Narrow(DescribeRow(row));
            break;
        case skNotDisabled:
            EXPECT_TRUE(!data.Present || (RegDWordOf(data, number) && number == 0xFFFFFFFFu))
                << Narrow(DescribeRow(row));
            break;
        case skIEOption:
            break;
        }
    }
    int target = 0;
    EXPECT_TRUE(ReadRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, target));
    EXPECT_EQ(static_cast<DWORD>(target), anOtherBits | ieBits) << std::hex << target;
}

void InstallIEDescriptors(bool aWithTls13) {
    for (const auto& option : kIEOptions) {
        if (!aWithTls13 && std::wstring(option.name) == L"TLS1.3")
            continue;
        const std::wstring key = kCryptoKey + std::wstring(option.name);
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key, L"RegPath", kIETargetPath));
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key, L"ValueName", kIETargetValue));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"CheckedValue", static_cast<int>(option.bit)));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"UncheckedValue", 0));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"DefaultValue", static_cast<int>(option.defaultValue)));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"Mask", static_cast<int>(option.bit)));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"HKeyRoot", static_cast<int>(0x80000001u)));
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key, L"RegPoliciesPath", kIEPolicyPath));
    }
}

std::wstring SnapshotTouchedTrees() {
    std::vector<std::wstring> lines;
    for (const TTouchedTree& tree : kTouchedTrees)
        SnapshotInto(HKEY_LOCAL_MACHINE, L"HKLM\\", tree.path, ViewAccess(tree.view64), lines);
    // Only the one value of the user's Internet Settings: WinINet in other processes writes the rest.
    TRegKey user;
    TRegValueData target;
    if (user.Open(HKEY_CURRENT_USER, kIETargetPath, KEY_READ) == ERROR_SUCCESS &&
        user.Read(kIETargetValue, target) == ERROR_SUCCESS)
        lines.push_back(L"HKCU SecureProtocols " + std::to_wstring(target.Present) + L" " +
                        std::to_wstring(target.Type) + L" " + Hex(target.Bytes));
    return Joined(std::move(lines));
}

std::string SnapshotDifference(const std::wstring& anAfter, const std::wstring& aBefore) {
    const auto lines = [](const std::wstring& aText) {
        std::vector<std::wstring> result;
        for (size_t start = 0; start < aText.size();) {
            const size_t end = aText.find(L'\n', start);
            result.push_back(aText.substr(start, end - start));
            start = end == std::wstring::npos ? aText.size() : end + 1;
        }
        std::sort(result.begin(), result.end());
        return result;
    };
    const std::vector<std::wstring> after = lines(anAfter), before = lines(aBefore);
    std::vector<std::wstring> added, removed;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(removed));
    std::string text;
    int shown = 0;
    for (const auto& line : removed)
        if (shown++ < 20)
            text += "- " + Narrow(line.substr(0, 200)) + "\n";
    for (const auto& line : added)
        if (shown++ < 20)
            text += "+ " + Narrow(line.substr(0, 200)) + "\n";
    return text;
}

std::wstring SnapshotTree(HKEY aRoot, const std::wstring& aPath) {
    std::vector<std::wstring> lines;
    SnapshotInto(aRoot, L"", aPath, 0, lines);
    return Joined(std::move(lines));
}

namespace {

void WriteRawValue(const std::wstring& aPath, const wchar_t* aName, DWORD aType, const void* aData, DWORD aSize,
                   bool aView64 = false) {
    TRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, aPath, KEY_SET_VALUE | ViewAccess(aView64), REG_OPTION_NON_VOLATILE),
              ERROR_SUCCESS)
        << Narrow(aPath);
    ASSERT_EQ(key.Write(aName, aType, aData, aSize), ERROR_SUCCESS) << Narrow(aPath);
}

} // namespace

TLevelStateGuard::TLevelStateGuard() : FSecureProtocols(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue) {
    for (const TTouchedTree& tree : kTouchedTrees)
        FTrees.push_back(std::make_unique<TKeyTreeGuard>(HKEY_LOCAL_MACHINE, tree.path, ViewAccess(tree.view64)));
    FTrees.push_back(std::make_unique<TKeyTreeGuard>(HKEY_LOCAL_MACHINE, kRestartPendingKey, ViewAccess(true)));
}

void TLevelStateGuard::Prepare() {
    InstallIEDescriptors();
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, static_cast<int>(kForeignBit | 0xA8)));
}

void WriteAdministratorValues() {
    const DWORD one = 1, zero = 0, winHttp = 0xA80;
    const std::wstring protocols = kProtocolsKey, ciphers = kCiphersKey;
    WriteRawValue(protocols + L"TLS 1.0\\Client", L"Enabled", REG_DWORD, &one, 4);
    WriteRawValue(protocols + L"SSL 3.0\\Server", L"Enabled", REG_SZ, L"0", 4);
    WriteRawValue(protocols + L"TLS 1.2\\Client", L"Unrelated", REG_DWORD, &one, 4);
    WriteRawValue(ciphers + L"RC4 128/128", L"Enabled", REG_DWORD, &zero, 4);
    WriteRawValue(ciphers + L"AES 128/128", L"Enabled", REG_SZ, L"1", 4);
    WriteRawValue(ciphers + L"AES 256/256", L"Enabled", REG_DWORD, &zero, 4);
    for (const wchar_t* key : {L"SOFTWARE\\Microsoft\\.NETFramework\\v4.0.30319",
                               L"SOFTWARE\\WOW6432Node\\Microsoft\\.NETFramework\\v4.0.30319"}) {
        WriteRawValue(key, L"SchUseStrongCrypto", REG_DWORD, &zero, 4, true);
        WriteRawValue(key, L"SystemDefaultTlsVersions", REG_DWORD, &zero, 4, true);
    }
    WriteRawValue(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp",
                  L"DefaultSecureProtocols", REG_DWORD, &winHttp, 4, true);
    WriteRawValue(L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp",
                  L"DefaultSecureProtocols", REG_BINARY, &winHttp, 4, true);
    const wchar_t functions[] = L"TLS_RSA_WITH_AES_128_CBC_SHA\0";
    WriteRawValue(kOrder, L"Functions", REG_MULTI_SZ, functions, sizeof(functions));
    // As Group Policy writes the group order.
    const wchar_t groups[] = L"NistP384\0NistP256\0";
    WriteRawValue(kOrder, L"EccCurves", REG_MULTI_SZ, groups, sizeof(groups));
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, 0xA0));
}

void WriteMalformedOrders() {
    const wchar_t functions[] = {L'T', L'L', L'S', L'_', L'X'};
    WriteRawValue(kOrder, L"Functions", REG_SZ, functions, sizeof(functions));
    const wchar_t groups[] = {L'n', L'i', L's', L't', L'P', L'3', L'8', L'4', 0, L'c', L'u'};
    WriteRawValue(kOrder, L"EccCurves", REG_MULTI_SZ, groups, sizeof(groups));
}

void WriteStrayTls13Key() {
    const DWORD one = 1;
    WriteRawValue(kProtocolsKey + std::wstring(L"TLS 1.3\\Client"), L"Enabled", REG_DWORD, &one, 4);
}

namespace {
const wchar_t kWineAppDefaults[] = L"Software\\Wine\\AppDefaults\\Quenvar.exe";
}

TWineVersionForQuenvar::TWineVersionForQuenvar(const wchar_t* aVersion) {
    if (aVersion) {
        EXPECT_TRUE(WriteRegString(HKEY_CURRENT_USER, kWineAppDefaults, L"Version", aVersion));
    }
}

TWineVersionForQuenvar::~TWineVersionForQuenvar() {
    DeleteRegKeyTree(HKEY_CURRENT_USER, kWineAppDefaults, true);
}

std::string Narrow(const std::wstring& aText) {
    std::string text;
    for (wchar_t c : aText)
        text += c < 0x80 ? static_cast<char>(c) : '?';
    return text;
}
