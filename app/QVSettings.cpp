#include "QVSettings.h"

#include "QVVersionTest.h"

#include "../lib/RegistryU.h"

#include <cwchar>

namespace {

using TNames = std::vector<std::wstring>;

// The policy, all in one place: the SCHANNEL catalogue and, per level, the names it switches on
// and the Internet Explorer options it ticks, unticks and resets, each list in write order.
const TNames kAllProtocols = {
    L"Multi-Protocol Unified Hello", L"PCT 1.0", L"SSL 2.0", L"SSL 3.0", L"TLS 1.0", L"TLS 1.1", L"TLS 1.2"};

const TNames kAllCiphers = {L"AES 128/128", L"AES 256/256", L"DES 56/56",  L"NULL",
                            L"RC2 128/128", L"RC2 40/128",  L"RC2 56/128", L"RC4 128/128",
                            L"RC4 40/128",  L"RC4 56/128",  L"RC4 64/128", L"Triple DES 168/168"};

struct TLevelTable {
    TNames protocolsOn;
    TNames ciphersOn;
    TNames ieTicked;
    TNames ieUnticked;
    TNames ieDefault;
};

const TNames kOffCiphers = {L"AES 128/128", L"AES 256/256", L"DES 56/56",         L"RC2 128/128",
                            L"RC2 40/128",  L"RC2 56/128",  L"RC4 128/128",       L"RC4 40/128",
                            L"RC4 56/128",  L"RC4 64/128",  L"Triple DES 168/168"};
const TNames kAllIEOptions = {L"SSL2.0", L"SSL3.0", L"TLS1.0", L"TLS1.1", L"TLS1.2"};
const TNames kIETicked = {L"SSL3.0", L"TLS1.0", L"TLS1.1", L"TLS1.2"};
const TNames kIEUnticked = {L"SSL2.0"};

const TLevelTable kOffAtLeast63 = {
    {L"Multi-Protocol Unified Hello", L"PCT 1.0", L"SSL 3.0", L"TLS 1.0", L"TLS 1.1", L"TLS 1.2"},
    kOffCiphers,
    {},
    {},
    kAllIEOptions};

const TLevelTable kOffBelow63 = {
    {L"Multi-Protocol Unified Hello", L"PCT 1.0", L"SSL 3.0", L"TLS 1.0"}, kOffCiphers, {}, {}, kAllIEOptions};

const TLevelTable kOptimal = {
    {L"Multi-Protocol Unified Hello", L"SSL 3.0", L"TLS 1.0", L"TLS 1.1", L"TLS 1.2"},
    {L"RC2 128/128", L"RC4 64/128", L"RC4 128/128", L"Triple DES 168/168", L"AES 128/128", L"AES 256/256"},
    kIETicked,
    kIEUnticked,
    {}};

const TLevelTable kMax = {{L"SSL 3.0", L"TLS 1.0", L"TLS 1.1", L"TLS 1.2"},
                          {L"RC4 128/128", L"Triple DES 168/168", L"AES 128/128", L"AES 256/256"},
                          kIETicked,
                          kIEUnticked,
                          {}};

const wchar_t kProtocolsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\";
const wchar_t kCiphersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Ciphers\\";
const wchar_t kEnabled[] = L"Enabled";
const wchar_t kCryptoKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";

// The catalogue names that are not in aSwitchedOn, in catalogue order.
TNames NamesNotIn(const TNames& aCatalogue, const TNames& aSwitchedOn) {
    TNames rest;
    for (const auto& name : aCatalogue) {
        bool listed = false;
        for (const auto& on : aSwitchedOn)
            listed = listed || _wcsicmp(name.c_str(), on.c_str()) == 0;
        if (!listed)
            rest.push_back(name);
    }
    return rest;
}

// The SCHANNEL "Enabled" value after anAction: on is -1; off turns -1 into 0 and keeps anything
// else, so a value an administrator set deliberately (1, say) survives switching off.
int SwitchedEnabledValue(TSwitchAction anAction, int aCurrent) noexcept {
    if (anAction == saOn)
        return -1;
    return aCurrent == -1 ? 0 : aCurrent;
}

HRESULT SetSchannelState(TSwitchAction anAction, const std::wstring& aReadKey, const std::wstring& aSecondKey) {
    int value = 0;
    ReadRegDWord(HKEY_LOCAL_MACHINE, aReadKey, kEnabled, value);
    value = SwitchedEnabledValue(anAction, value);
    if (!WriteRegDWord(HKEY_LOCAL_MACHINE, aReadKey, kEnabled, value))
        return E_FAIL;
    if (!aSecondKey.empty() && !WriteRegDWord(HKEY_LOCAL_MACHINE, aSecondKey, kEnabled, value))
        return E_FAIL;
    return S_OK;
}

HRESULT RunSwitch(TSwitchKind aKind, TSwitchAction anAction, const std::wstring& aName) {
    switch (aKind) {
    case skProtocol:
        return SetProtocolState(anAction, aName);
    case skCipher:
        return SetCipherState(anAction, aName);
    case skIEOption:
        return SetIECryptoOption(anAction, aName);
    }
    return E_FAIL;
}

} // namespace

