#include "TextU.h"

#include <windows.h>

namespace {

std::string FromWide(UINT aCodePage, const std::wstring& aText) {
    if (aText.empty())
        return std::string();
    const int n =
        WideCharToMultiByte(aCodePage, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(aCodePage, 0, aText.data(), static_cast<int>(aText.size()), result.data(), n, nullptr,
                            nullptr);
    return result;
}

std::wstring ToWide(UINT aCodePage, const std::string& aText) {
    if (aText.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(aCodePage, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(aCodePage, 0, aText.data(), static_cast<int>(aText.size()), result.data(), n);
    return result;
}

} // namespace

std::string WideToAnsi(const std::wstring& aText) {
    return FromWide(CP_ACP, aText);
}

std::wstring AnsiToWide(const std::string& aText) {
    return ToWide(CP_ACP, aText);
}

std::string WideToUtf8(const std::wstring& aText) {
    return FromWide(CP_UTF8, aText);
}

std::wstring Utf8ToWide(const std::string& aText) {
    return ToWide(CP_UTF8, aText);
}

bool IsAnsiRepresentable(const std::wstring& aText) {
    return AnsiToWide(WideToAnsi(aText)) == aText;
}

std::wstring UpperInvariant(const std::wstring& aText) {
    if (aText.empty())
        return aText;
    std::wstring result(aText.size(), L'\0');
    const int n = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, aText.data(), static_cast<int>(aText.size()),
                               result.data(), static_cast<int>(result.size()));
    if (n != static_cast<int>(aText.size()))
        return aText;
    return result;
}
