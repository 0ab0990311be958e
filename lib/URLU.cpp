#include "URLU.h"

#include "StringU.h"

#include <algorithm>

TURLParts SplitURL(const std::wstring& aURL) {
    TURLParts parts;
    std::wstring rest = aURL;
    // The scheme only as the prefix: a query may hold another URL ("?next=https://...").
    if (StartsWithAscii(rest, L"http://")) {
        parts.port = 80;
        rest.erase(0, 7);
    } else if (StartsWithAscii(rest, L"https://")) {
        parts.port = 443;
        rest.erase(0, 8);
    }
    const size_t hostEnd = rest.find_first_of(L"/?#");
    parts.host = hostEnd == std::wstring::npos ? rest : rest.substr(0, hostEnd);
    parts.object = hostEnd == std::wstring::npos ? std::wstring() : rest.substr(hostEnd);
    // An explicit port: digits after the last ":" that is not inside an IPv6 literal.
    const size_t colon = parts.host.rfind(L':');
    const size_t bracket = parts.host.rfind(L']');
    if (colon != std::wstring::npos && (bracket == std::wstring::npos || bracket < colon)) {
        const std::wstring digits = parts.host.substr(colon + 1);
        const std::uint64_t port = digits.size() <= 5 ? ParseDecimal(digits, 0xFFFFFFFFu).value_or(0) : 0;
        if (port >= 1 && port <= 65535) {
            parts.port = static_cast<std::uint16_t>(port);
            parts.host.erase(colon);
        }
    }
    const size_t pathEnd = std::min(parts.object.find_first_of(L"?#"), parts.object.size());
    const size_t queryEnd = std::min(parts.object.find(L'#', pathEnd), parts.object.size());
    parts.path = parts.object.substr(0, pathEnd);
    parts.query = parts.object.substr(pathEnd, queryEnd - pathEnd);
    parts.fragment = parts.object.substr(queryEnd);
    return parts;
}

std::wstring ExtractURLFileName(const std::wstring& aURL) {
    std::wstring name = aURL;
    const size_t slash = name.rfind(L'/');
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const size_t q = name.find(L'?');
    if (q != std::wstring::npos)
        name.erase(q);
    return name;
}

std::wstring AppendToURLPath(const std::wstring& aURL, const std::wstring& aSuffix) {
    const TURLParts parts = SplitURL(aURL);
    std::wstring url = aURL;
    return url.insert(aURL.size() - parts.object.size() + parts.path.size(), aSuffix);
}
