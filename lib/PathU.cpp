#include "PathU.h"

namespace {

size_t LastDelimiter(const std::wstring& aPath) {
    return aPath.find_last_of(L"\\/:");
}

} // namespace

std::wstring IncludeTrailingDelimiter(const std::wstring& aPath) {
    if (!aPath.empty() && (aPath.back() == L'\\' || aPath.back() == L'/'))
        return aPath;
    return aPath + L'\\';
}

std::wstring ExtractFilePath(const std::wstring& aPath) {
    const size_t p = LastDelimiter(aPath);
    return p == std::wstring::npos ? std::wstring() : aPath.substr(0, p + 1);
}

std::wstring ExtractFileName(const std::wstring& aPath) {
    const size_t p = LastDelimiter(aPath);
    return p == std::wstring::npos ? aPath : aPath.substr(p + 1);
}

std::wstring ExtractFileExt(const std::wstring& aPath) {
    const std::wstring name = ExtractFileName(aPath);
    const size_t dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}
