#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>

std::wstring WideFromBytes(const std::uint8_t* aData, std::size_t aSize) {
    std::wstring text;
    text.reserve(aSize / 2);
    for (std::size_t i = 0; i + 1 < aSize; i += 2)
        text.push_back(static_cast<wchar_t>(aData[i] | (aData[i + 1] << 8)));
    return text;
}

std::string Utf16Bytes(const std::wstring& aText) {
    std::string bytes;
    for (wchar_t c : aText) {
        const auto unit = static_cast<std::uint32_t>(c) & 0xFFFF;
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::vector<std::string> SplitAtNul(const std::uint8_t* aData, std::size_t aSize, std::size_t aCount) {
    const std::string input(reinterpret_cast<const char*>(aData), aSize);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() + 1 < aCount) {
        const std::size_t nul = input.find('\0', start);
        if (nul == std::string::npos)
            break;
        parts.push_back(input.substr(start, nul - start));
        start = nul + 1;
    }
    parts.push_back(input.substr(start));
    parts.resize(aCount);
    return parts;
}

void PropertyFailed(const char* aWhat) {
    std::fprintf(stderr, "property failed: %s\n", aWhat);
    std::abort();
}
