// The parts of a URL as the HTTP client connects to them. Standard C++ only: no WinINet is needed
// to take a URL apart, so the splitting also builds natively.
#pragma once

#include <cstdint>
#include <string>

// Host, object path and port of a URL. A leading "http://" gives 80 and "https://" 443 (case
// ignored; anywhere else in the text they are part of the path); an explicit port after the host
// ("host:8080") is taken; without a prefix the port is 80.
struct TURLParts {
    std::wstring host;
    std::wstring object;
    std::uint16_t port = 80;
};
TURLParts SplitURL(const std::wstring& aURL);

// The last path segment of a URL without its query: ".../dir/setup.cab?x=1" gives "setup.cab".
std::wstring ExtractURLFileName(const std::wstring& aURL);
