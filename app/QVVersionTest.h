// The Windows version test that picks between the two switched-off protocol lists.
#pragma once

#include <string>

// True when aText, with leading and trailing blanks and control characters removed, has a
// decimal digit of at least 6 as its first and a decimal digit of at least 3 as its third
// character ("6.3", "6.30"). Only those two characters count: "10.0" and "7.0" give false, as
// does any text shorter than three characters.
bool VersionTextAtLeast63(const std::wstring& aText) noexcept;

// VersionTextAtLeast63 of "CurrentVersion" under HKLM "SOFTWARE\Microsoft\Windows NT\CurrentVersion";
// false when that value cannot be read as text.
bool CurrentVersionAtLeast63() noexcept;
