#include "QVMachine.h"

#include "../lib/FallbackU.h"
#include "../lib/PlatformU.h"

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

bool ReadIECryptoDescriptor(const std::wstring& aName, TIECryptoDescriptor& aDescriptor) noexcept {
    return ResultOr<bool>("ReadIECryptoDescriptor", false, [&]() -> bool {
        TRegKey key;
        if (aName.empty() || key.Open(HKEY_LOCAL_MACHINE, kIECryptoKey + aName, KEY_QUERY_VALUE) != ERROR_SUCCESS)
            return false;
        const auto text = [&](const wchar_t* aValue) {
            TRegValueData data;
            if (key.Read(aValue, data) != ERROR_SUCCESS || data.Type != REG_SZ || data.Bytes.size() < sizeof(wchar_t))
                return std::wstring();
            std::wstring s(reinterpret_cast<const wchar_t*>(data.Bytes.data()), data.Bytes.size() / sizeof(wchar_t));
            const size_t nul = s.find(L'\0');
            return nul == std::wstring::npos ? s : s.substr(0, nul);
        };
        const auto number = [&](const wchar_t* aValue) {
            TRegValueData data;
            DWORD n = 0;
            return key.Read(aValue, data) == ERROR_SUCCESS && RegDWordOf(data, n) ? n : 0;
        };
        TIECryptoDescriptor d;
        d.RegPath = text(L"RegPath");
        d.ValueName = text(L"ValueName");
        d.CheckedValue = number(L"CheckedValue");
        d.DefaultValue = number(L"DefaultValue");
        d.Mask = number(L"Mask");
        d.UncheckedValue = number(L"UncheckedValue");
        d.HKeyRoot = number(L"HKeyRoot");
        aDescriptor = std::move(d);
        return true;
    });
}

REGSAM ViewAccess(bool aView64) noexcept {
    return aView64 && RunningUnderWow64 ? KEY_WOW64_64KEY : 0;
}
