// URL splitting as the HTTP client connects: host, object path and port of any text. Input: the
// URL in UTF-16 (little-endian pairs of bytes).
#include "FuzzSupport.h"

#include "URLU.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::wstring url = WideFromBytes(aData, aSize);
    const TURLParts parts = SplitURL(url);
    FUZZ_CHECK(parts.port >= 1);
    FUZZ_CHECK(parts.host.find(L'/') == std::wstring::npos);
    FUZZ_CHECK(parts.object.empty() || parts.object[0] == L'/');
    FUZZ_CHECK(parts.host.size() + parts.object.size() <= url.size());
    // What is left of the URL ends with the host and the object, apart from a port cut off the host.
    FUZZ_CHECK(url.size() >= parts.object.size() &&
               url.compare(url.size() - parts.object.size(), parts.object.size(), parts.object) == 0);

    const std::wstring name = ExtractURLFileName(url);
    FUZZ_CHECK(name.find_first_of(L"/?") == std::wstring::npos);
    FUZZ_CHECK(url.find(name) != std::wstring::npos);
    return 0;
}
