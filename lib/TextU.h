// Conversions between UTF-16 text and byte strings in the system ANSI code page or UTF-8. The
// portable helpers of StringU come with it.
#pragma once

#include "StringU.h"

#include <string>

// Characters the ANSI code page cannot represent become its default character.
std::string WideToAnsi(const std::wstring& aText);
std::wstring AnsiToWide(const std::string& aText);

std::string WideToUtf8(const std::wstring& aText);
// Invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& aText);

// True when every character of aText survives a round trip through the ANSI code page.
bool IsAnsiRepresentable(const std::wstring& aText);

// Upper case by the invariant locale, so that no user locale (Turkish dotted I) changes a match;
// aText unchanged when the mapping fails.
std::wstring UpperInvariant(const std::wstring& aText);
