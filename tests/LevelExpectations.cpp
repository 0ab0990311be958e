#include "LevelExpectations.h"

#include "HandleU.h"
#include "RegistryU.h"

#include <gtest/gtest.h>

const wchar_t kProtocolsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\";
const wchar_t kCiphersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Ciphers\\";
const wchar_t kCryptoKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";
const wchar_t kIETargetPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kIETargetValue[] = L"SecureProtocols";

const TProtocolRow kExpectedProtocols[7] = {
    {L"Multi-Protocol Unified Hello", {true, true, true, false}},
    {L"PCT 1.0", {true, true, false, false}},
    {L"SSL 2.0", {false, false, false, false}},
    {L"SSL 3.0", {true, true, true, true}},
    {L"TLS 1.0", {true, true, true, true}},
    {L"TLS 1.1", {true, false, true, true}},
    {L"TLS 1.2", {true, false, true, true}},
};

const TCipherRow kExpectedCiphers[12] = {
    {L"AES 128/128", {true, true, true}},  {L"AES 256/256", {true, true, true}},
    {L"DES 56/56", {true, false, false}},  {L"NULL", {false, false, false}},
    {L"RC2 128/128", {true, true, false}}, {L"RC2 40/128", {true, false, false}},
    {L"RC2 56/128", {true, false, false}}, {L"RC4 128/128", {true, true, true}},
    {L"RC4 40/128", {true, false, false}}, {L"RC4 56/128", {true, false, false}},
    {L"RC4 64/128", {true, true, false}},  {L"Triple DES 168/168", {true, true, true}},
};

// Defaults as an IE8-era machine has them: SSL 3.0 and TLS 1.0 ticked, the rest not.
const TIEOptionRow kIEOptions[5] = {
    {L"SSL2.0", 0x8, 0}, {L"SSL3.0", 0x20, 0x20}, {L"TLS1.0", 0x80, 0x80}, {L"TLS1.1", 0x200, 0}, {L"TLS1.2", 0x800, 0},
};

bool ExpectedProtocolOn(const TProtocolRow& aRow, TLevel aLevel, bool anAtLeast63) {
    switch (aLevel) {
    case lOff:
        return aRow.on[anAtLeast63 ? 0 : 1];
    case lOptimal:
        return aRow.on[2];
    default:
        return aRow.on[3];
    }
}

bool ExpectedCipherOn(const TCipherRow& aRow, TLevel aLevel) {
    return aRow.on[aLevel == lOff ? 0 : aLevel == lOptimal ? 1 : 2];
}

DWORD ExpectedIEBits(TLevel aLevel) {
    DWORD bits = 0;
    for (const auto& option : kIEOptions) {
        if (aLevel == lOff)
            bits |= option.defaultValue;
        else if (std::wstring(option.name) != L"SSL2.0")
            bits |= option.bit;
    }
    return bits;
}

void InstallIEDescriptors() {
    for (const auto& option : kIEOptions) {
        const std::wstring key = kCryptoKey + std::wstring(option.name);
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key, L"RegPath", kIETargetPath));
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, key, L"ValueName", kIETargetValue));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"CheckedValue", static_cast<int>(option.bit)));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"UncheckedValue", 0));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"DefaultValue", static_cast<int>(option.defaultValue)));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"Mask", static_cast<int>(option.bit)));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"HKeyRoot", static_cast<int>(0x80000001u)));
    }
}

void WriteOppositeState(TLevel aLevel, bool anAtLeast63) {
    for (const auto& row : kExpectedProtocols) {
        const int opposite = ExpectedProtocolOn(row, aLevel, anAtLeast63) ? 0 : -1;
        const std::wstring base = kProtocolsKey + std::wstring(row.name);
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, base + L"\\Client", L"Enabled", opposite));
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, base + L"\\Server", L"Enabled", opposite));
    }
    for (const auto& row : kExpectedCiphers)
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kCiphersKey + std::wstring(row.name), L"Enabled",
                                  ExpectedCipherOn(row, aLevel) ? 0 : -1));
    DWORD all = 0;
    for (const auto& option : kIEOptions)
        all |= option.bit;
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue,
                              static_cast<int>(kForeignBit | (ExpectedIEBits(aLevel) ^ all))));
}

TSwitchState ReadSwitch(const std::wstring& aKeyPath) {
    TSwitchState state;
    TUniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, aKeyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return state;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &state.valueCount, nullptr,
                     nullptr, nullptr, nullptr);
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key.get(), L"Enabled", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(data))
        state.enabled = static_cast<int>(data);
    return state;
}

TLevelState ReadLevelState() {
    TLevelState state;
    for (const auto& row : kExpectedProtocols) {
        const std::wstring base = kProtocolsKey + std::wstring(row.name);
        state.client.push_back(ReadSwitch(base + L"\\Client"));
        state.server.push_back(ReadSwitch(base + L"\\Server"));
    }
    for (const auto& row : kExpectedCiphers)
        state.ciphers.push_back(ReadSwitch(kCiphersKey + std::wstring(row.name)));
    int value = 0;
    if (ReadRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, value))
        state.secureProtocols = static_cast<DWORD>(value);
    return state;
}

void ExpectLevelState(const TLevelState& aState, TLevel aLevel, bool anAtLeast63, DWORD anOtherBits) {
    ASSERT_EQ(aState.client.size(), std::size(kExpectedProtocols));
    for (size_t i = 0; i < std::size(kExpectedProtocols); ++i) {
        const auto& row = kExpectedProtocols[i];
        const int expected = ExpectedProtocolOn(row, aLevel, anAtLeast63) ? -1 : 0;
        EXPECT_EQ(aState.client[i], (TSwitchState{expected, 1})) << Narrow(row.name) << "\\Client";
        EXPECT_EQ(aState.server[i], (TSwitchState{expected, 1})) << Narrow(row.name) << "\\Server";
    }
    for (size_t i = 0; i < std::size(kExpectedCiphers); ++i) {
        const auto& row = kExpectedCiphers[i];
        EXPECT_EQ(aState.ciphers[i], (TSwitchState{ExpectedCipherOn(row, aLevel) ? -1 : 0, 1})) << Narrow(row.name);
    }
    EXPECT_EQ(aState.secureProtocols, std::optional<DWORD>(anOtherBits | ExpectedIEBits(aLevel)));
}

std::string Narrow(const std::wstring& aText) {
    return std::string(aText.begin(), aText.end());
}
