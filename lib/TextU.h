// Conversions between UTF-16 text and byte strings in the system ANSI code page or UTF-8.
#pragma once

#include <string>

// Characters the ANSI code page cannot represent become its default character.
std::string WideToAnsi(const std::wstring& aText);
std::wstring AnsiToWide(const std::string& aText);

std::string WideToUtf8(const std::wstring& aText);
// Invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& aText);

// True when every character of aText survives a round trip through the ANSI code page.
bool IsAnsiRepresentable(const std::wstring& aText);

// ASCII letters upper-cased, everything else unchanged: the case-insensitive key of a name.
std::wstring AsciiUpper(const std::wstring& aText);
bool SameTextAscii(const std::wstring& a, const std::wstring& b);
