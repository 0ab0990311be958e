// Version texts: the offered version, a client's VER text and their comparison. Input: a client's
// VER text, NUL, an offered version.
#include "FuzzSupport.h"

#include "QVStats.h"
#include "QVVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::vector<std::string> parts = SplitAtNul(aData, aSize, 2);
    const std::string& client = parts[0];
    const std::string& offer = parts[1];

    for (const std::string& text : parts) {
        const auto version = ParseVersion(text);
        if (!version)
            continue;
        FUZZ_CHECK(!text.empty() && text.find_first_not_of("0123456789.") == std::string::npos);
        FUZZ_CHECK(ParseVersion(VersionText(*version)) == version);
    }
    const auto clientVersion = ClientVersion(client);
    const auto offerVersion = ParseVersion(offer);
    const bool older = IsOlderVersion(client, offer);
    FUZZ_CHECK(older == (clientVersion && offerVersion && *clientVersion < *offerVersion));
    if (older)
        FUZZ_CHECK(!IsOlderVersion(offer, VersionText(*clientVersion)));
    FUZZ_CHECK(!IsOlderVersion(client, clientVersion ? VersionText(*clientVersion) : offer) || !clientVersion);
    const std::string field = FieldVersion(client);
    FUZZ_CHECK(field == (clientVersion ? VersionText(*clientVersion) : "unknown"));
    return 0;
}
