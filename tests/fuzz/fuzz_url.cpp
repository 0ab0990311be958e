// URL splitting as the HTTP client connects and as the updater names its downloads: host, object
// path, port, path, query and fragment of any text, and the signature address beside a package.
// Input: the URL in UTF-16 (little-endian pairs of bytes).
#include "FuzzSupport.h"

#include "URLU.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::wstring url = WideFromBytes(aData, aSize);
    const TURLParts parts = SplitURL(url);
    FUZZ_CHECK(parts.port >= 1);
    FUZZ_CHECK(parts.host.find_first_of(L"/?#") == std::wstring::npos);
    FUZZ_CHECK(parts.object.empty() || std::wstring(L"/?#").find(parts.object[0]) != std::wstring::npos);
    FUZZ_CHECK(parts.host.size() + parts.object.size() <= url.size());
    // What is left of the URL ends with the host and the object, apart from a port cut off the host.
    FUZZ_CHECK(url.size() >= parts.object.size() &&
               url.compare(url.size() - parts.object.size(), parts.object.size(), parts.object) == 0);

    // Path, query and fragment are the object cut in three, each part starting with its mark.
    FUZZ_CHECK(parts.path + parts.query + parts.fragment == parts.object);
    FUZZ_CHECK(parts.path.find_first_of(L"?#") == std::wstring::npos);
    FUZZ_CHECK(parts.path.empty() || parts.path[0] == L'/');
    FUZZ_CHECK(parts.query.empty() || parts.query[0] == L'?');
    FUZZ_CHECK(parts.query.find(L'#') == std::wstring::npos);
    FUZZ_CHECK(parts.fragment.empty() || parts.fragment[0] == L'#');

    // The suffix goes to the end of the path and nowhere else: taking it out gives the URL back,
    // and a URL with a path keeps its host, port, query and fragment.
    const std::wstring suffix = L".sig";
    const std::wstring signature = AppendToURLPath(url, suffix);
    const size_t at = url.size() - parts.object.size() + parts.path.size();
    FUZZ_CHECK(signature.size() == url.size() + suffix.size());
    FUZZ_CHECK(signature.compare(at, suffix.size(), suffix) == 0);
    FUZZ_CHECK(std::wstring(signature).erase(at, suffix.size()) == url);
    if (!parts.path.empty()) {
        const TURLParts withSuffix = SplitURL(signature);
        FUZZ_CHECK(withSuffix.host == parts.host && withSuffix.port == parts.port);
        FUZZ_CHECK(withSuffix.path == parts.path + suffix);
        FUZZ_CHECK(withSuffix.query == parts.query && withSuffix.fragment == parts.fragment);
    }

    const std::wstring name = ExtractURLFileName(url);
    FUZZ_CHECK(name.find_first_of(L"/?") == std::wstring::npos);
    FUZZ_CHECK(url.find(name) != std::wstring::npos);
    return 0;
}
