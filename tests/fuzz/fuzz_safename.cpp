// The judgement of names from untrusted data (archive entries, cabinet headers) before they are
// joined below a folder. Input: the name in UTF-16 (little-endian pairs of bytes).
#include "FuzzSupport.h"

#include "SafePathU.h"
#include "StringU.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::wstring name = WideFromBytes(aData, aSize);
    const bool safe = IsSafeRelativePath(name);
    const bool plain = IsPlainFileName(name);
    FUZZ_CHECK(!plain || safe);
    if (!safe)
        return 0;
    // Whatever a safe name holds, it can reach no parent, root, drive, stream or device.
    FUZZ_CHECK(!name.empty() && name[0] != L'\\' && name[0] != L'/');
    FUZZ_CHECK(name.find(L':') == std::wstring::npos);
    FUZZ_CHECK(name.back() != L'\\' && name.back() != L'/');
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find_first_of(L"\\/", start);
        const std::wstring component = name.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        FUZZ_CHECK(component.find_first_not_of(L". ") != std::wstring::npos);
        for (wchar_t c : component)
            FUZZ_CHECK(c >= 0x20);
        std::wstring base = AsciiUpper(component.substr(0, component.find(L'.')));
        while (!base.empty() && base.back() == L' ')
            base.pop_back();
        FUZZ_CHECK(base != L"CON" && base != L"NUL" && base != L"AUX" && base != L"PRN");
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    // Each component of a safe path is a plain name, and so is the path when it has one component.
    FUZZ_CHECK(plain == (name.find_first_of(L"\\/") == std::wstring::npos));
    return 0;
}
