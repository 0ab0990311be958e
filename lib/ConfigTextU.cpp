#include "ConfigTextU.h"

std::vector<std::wstring> ConfigTextLines(const std::wstring& aText) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    while (start < aText.size()) {
        const std::size_t end = aText.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(aText.substr(start));
            break;
        }
        lines.push_back(aText.substr(start, end - start));
        start = end + 1;
        if (aText[end] == L'\r' && start < aText.size() && aText[start] == L'\n')
            ++start;
    }
    return lines;
}

std::wstring ConfigLineValue(const std::vector<std::wstring>& aLines, const std::wstring& aName,
                             const std::wstring& aDefault, TConfigUpperCase aUpper) {
    const std::wstring name = aUpper(aName);
    for (const std::wstring& line : aLines) {
        const std::size_t eq = line.find(L'=');
        if (eq == std::wstring::npos || eq != aName.size())
            continue;
        if (aUpper(line.substr(0, eq)) == name)
            return line.substr(eq + 1);
    }
    return aDefault;
}
