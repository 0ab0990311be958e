// The configuration text of partner builds once decoded: line breaks and the lookup of a name.
// Input: the name (one byte per character), NUL, the text in UTF-16 (little-endian pairs of bytes).
#include "FuzzSupport.h"

#include "ConfigTextU.h"
#include "StringU.h"

namespace {

std::wstring Upper(const std::wstring& aText) {
    return AsciiUpper(aText);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::vector<std::string> parts = SplitAtNul(aData, aSize, 2);
    const std::wstring name(parts[0].begin(), parts[0].end());
    const std::wstring text = WideFromBytes(reinterpret_cast<const std::uint8_t*>(parts[1].data()), parts[1].size());

    const std::vector<std::wstring> lines = ConfigTextLines(text);
    std::size_t characters = 0, breaks = 0;
    for (const std::wstring& line : lines) {
        FUZZ_CHECK(line.find_first_of(L"\r\n") == std::wstring::npos);
        characters += line.size();
    }
    for (wchar_t c : text)
        breaks += c == L'\r' || c == L'\n' ? 1 : 0;
    FUZZ_CHECK(characters + breaks == text.size());
    FUZZ_CHECK(lines.size() <= breaks + 1);

    const std::wstring missing = L"\x1F";
    const std::wstring value = ConfigLineValue(lines, name, missing, Upper);
    bool found = false;
    if (name.find(L'=') == std::wstring::npos)
        for (const std::wstring& line : lines)
            if (!found && line.size() > name.size() && line[name.size()] == L'=' &&
                SameTextAscii(line.substr(0, name.size()), name)) {
                found = true;
                FUZZ_CHECK(value == line.substr(name.size() + 1));
            }
    FUZZ_CHECK(found || value == missing);
    return 0;
}
