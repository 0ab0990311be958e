#include "QVVersion.h"

std::optional<TVersion> ParseVersion(const std::string& aText) {
    TVersion version{};
    std::size_t part = 0, pos = 0;
    for (;;) {
        if (part == version.size())
            return std::nullopt;
        const std::size_t start = pos;
        unsigned long value = 0;
        while (pos < aText.size() && aText[pos] >= '0' && aText[pos] <= '9') {
            value = value * 10 + static_cast<unsigned long>(aText[pos] - '0');
            if (value > 0xFFFF)
                return std::nullopt;
            ++pos;
        }
        if (pos == start)
            return std::nullopt;
        version[part++] = static_cast<std::uint16_t>(value);
        if (pos == aText.size())
            return version;
        if (aText[pos] != '.')
            return std::nullopt;
        ++pos;
    }
}

std::optional<TVersion> ClientVersion(const std::string& aClientVer) {
    const std::size_t equals = aClientVer.rfind('=');
    return ParseVersion(equals == std::string::npos ? aClientVer : aClientVer.substr(equals + 1));
}

bool IsOlderVersion(const std::string& aClientVer, const std::string& anOfferVersion) {
    const auto client = ClientVersion(aClientVer);
    const auto offer = ParseVersion(anOfferVersion);
    return client && offer && *client < *offer;
}

std::string VersionText(const TVersion& aVersion) {
    return std::to_string(aVersion[0]) + "." + std::to_string(aVersion[1]) + "." + std::to_string(aVersion[2]) + "." +
           std::to_string(aVersion[3]);
}
