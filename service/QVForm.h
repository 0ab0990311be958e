// Query strings and URL-encoded form bodies: name=value pairs joined by "&".
#pragma once

#include <string>
#include <utility>
#include <vector>

using TFormFields = std::vector<std::pair<std::string, std::string>>;

// "%XX" and "%uXXXX" decoded (the latter to UTF-8), "+" read as a blank. A "%" not followed by
// hex digits stays as it is.
std::string UrlDecode(const std::string& aText);

// The fields of aText in their order, names and values decoded. The value is the text after the
// first "="; blanks and tabs around names and values are dropped, and a field with an empty name
// is skipped.
TFormFields ParseForm(const std::string& aText);

// The value of the first field named aName (compared exactly), or empty.
std::string FormValue(const TFormFields& aFields, const std::string& aName);
// How many fields are named aName.
std::size_t FormCount(const TFormFields& aFields, const std::string& aName);
