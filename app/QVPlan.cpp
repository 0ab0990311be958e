#include "QVPlan.h"

#include <cstring>
#include <cwchar>

const wchar_t kSchannelKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL";
const wchar_t kSchannelProtocolsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\";
const wchar_t kSchannelCiphersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Ciphers\\";
const wchar_t kIECryptoKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";
const wchar_t kEnabledValue[] = L"Enabled";
const wchar_t kDisabledByDefaultValue[] = L"DisabledByDefault";
const wchar_t kIETls13Option[] = L"TLS1.3";

namespace {

// ---- The policy, all in one place ---------------------------------------------------------------

const wchar_t kHashesKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Hashes\\";
const wchar_t kKeyExchangeKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\KeyExchangeAlgorithms\\";
const wchar_t kSuiteOrderKey[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";

// What a level writes for one side (Client or Server) of a protocol.
enum TProtocolState : std::uint8_t {
    psNone,    // not written
    psOff,     // Enabled 0, DisabledByDefault 1
    psOn,      // Enabled 1, DisabledByDefault 0
    psOnAsked, // Enabled 1, DisabledByDefault 1: not offered, but used when an application asks for it
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
    {L"TLS 1.0", gAll, psOff, psOff, psOnAsked, psOff},
    {L"TLS 1.1", gAll, psOff, psOff, psOnAsked, psOff},
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

// Maximum's suite order (Windows 10 and later): TLS 1.3's suites first where SCHANNEL has them,
// then forward-secret AEAD suites only.
const wchar_t kTls13Suites[] = L"TLS_AES_256_GCM_SHA384,TLS_AES_128_GCM_SHA256,";
const wchar_t kTls12Suites[] = L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,"
                               L"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";

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
    s.AtRestart = TakesEffectAtRestart(aKey);
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

bool TakesEffectAtRestart(const std::wstring& aKey) noexcept {
    const auto under = [&](const wchar_t* aRoot) {
        const size_t n = wcslen(aRoot);
        return aKey.size() >= n && _wcsnicmp(aKey.c_str(), aRoot, n) == 0 && (aKey.size() == n || aKey[n] == L'\\');
    };
    return under(kSchannelKey) || under(kSuiteOrderKey);
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
        if (max) {
            TPlannedSetting order = KindSetting(kSuiteOrderKey, L"Functions", skString);
            order.Text = (HasTls13(anOS) ? std::wstring(kTls13Suites) : std::wstring()) + kTls12Suites;
            plan.push_back(order);
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
    case skString: {
        value.Present = true;
        value.Type = REG_SZ;
        const auto* bytes = reinterpret_cast<const BYTE*>(aSetting.Text.c_str());
        value.Bytes.assign(bytes, bytes + (aSetting.Text.size() + 1) * sizeof(wchar_t));
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
