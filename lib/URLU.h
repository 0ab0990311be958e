// The parts of a URL as the HTTP client connects to them, and the object taken apart. Standard C++
// only: no WinINet is needed to take a URL apart, so the splitting also builds natively.
#pragma once

#include <cstdint>
#include <string>

// Host, object and port of a URL. A leading "http://" gives 80 and "https://" 443 (case ignored;
// anywhere else in the text they are part of the path); the host ends at the first "/", "?" or "#";
// an explicit port after the host ("host:8080") is taken; without a prefix the port is 80. The
// object is the rest of the text as given, and the URL ends with it; path, query and fragment
// together are the object again.
struct TURLParts {
    std::wstring host;
    std::wstring object;
    std::uint16_t port = 80;
    std::wstring path;     // the object up to its first "?" or "#"
    std::wstring query;    // from that "?" up to the next "#", the "?" included; empty without one
    std::wstring fragment; // from the first "#" on, the "#" included; empty without one
};
TURLParts SplitURL(const std::wstring& aURL);

// The last path segment of a URL without its query: ".../dir/setup.cab?x=1" gives "setup.cab".
std::wstring ExtractURLFileName(const std::wstring& aURL);

// aURL with aSuffix appended to its path, before any query or fragment: "http://h/a.cab?x=1" and
// ".sig" give "http://h/a.cab.sig?x=1". Meant for a URL whose path names a file; without a path
// the suffix follows the host.
std::wstring AppendToURLPath(const std::wstring& aURL, const std::wstring& aSuffix);
