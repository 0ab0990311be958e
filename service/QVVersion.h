// Dotted file versions as clients report them and as the service offers them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// A dotted file version; absent trailing parts are 0.
using TVersion = std::array<std::uint16_t, 4>;

// The version in aText: one to four dot-separated decimal numbers, each 0..65535, nothing else.
// Empty for any other text (empty parts, signs, blanks, letters, a fifth part, overflow).
std::optional<TVersion> ParseVersion(const std::string& aText);

// The version in a client's VER text ("QUENVAR=1.0.0.1": the text after the last "=", or the
// whole text without one).
std::optional<TVersion> ClientVersion(const std::string& aClientVer);

// True when the version in a client's VER text is older than anOfferVersion. False when either
// does not parse, so a client whose version cannot be read is never offered an update.
bool IsOlderVersion(const std::string& aClientVer, const std::string& anOfferVersion);

// "1.0.0.2": all four parts.
std::string VersionText(const TVersion& aVersion);
