#include "QVMachine.h"

#include "../lib/FallbackU.h"
#include "../lib/PlatformU.h"

#include <algorithm>

const wchar_t kRestartPendingKey[] = L"SOFTWARE\\QuenvarRestartPending";

TOSVersion CurrentOSVersion() noexcept {
    OSVERSIONINFOEXW info;
    QueryTrueVersion(info);
    TOSVersion os;
    os.Major = info.dwMajorVersion;
    os.Minor = info.dwMinorVersion;
    os.Build = info.dwBuildNumber;
    os.Is64Bit = IsWindows64Bit();
    return os;
}

bool RestartPending() noexcept {
    TRegKey marker;
    return marker.Open(HKEY_LOCAL_MACHINE, kRestartPendingKey, KEY_READ | ViewAccess(true)) == ERROR_SUCCESS;
}

namespace {

// The views the descriptors are looked for in, in order: the 64-bit view first on 64-bit Windows,
// where a 32-bit process's own view is the redirected WOW6432Node copy.
std::vector<REGSAM> DescriptorViews() {
    if (!IsWindows64Bit())
        return {0};
    return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
}

} // namespace

bool ReadIECryptoDescriptor(const std::wstring& aName, TIECryptoDescriptor& aDescriptor) noexcept {
    return ResultOr<bool>("ReadIECryptoDescriptor", false, [&]() -> bool {
        if (aName.empty())
            return false;
        TRegKey key;
        bool found = false;
        for (const REGSAM view : DescriptorViews())
            if (key.Open(HKEY_LOCAL_MACHINE, kIECryptoKey + aName, KEY_QUERY_VALUE | view) == ERROR_SUCCESS) {
                found = true;
                break;
            }
        if (!found)
            return false;
        const auto text = [&](const wchar_t* aValue) {
            TRegValueData data;
            if (key.Read(aValue, data) != ERROR_SUCCESS || data.Type != REG_SZ || data.Bytes.size() < sizeof(wchar_t))
                return std::wstring();
            std::wstring s(reinterpret_cast<const wchar_t*>(data.Bytes.data()), data.Bytes.size() / sizeof(wchar_t));
            const size_t nul = s.find(L'\0');
            return nul == std::wstring::npos ? s : s.substr(0, nul);
        };
        const auto number = [&](const wchar_t* aValue, bool* aPresent = nullptr) {
            TRegValueData data;
            DWORD n = 0;
            const bool present = key.Read(aValue, data) == ERROR_SUCCESS && RegDWordOf(data, n);
            if (aPresent)
                *aPresent = present;
            return present ? n : 0;
        };
        TIECryptoDescriptor d;
        d.RegPath = text(L"RegPath");
        d.ValueName = text(L"ValueName");
        d.CheckedValue = number(L"CheckedValue");
        d.DefaultValue = number(L"DefaultValue", &d.HasDefaultValue);
        d.Mask = number(L"Mask");
        d.UncheckedValue = number(L"UncheckedValue");
        d.HKeyRoot = number(L"HKeyRoot");
        d.RegPoliciesPath = text(L"RegPoliciesPath");
        aDescriptor = std::move(d);
        return true;
    });
}

std::vector<TIECryptoOption> ReadIECryptoOptions() noexcept {
    return ResultOr<std::vector<TIECryptoOption>>("ReadIECryptoOptions", {}, [&] {
        std::wstring crypto = kIECryptoKey;
        crypto.pop_back(); // the trailing backslash
        std::vector<std::wstring> names;
        for (const REGSAM view : DescriptorViews()) {
            TRegKey key;
            if (key.Open(HKEY_LOCAL_MACHINE, crypto, KEY_ENUMERATE_SUB_KEYS | view) != ERROR_SUCCESS)
                continue;
            for (DWORD i = 0;; ++i) {
                wchar_t name[256];
                DWORD length = ARRAYSIZE(name);
                const LONG status = RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
                if (status == ERROR_MORE_DATA)
                    continue; // longer than any key name the registry allows
                if (status != ERROR_SUCCESS)
                    break;
                const std::wstring found(name, length);
                if (std::none_of(names.begin(), names.end(),
                                 [&](const std::wstring& n) { return _wcsicmp(n.c_str(), found.c_str()) == 0; }))
                    names.push_back(found);
            }
        }
        std::vector<TIECryptoOption> options;
        for (const std::wstring& name : names) {
            TIECryptoOption option;
            option.Name = name;
            if (ReadIECryptoDescriptor(name, option.Descriptor))
                options.push_back(std::move(option));
        }
        return options;
    });
}

REGSAM ViewAccess(bool aView64) noexcept {
    return aView64 && RunningUnderWow64 ? KEY_WOW64_64KEY : 0;
}
