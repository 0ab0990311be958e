// Date texts of the settings store, written and read back in the user's regional format. Formatting
// and parsing take the format as a value, so a test can feed them any locale; only
// UserDateTimeFormat and the two routines after it ask the system.
#pragma once

#include <windows.h>

#include <array>
#include <optional>
#include <string>

// The store's date texts ("LastHit", "LastUpdate", "LastBaloon"): short date, a blank, long time,
// in the user's regional format; the blank and the time are left out at midnight.
struct TDateTimeFormat {
    std::wstring ShortDate; // picture such as "M/d/yyyy" or "dd.MM.yyyy"
    std::wstring LongTime;  // picture such as "h:mm:ss tt" or "HH:mm:ss"
    std::wstring AM, PM;
    std::array<std::wstring, 12> ShortMonths, LongMonths;
    std::array<std::wstring, 7> ShortDays, LongDays; // Monday first
};
// The user's current regional format.
TDateTimeFormat UserDateTimeFormat();
std::wstring FormatStoreDateTime(const SYSTEMTIME& aTime, const TDateTimeFormat& aFormat);
// The moment a text made by FormatStoreDateTime with the same format stands for (to the second);
// nothing when the text cannot be read with aFormat — for instance after the user changed the
// regional format. Callers treat that as "due" and write the value again.
std::optional<SYSTEMTIME> ParseStoreDateTime(const std::wstring& aText, const TDateTimeFormat& aFormat);
// The two above with the user's current format.
std::wstring DateTimeToStoreText(const SYSTEMTIME& aTime);
std::optional<SYSTEMTIME> StoreTextToDateTime(const std::wstring& aText);
