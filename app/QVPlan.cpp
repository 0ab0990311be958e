#include "QVPlan.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

const wchar_t kSchannelKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL";
const wchar_t kSchannelProtocolsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\";
const wchar_t kSchannelCiphersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Ciphers\\";
const wchar_t kIECryptoKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";
const wchar_t kEnabledValue[] = L"Enabled";
const wchar_t kDisabledByDefaultValue[] = L"DisabledByDefault";
const wchar_t kIETls13Option[] = L"TLS1.3";
const wchar_t kSuiteOrderKey[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";
const wchar_t kSuiteOrderValue[] = L"Functions";
const wchar_t kGroupOrderValue[] = L"EccCurves";

namespace {

// ---- The policy, all in one place ---------------------------------------------------------------

const wchar_t kHashesKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Hashes\\";
const wchar_t kKeyExchangeKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\KeyExchangeAlgorithms\\";

// What a level writes for one side (Client or Server) of a protocol.
enum TProtocolState : std::uint8_t {
    psNone, // not written
    psOff,  // Enabled 0, DisabledByDefault 1
    psOn,   // Enabled 1, DisabledByDefault 0
    // DisabledByDefault 1 only: not offered, but an application that asks for it may use it where
    // Windows still has it on. "Enabled" stays as Windows has it: writing 1 there is the documented
    // way to bring TLS 1.0 and 1.1 back on builds that turned them off.
    psNotOffered,
};

enum TGate : std::uint8_t { gAll, gTls13, gWindows10 };

struct TProtocolRow {
    const wchar_t* name;
    TGate gate;
    TProtocolState maxClient, maxServer, optimalClient, optimalServer;
};

const TProtocolRow kProtocols[] = {
    {L"Multi-Protocol Unified Hello", gAll, psOff, psOff, psOff, psOff},
    {L"PCT 1.0", gAll, psOff, psOff, psOff, psOff},
    {L"SSL 2.0", gAll, psOff, psOff, psOff, psOff},
    {L"SSL 3.0", gAll, psOff, psOff, psOff, psOff},
    {L"TLS 1.0", gAll, psOff, psOff, psNotOffered, psOff},
    {L"TLS 1.1", gAll, psOff, psOff, psNotOffered, psOff},
    {L"TLS 1.2", gAll, psOn, psOn, psOn, psOn},
    // Below Windows 11 / Server 2022 the key is never created: older SCHANNEL builds fail on it.
    {L"TLS 1.3", gTls13, psOn, psOn, psNone, psNone},
    {L"DTLS 1.0", gAll, psOff, psOff, psNone, psNone},
};

// Switched off at both levels; AES stays on. "On" is never written as 1: that breaks RDP.
const wchar_t* const kCiphersOff[] = {L"NULL",        L"DES 56/56",      L"RC2 40/128",        L"RC2 56/128",
                                      L"RC2 128/128", L"RC4 40/128",     L"RC4 56/128",        L"RC4 64/128",
                                      L"RC4 128/128", L"Triple DES 168", L"Triple DES 168/168"};
const wchar_t* const kCiphersOn[] = {L"AES 128/128", L"AES 256/256"};
const wchar_t* const kHashesOff[] = {L"MD5"};

struct TKeyLengthRow {
    const wchar_t* algorithm;
    const wchar_t* value;
    DWORD max, optimal;
};
// Windows 10 and later. PKCS "Enabled" and the SHA hashes are never touched: current Windows needs them.
const TKeyLengthRow kKeyLengths[] = {
    {L"PKCS", L"ClientMinKeyBitLength", 2048, 2048},
    {L"Diffie-Hellman", L"ServerMinKeyBitLength", 3072, 2048},
    {L"Diffie-Hellman", L"ClientMinKeyBitLength", 3072, 2048},
};

// The suite orders (Windows 10 and later). Ciphers, hashes and key exchange are chosen through the
// suite order there; the per-cipher switches only back it up. Both levels lead with TLS 1.3 where
// SCHANNEL has it, and keep the suites standards make mandatory: TLS 1.3's TLS_AES_128_GCM_SHA256
// and HTTP/2's TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256. Maximum: forward-secret AEAD only. Optimal
// adds ECDHE with AES-CBC and SHA-2, as Microsoft's own Windows Server 2025 baseline does; no
// RSA key transport, no SHA-1 CBC, no 3DES or RC4.
const wchar_t kTls13Suites[] = L"TLS_AES_256_GCM_SHA384,TLS_AES_128_GCM_SHA256,";
const wchar_t kAeadSuites[] = L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,"
                              L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
const wchar_t kCbcSha2Suites[] = L",TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256,"
                                 L"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384,TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256";
const wchar_t kMandatoryTls12Suite[] = L"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
const wchar_t kMandatoryTls13Suite[] = L"TLS_AES_128_GCM_SHA256";

// Maximum's group order where SCHANNEL has the hybrid ML-KEM groups: those first (TLS 1.3 only),
// then the classical groups Windows enables by default, which TLS 1.2 needs.
const wchar_t kGroupOrder[] = L"x25519_mlkem768,secp256r1_mlkem768,secp384r1_mlkem1024,curve25519,nistP256,nistP384";

enum TSuiteClass : std::uint8_t {
    scTls13,   // TLS 1.3's own suites
    scAead,    // forward-secret key exchange with an AEAD cipher
    scCbcSha2, // ECDHE with AES-CBC and SHA-256/384
};
struct TSuiteRow {
    const wchar_t* name;
    TSuiteClass cls;
};
// The suites a level may allow; every other name is weaker (RSA key transport, SHA-1, 3DES, RC4,
// NULL, export, PSK, DSS) or unknown.
const TSuiteRow kStrongSuites[] = {
    {L"TLS_AES_256_GCM_SHA384", scTls13},
    {L"TLS_AES_128_GCM_SHA256", scTls13},
    {L"TLS_CHACHA20_POLY1305_SHA256", scTls13},
    {L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", scAead},
    {L"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", scAead},
    {L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", scAead},
    {L"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", scAead},
    {L"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", scAead},
    {L"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", scAead},
    {L"TLS_DHE_RSA_WITH_AES_256_GCM_SHA384", scAead},
    {L"TLS_DHE_RSA_WITH_AES_128_GCM_SHA256", scAead},
    {L"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384", scCbcSha2},
    {L"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", scCbcSha2},
    {L"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384", scCbcSha2},
    {L"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", scCbcSha2},
};

enum TGroupClass : std::uint8_t { gcHybrid, gcClassical, gcWeak };
struct TGroupRow {
    const wchar_t* name;
    TGroupClass cls;
};
// Microsoft's names for SCHANNEL's supported groups.
const TGroupRow kGroups[] = {
    {L"x25519_mlkem768", gcHybrid},
    {L"secp256r1_mlkem768", gcHybrid},
    {L"secp384r1_mlkem1024", gcHybrid},
    {L"curve25519", gcClassical},
    {L"nistP256", gcClassical},
    {L"nistP384", gcClassical},
    {L"nistP521", gcClassical},
    {L"secP256r1", gcClassical},
    {L"secP384r1", gcClassical},
    {L"secP521r1", gcClassical},
    {L"brainpoolP256r1", gcClassical},
    {L"brainpoolP384r1", gcClassical},
    {L"brainpoolP512r1", gcClassical},
    {L"nistP192", gcWeak},
    {L"nistP224", gcWeak},
    {L"secP160k1", gcWeak},
    {L"secP160r1", gcWeak},
    {L"secP160r2", gcWeak},
    {L"secP192k1", gcWeak},
    {L"secP192r1", gcWeak},
    {L"secP224k1", gcWeak},
    {L"secP224r1", gcWeak},
    {L"secP256k1", gcWeak},
};

// Windows reads at most this many characters of a suite list.
constexpr size_t kListLimit = 1023;

const wchar_t* const kDotNetVersions[] = {L"v2.0.50727", L"v4.0.30319"};
const wchar_t* const kDotNetValues[] = {L"SchUseStrongCrypto", L"SystemDefaultTlsVersions"};

// WinHTTP's DefaultSecureProtocols bits.
constexpr DWORD kWinHttpTls12 = 0x800;
constexpr DWORD kWinHttpTls13 = 0x2000;

const wchar_t* const kIETicked[] = {L"TLS1.2"};
const wchar_t* const kIEUnticked[] = {L"SSL2.0", L"SSL3.0", L"TLS1.0", L"TLS1.1"};

bool GateOpen(TGate aGate, const TOSVersion& anOS) noexcept {
    switch (aGate) {
    case gTls13:
        return HasTls13(anOS);
    case gWindows10:
        return IsWindows10(anOS);
    case gAll:
        break;
    }
    return true;
}

TPlannedSetting DWordSetting(const std::wstring& aKey, const std::wstring& aValue, DWORD aNumber, bool aView64) {
    TPlannedSetting s;
    s.Key = aKey;
    s.Value = aValue;
    s.Kind = skDWord;
    s.Number = aNumber;
    s.View64 = aView64;
    s.Effect = EffectOfKey(aKey);
    return s;
}

TPlannedSetting KindSetting(const std::wstring& aKey, const std::wstring& aValue, TSettingKind aKind) {
    TPlannedSetting s = DWordSetting(aKey, aValue, 0, false);
    s.Kind = aKind;
    return s;
}

void AddProtocolSide(std::vector<TPlannedSetting>& aPlan, const std::wstring& aKey, TProtocolState aState) {
    if (aState == psNone)
        return;
    if (aState != psNotOffered)
        aPlan.push_back(DWordSetting(aKey, kEnabledValue, aState == psOff ? 0 : 1, false));
    aPlan.push_back(DWordSetting(aKey, kDisabledByDefaultValue, aState == psOn ? 0 : 1, false));
}

// The .NET and WinHTTP keys exist once per registry view on 64-bit Windows.
std::vector<std::wstring> SoftwareViews(const TOSVersion& anOS, const std::wstring& aBelowSoftware) {
    std::vector<std::wstring> keys{L"SOFTWARE\\" + aBelowSoftware};
    if (anOS.Is64Bit)
        keys.push_back(L"SOFTWARE\\WOW6432Node\\" + aBelowSoftware);
    return keys;
}

} // namespace

bool HasTls13(const TOSVersion& anOS) noexcept {
    return anOS.Major >= 10 && anOS.Build >= 20348;
}

bool IsWindows10(const TOSVersion& anOS) noexcept {
    return anOS.Major >= 10 && anOS.Build >= 10240;
}

bool BuildHasMlKemGroups(const TOSVersion& anOS) noexcept {
    if (anOS.Major < 10)
        return false;
    if (anOS.IsServer)
        return anOS.Build >= 29550;
    if (anOS.Build == 26100 || anOS.Build == 26200)
        return anOS.Revision >= 8514;
    if (anOS.Build == 28000)
        return anOS.Revision >= 2173;
    return anOS.Build > 28000;
}

bool HasMlKemGroups(const TOSVersion& anOS) noexcept {
    return BuildHasMlKemGroups(anOS) && anOS.MlKemProvider;
}

TTakesEffect EffectOfKey(const std::wstring& aKey) noexcept {
    const auto under = [&](const wchar_t* aRoot) {
        const size_t n = wcslen(aRoot);
        return aKey.size() >= n && _wcsnicmp(aKey.c_str(), aRoot, n) == 0 && (aKey.size() == n || aKey[n] == L'\\');
    };
    // SCHANNEL reads the protocol switches for each process that loads it; the rest of its tree and
    // the order policies only when Windows starts.
    const size_t protocols = wcslen(kSchannelProtocolsKey); // ends in a backslash
    if (aKey.size() >= protocols && _wcsnicmp(aKey.c_str(), kSchannelProtocolsKey, protocols) == 0)
        return teProgramsRestart;
    if (under(kSchannelKey) || under(kSuiteOrderKey))
        return teWindowsRestart;
    if (under(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp") ||
        under(L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp"))
        return teServicesRestart;
    return teProgramsRestart;
}

std::vector<TPlannedSetting> SecurityLevelPlan(TLevel aLevel, const TOSVersion& anOS) {
    if (aLevel != lOptimal && aLevel != lMax)
        return {};
    const bool max = aLevel == lMax;
    std::vector<TPlannedSetting> plan;
    for (const TProtocolRow& row : kProtocols) {
        if (!GateOpen(row.gate, anOS))
            continue;
        const std::wstring key = kSchannelProtocolsKey + std::wstring(row.name);
        AddProtocolSide(plan, key + L"\\Client", max ? row.maxClient : row.optimalClient);
        AddProtocolSide(plan, key + L"\\Server", max ? row.maxServer : row.optimalServer);
    }
    for (const wchar_t* name : kCiphersOff)
        plan.push_back(DWordSetting(kSchannelCiphersKey + std::wstring(name), kEnabledValue, 0, false));
    for (const wchar_t* name : kCiphersOn)
        plan.push_back(KindSetting(kSchannelCiphersKey + std::wstring(name), kEnabledValue, skNotDisabled));
    for (const wchar_t* name : kHashesOff)
        plan.push_back(DWordSetting(kHashesKey + std::wstring(name), kEnabledValue, 0, false));
    if (IsWindows10(anOS)) {
        for (const TKeyLengthRow& row : kKeyLengths)
            plan.push_back(DWordSetting(kKeyExchangeKey + std::wstring(row.algorithm), row.value,
                                        max ? row.max : row.optimal, false));
        TPlannedSetting order = KindSetting(kSuiteOrderKey, kSuiteOrderValue, skSuiteList);
        order.Text =
            (HasTls13(anOS) ? std::wstring(kTls13Suites) : std::wstring()) + kAeadSuites + (max ? L"" : kCbcSha2Suites);
        order.Rule.Level = aLevel;
        order.Rule.AllowCbcSha2 = !max;
        order.Rule.Required.push_back(kMandatoryTls12Suite);
        if (HasTls13(anOS))
            order.Rule.Required.push_back(kMandatoryTls13Suite);
        order.Policy = true;
        plan.push_back(order);
        // Optimal leaves the groups as Windows has them.
        if (max && HasMlKemGroups(anOS)) {
            TPlannedSetting groups = KindSetting(kSuiteOrderKey, kGroupOrderValue, skGroupList);
            groups.Text = kGroupOrder;
            groups.Rule.Level = aLevel;
            groups.Rule.NeedsHybrid = true;
            groups.Policy = true;
            plan.push_back(groups);
        }
    }
    for (const wchar_t* version : kDotNetVersions)
        for (const std::wstring& key : SoftwareViews(anOS, L"Microsoft\\.NETFramework\\" + std::wstring(version)))
            for (const wchar_t* value : kDotNetValues)
                plan.push_back(DWordSetting(key, value, 1, true));
    // WinHTTP uses TLS 1.2 by default from Windows 10 on; Optimal leaves that default alone there.
    if (max || !IsWindows10(anOS)) {
        const DWORD protocols = kWinHttpTls12 | (max && HasTls13(anOS) ? kWinHttpTls13 : 0);
        for (const std::wstring& key :
             SoftwareViews(anOS, L"Microsoft\\Windows\\CurrentVersion\\Internet Settings\\WinHttp"))
            plan.push_back(DWordSetting(key, L"DefaultSecureProtocols", protocols, true));
    }
    const auto ieOption = [&](const wchar_t* aName, TSwitchAction anAction) {
        TPlannedSetting s = KindSetting(kIECryptoKey + std::wstring(aName), aName, skIEOption);
        s.IEAction = anAction;
        plan.push_back(s);
    };
    for (const wchar_t* name : kIETicked)
        ieOption(name, saOn);
    if (HasTls13(anOS))
        ieOption(kIETls13Option, saOn);
    for (const wchar_t* name : kIEUnticked)
        ieOption(name, saOff);
    return plan;
}

bool SettingHolds(const TPlannedSetting& aSetting, const TRegValueData& aCurrent) {
    DWORD number = 0;
    switch (aSetting.Kind) {
    case skDWord:
        return RegDWordOf(aCurrent, number) && number == aSetting.Number;
    case skString:
        return aCurrent == SettingValue(aSetting);
    case skNotDisabled:
        return !aCurrent.Present || (RegDWordOf(aCurrent, number) && number == 0xFFFFFFFFu);
    case skSuiteList:
    case skGroupList:
        return JudgeList(aSetting, aCurrent).Holds;
    case skIEOption:
        break;
    }
    return false;
}

TRegValueData SettingValue(const TPlannedSetting& aSetting) {
    TRegValueData value;
    switch (aSetting.Kind) {
    case skDWord:
        value.Present = true;
        value.Type = REG_DWORD;
        value.Bytes.resize(sizeof(DWORD));
        memcpy(value.Bytes.data(), &aSetting.Number, sizeof(DWORD));
        break;
    case skString:
    case skSuiteList: {
        value.Present = true;
        value.Type = REG_SZ;
        const auto* bytes = reinterpret_cast<const BYTE*>(aSetting.Text.c_str());
        value.Bytes.assign(bytes, bytes + (aSetting.Text.size() + 1) * sizeof(wchar_t));
        break;
    }
    case skGroupList: {
        // As Group Policy writes it: one name per string, then the empty string that ends the list.
        std::wstring multi = aSetting.Text;
        for (wchar_t& c : multi)
            if (c == L',')
                c = L'\0';
        multi.append(2, L'\0');
        value.Present = true;
        value.Type = REG_MULTI_SZ;
        const auto* bytes = reinterpret_cast<const BYTE*>(multi.data());
        value.Bytes.assign(bytes, bytes + multi.size() * sizeof(wchar_t));
        break;
    }
    case skNotDisabled:
    case skIEOption:
        break;
    }
    return value;
}

// For an option owning one bit b (CheckedValue = Mask = b, UncheckedValue = 0) this sets b,
// clears b, or makes b equal DefaultValue; other bits are never touched.
DWORD IECryptoOptionValue(TSwitchAction anAction, const TIECryptoDescriptor& aDescriptor, DWORD aCurrent) noexcept {
    const DWORD own = aCurrent & aDescriptor.Mask;
    switch (anAction) {
    case saOn:
        return own != aDescriptor.CheckedValue ? aCurrent | aDescriptor.CheckedValue : aCurrent;
    case saOff:
        return own != aDescriptor.UncheckedValue ? aCurrent ^ aDescriptor.CheckedValue : aCurrent;
    case saDefault:
        if (own == aDescriptor.DefaultValue)
            return aCurrent;
        if (own == aDescriptor.CheckedValue)
            aCurrent ^= aDescriptor.CheckedValue;
        else if (own == aDescriptor.UncheckedValue)
            aCurrent ^= aDescriptor.UncheckedValue;
        return aCurrent | aDescriptor.DefaultValue;
    }
    return aCurrent;
}

// On 64-bit Windows the predefined roots are the sign-extended 32-bit numbers 0x800000xx, so a
// stored number is matched against their low 32 bits rather than widened into a handle.
HKEY IECryptoRoot(DWORD aHKeyRoot) noexcept {
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG};
    for (HKEY root : roots)
        if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(root)) == aHKeyRoot)
            return root;
    return nullptr;
}

namespace {

std::wstring Trimmed(const std::wstring& aText) {
    const size_t first = aText.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::wstring();
    return aText.substr(first, aText.find_last_not_of(L" \t") - first + 1);
}

void SplitInto(const std::wstring& aText, wchar_t aSeparator, std::vector<std::wstring>& aNames) {
    size_t start = 0;
    for (;;) {
        const size_t end = aText.find(aSeparator, start);
        const std::wstring name = Trimmed(aText.substr(start, end == std::wstring::npos ? end : end - start));
        if (!name.empty())
            aNames.push_back(name);
        if (end == std::wstring::npos)
            return;
        start = end + 1;
    }
}

bool SameName(const std::wstring& a, const wchar_t* b) noexcept {
    return _wcsicmp(a.c_str(), b) == 0;
}

const TSuiteRow* FindSuite(const std::wstring& aName) noexcept {
    for (const TSuiteRow& row : kStrongSuites)
        if (SameName(aName, row.name))
            return &row;
    return nullptr;
}

const TGroupRow* FindGroup(const std::wstring& aName) noexcept {
    for (const TGroupRow& row : kGroups)
        if (SameName(aName, row.name))
            return &row;
    return nullptr;
}

// A suite name as Windows spells them: "TLS_" or "SSL_" and capitals, digits and underscores.
bool LooksLikeSuite(const std::wstring& aName) noexcept {
    if (aName.size() < 5 || (aName.compare(0, 4, L"TLS_") != 0 && aName.compare(0, 4, L"SSL_") != 0))
        return false;
    for (const wchar_t c : aName)
        if (!((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_'))
            return false;
    return true;
}

std::wstring Shortened(const std::wstring& aName) {
    return aName.size() > 60 ? aName.substr(0, 60) + L"..." : aName;
}

TListVerdict JudgeSuites(const TListRule& aRule, const std::vector<std::wstring>& aNames) {
    TListVerdict verdict;
    for (const std::wstring& name : aNames) {
        const TSuiteRow* row = FindSuite(name);
        if (!row) {
            verdict.Reason = LooksLikeSuite(name) ? name + L" is weaker than the level allows"
                                                  : L"unknown suite \"" + Shortened(name) + L"\"";
            return verdict;
        }
        if (row->cls == scCbcSha2 && !aRule.AllowCbcSha2) {
            verdict.Reason = name + L" is weaker than the level allows";
            return verdict;
        }
    }
    for (const std::wstring& required : aRule.Required)
        if (std::none_of(aNames.begin(), aNames.end(),
                         [&](const std::wstring& aName) { return SameName(aName, required.c_str()); })) {
            verdict.Reason = L"the mandatory suite " + required + L" is missing";
            return verdict;
        }
    verdict.Holds = true;
    return verdict;
}

TListVerdict JudgeGroups(const TListRule& aRule, const std::vector<std::wstring>& aNames) {
    TListVerdict verdict;
    bool classical = false, hybrid = false;
    for (const std::wstring& name : aNames) {
        const TGroupRow* row = FindGroup(name);
        if (!row) {
            verdict.Reason = L"unknown group \"" + Shortened(name) + L"\"";
            return verdict;
        }
        if (row->cls == gcWeak) {
            verdict.Reason = name + L" is weaker than the level allows";
            return verdict;
        }
        classical = classical || row->cls == gcClassical;
        hybrid = hybrid || row->cls == gcHybrid;
    }
    if (!classical)
        verdict.Reason = L"no classical group: TLS 1.2 could not agree on a key";
    else if (aRule.NeedsHybrid && !hybrid)
        verdict.Reason = L"no post-quantum hybrid group";
    else
        verdict.Holds = true;
    return verdict;
}

} // namespace

bool ListNames(const TRegValueData& aValue, std::vector<std::wstring>& aNames, std::wstring& aReason) {
    aNames.clear();
    if (!aValue.Present) {
        aReason = L"absent";
        return false;
    }
    if ((aValue.Type != REG_SZ && aValue.Type != REG_MULTI_SZ) || aValue.Bytes.size() % sizeof(wchar_t) != 0) {
        aReason = L"not a text value";
        return false;
    }
    std::wstring text(aValue.Bytes.size() / sizeof(wchar_t), L'\0');
    memcpy(text.data(), aValue.Bytes.data(), aValue.Bytes.size());
    // Windows stores a REG_SZ with its NUL and a REG_MULTI_SZ with one after each string; data
    // without them was not written by a program that meant it (and may be read with garbage).
    if (text.empty() || text.back() != L'\0') {
        aReason =
            aValue.Type == REG_SZ ? L"REG_SZ without its terminating NUL" : L"REG_MULTI_SZ without its terminating NUL";
        return false;
    }
    if (aValue.Type == REG_SZ) {
        text.pop_back();
        if (text.find(L'\0') != std::wstring::npos) {
            aReason = L"REG_SZ with a NUL inside";
            return false;
        }
        if (text.size() >= kListLimit) {
            aReason = L"1,023 characters or more: Windows cuts the list off";
            return false;
        }
        SplitInto(text, L',', aNames);
        return true;
    }
    std::vector<std::wstring> entries;
    SplitInto(text, L'\0', entries);
    for (const std::wstring& entry : entries)
        SplitInto(entry, L',', aNames);
    return true;
}

TListVerdict JudgeList(const TPlannedSetting& aSetting, const TRegValueData& aCurrent) {
    TListVerdict verdict;
    std::vector<std::wstring> names;
    if (!ListNames(aCurrent, names, verdict.Reason))
        return verdict;
    if (names.empty()) {
        verdict.Reason = L"an empty list";
        return verdict;
    }
    verdict = aSetting.Kind == skGroupList ? JudgeGroups(aSetting.Rule, names) : JudgeSuites(aSetting.Rule, names);
    verdict.Exact = aCurrent == SettingValue(aSetting);
    return verdict;
}

bool NamesHybridGroup(const TRegValueData& aValue) {
    std::vector<std::wstring> names;
    std::wstring reason;
    if (!ListNames(aValue, names, reason))
        return false;
    return std::any_of(names.begin(), names.end(), [](const std::wstring& aName) {
        const TGroupRow* row = FindGroup(aName);
        return row && row->cls == gcHybrid;
    });
}

TIEAbsentDefault IEAbsentTargetDefault(const std::vector<TIECryptoOption>& anOptions,
                                       const TIECryptoDescriptor& aTarget) {
    TIEAbsentDefault result;
    bool named = false;
    for (const TIECryptoOption& option : anOptions) {
        const TIECryptoDescriptor& d = option.Descriptor;
        if (d.HKeyRoot != aTarget.HKeyRoot || _wcsicmp(d.RegPath.c_str(), aTarget.RegPath.c_str()) != 0 ||
            _wcsicmp(d.ValueName.c_str(), aTarget.ValueName.c_str()) != 0)
            continue;
        named = true;
        if (!d.HasDefaultValue) {
            result.Missing = option.Name;
            return result;
        }
        result.Value |= d.DefaultValue;
    }
    result.Known = named;
    return result;
}

TIEEffectiveValue IEEffectiveValue(const TIECryptoDescriptor& aDescriptor, const TRegValueData& aTarget,
                                   const TRegValueData& aMachinePolicy, const TRegValueData& aUserPolicy,
                                   const TIEAbsentDefault& anAbsentDefault) {
    TIEEffectiveValue result;
    const auto take = [&](const TRegValueData& aValue, TIEValueSource aSource, const wchar_t* aNotDWord) {
        result.Source = aSource;
        result.Known = RegDWordOf(aValue, result.Value);
        if (!result.Known)
            result.Reason = aNotDWord;
    };
    if (!aDescriptor.RegPoliciesPath.empty()) {
        if (aMachinePolicy.Present) {
            take(aMachinePolicy, vsMachinePolicy, L"policy value is not a DWORD");
            return result;
        }
        if (aUserPolicy.Present) {
            take(aUserPolicy, vsUserPolicy, L"policy value is not a DWORD");
            return result;
        }
    }
    if (aTarget.Present) {
        take(aTarget, vsUser, L"");
        if (!result.Known)
            result.Reason = aDescriptor.ValueName + L" is not a DWORD";
        return result;
    }
    result.Source = vsDefault;
    result.Known = anAbsentDefault.Known;
    result.Value = anAbsentDefault.Value;
    if (!result.Known)
        result.Reason =
            L"no default for absent " + aDescriptor.ValueName +
            (anAbsentDefault.Missing.empty() ? std::wstring()
                                             : L" (option " + anAbsentDefault.Missing + L" has no DefaultValue)");
    return result;
}
