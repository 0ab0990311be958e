// Configuration texts of "NAME=value" lines once decoded: their lines and the lookup of a name.
// Standard C++ only; decoding the bytes and upper case by a locale are the caller's.
#pragma once

#include <string>
#include <vector>

// The upper-case key a name is compared by.
using TConfigUpperCase = std::wstring (*)(const std::wstring& aText);

// The lines of aText: CR, LF and CR LF end lines; a text that ends with a break has no empty
// last line.
std::vector<std::wstring> ConfigTextLines(const std::wstring& aText);
// The rest after "=" of the first line whose part before its first "=" has the same aUpper key
// as aName; aDefault when no line matches. Nothing is trimmed.
std::wstring ConfigLineValue(const std::vector<std::wstring>& aLines, const std::wstring& aName,
                             const std::wstring& aDefault, TConfigUpperCase aUpper);
