// The one judgement of whether a name taken from untrusted data (an archive entry, a cabinet
// header) may be joined below a destination folder without reaching anything outside it.
#pragma once

#include <string>

// True for a non-empty relative path whose components ("\" or "/" separated) are ordinary names:
// no leading separator (absolute, UNC, device namespace), no drive or stream colon anywhere, no
// empty component, no component made only of dots and blanks (Win32 trims those, so ".. " is
// ".."), no control characters and no reserved device name (CON, NUL, COM1...; also "nul.txt").
bool IsSafeRelativePath(const std::wstring& aName);

// A safe relative path with a single component: a file name in the folder it is joined to.
bool IsPlainFileName(const std::wstring& aName);
