#include "QVVersionTest.h"

#include "../lib/RegistryU.h"

namespace {

const wchar_t kVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t kVersionValue[] = L"CurrentVersion";

bool IsBlankOrControl(wchar_t c) noexcept {
    return c <= L' ';
}

bool IsDigitAtLeast(wchar_t c, wchar_t aLowest) noexcept {
    return c >= aLowest && c <= L'9';
}

} // namespace

bool VersionTextAtLeast63(const std::wstring& aText) noexcept {
    size_t first = 0;
    size_t last = aText.size();
    while (first < last && IsBlankOrControl(aText[first]))
        ++first;
    while (last > first && IsBlankOrControl(aText[last - 1]))
        --last;
    if (last - first < 3)
        return false;
    return IsDigitAtLeast(aText[first], L'6') && IsDigitAtLeast(aText[first + 2], L'3');
}

bool CurrentVersionAtLeast63() noexcept {
    std::wstring version;
    if (!ReadRegString(HKEY_LOCAL_MACHINE, kVersionKey, kVersionValue, version))
        return false;
    return VersionTextAtLeast63(version);
}