std::vector<TSwitchLoop> SecurityLevelPlan(TLevel aLevel, bool anAtLeast63) {
    const TLevelTable* table = nullptr;
    switch (aLevel) {
    case lOff:
        table = anAtLeast63 ? &kOffAtLeast63 : &kOffBelow63;
        break;
    case lOptimal:
        table = &kOptimal;
        break;
    case lMax:
        table = &kMax;
        break;
    default:
        return {};
    }
    return {
        {skProtocol, saOn, table->protocolsOn},   {skProtocol, saOff, NamesNotIn(kAllProtocols, table->protocolsOn)},
        {skCipher, saOn, table->ciphersOn},       {skCipher, saOff, NamesNotIn(kAllCiphers, table->ciphersOn)},
        {skIEOption, saOn, table->ieTicked},      {skIEOption, saOff, table->ieUnticked},
        {skIEOption, saDefault, table->ieDefault}};
}

// A name of a switch-on list after a failing one is left as it is, not switched off: the off
// loops hold only names the level never switches on.
HRESULT ApplySecurityLevel(TLevel aLevel) {
    if (aLevel != lOff && aLevel != lOptimal && aLevel != lMax)
        return S_OK;
    const bool atLeast63 = aLevel == lOff && CurrentVersionAtLeast63();
    for (const TSwitchLoop& loop : SecurityLevelPlan(aLevel, atLeast63))
        for (const std::wstring& name : loop.names)
            if (FAILED(RunSwitch(loop.kind, loop.action, name)))
                break;
    return S_OK;
}

HRESULT SetProtocolState(TSwitchAction anAction, const std::wstring& aName) {
    if (aName.empty())
        return S_OK;
    const std::wstring base = kProtocolsKey + aName;
    return SetSchannelState(anAction, base + L"\\Client", base + L"\\Server");
}

HRESULT SetCipherState(TSwitchAction anAction, const std::wstring& aName) {
    if (aName.empty())
        return S_OK;
    return SetSchannelState(anAction, kCiphersKey + aName, std::wstring());
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

HRESULT SetIECryptoOption(TSwitchAction anAction, const std::wstring& aName) noexcept {
    if (aName.empty())
        return S_OK;
    try {
        const std::wstring key = kCryptoKey + aName;
        TIECryptoDescriptor descriptor;
        int number = 0;
        ReadRegString(HKEY_LOCAL_MACHINE, key, L"RegPath", descriptor.RegPath);
        ReadRegString(HKEY_LOCAL_MACHINE, key, L"ValueName", descriptor.ValueName);
        ReadRegDWord(HKEY_LOCAL_MACHINE, key, L"CheckedValue", number);
        descriptor.CheckedValue = static_cast<DWORD>(number);
        ReadRegDWord(HKEY_LOCAL_MACHINE, key, L"DefaultValue", number);
        descriptor.DefaultValue = static_cast<DWORD>(number);
        ReadRegDWord(HKEY_LOCAL_MACHINE, key, L"Mask", number);
        descriptor.Mask = static_cast<DWORD>(number);
        ReadRegDWord(HKEY_LOCAL_MACHINE, key, L"UncheckedValue", number);
        descriptor.UncheckedValue = static_cast<DWORD>(number);
        ReadRegDWord(HKEY_LOCAL_MACHINE, key, L"HKeyRoot", number);
        descriptor.HKeyRoot = static_cast<DWORD>(number);

        const HKEY root = IECryptoRoot(descriptor.HKeyRoot);
        int current = 0;
        if (!root || !ReadRegDWord(root, descriptor.RegPath, descriptor.ValueName, current))
            return E_FAIL;
        const DWORD updated = IECryptoOptionValue(anAction, descriptor, static_cast<DWORD>(current));
        return WriteRegDWord(root, descriptor.RegPath, descriptor.ValueName, static_cast<int>(updated)) ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}
