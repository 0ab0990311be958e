#include "SafePathU.h"

#include "TextU.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsReservedDeviceName(const std::wstring& aComponent) {
    // The device is meant whatever extension follows and whatever blanks precede the dot.
    std::wstring base = aComponent.substr(0, aComponent.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    base = AsciiUpper(base);
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" || base == L"CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

bool IsSafeComponent(const std::wstring& aComponent) {
    if (aComponent.empty())
        return false;
    if (aComponent.find_first_not_of(L". ") == std::wstring::npos)
        return false;
    for (wchar_t c : aComponent)
        if (c < 0x20 || c == L':')
            return false;
    return !IsReservedDeviceName(aComponent);
}

} // namespace

bool IsSafeRelativePath(const std::wstring& aName) {
    if (aName.empty())
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < aName.size() && !IsSeparator(aName[end]))
            ++end;
        if (!IsSafeComponent(aName.substr(start, end - start)))
            return false;
        if (end == aName.size())
            return true;
        start = end + 1;
    }
}

bool IsPlainFileName(const std::wstring& aName) {
    return IsSafeRelativePath(aName) && aName.find_first_of(L"\\/") == std::wstring::npos;
}
