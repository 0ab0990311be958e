#include "QVDateText.h"

#include "../lib/FallbackU.h"
#include "../lib/TextU.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

// One element of a date or time picture: a run of one pattern letter, or literal text.
struct TPictureToken {
    wchar_t letter = 0; // 0 for literal text
    size_t count = 0;
    std::wstring literal;
};

std::vector<TPictureToken> Tokenize(const std::wstring& aPicture) {
    static const wchar_t kLetters[] = L"dMyhHmstg";
    std::vector<TPictureToken> tokens;
    auto addLiteral = [&tokens](const std::wstring& aText) {
        if (aText.empty())
            return;
        if (!tokens.empty() && tokens.back().letter == 0)
            tokens.back().literal += aText;
        else
            tokens.push_back({0, 0, aText});
    };
    for (size_t i = 0; i < aPicture.size();) {
        const wchar_t c = aPicture[i];
        if (c == L'\'') {
            // Quoted text; two quotes stand for one.
            std::wstring text;
            ++i;
            while (i < aPicture.size()) {
                if (aPicture[i] == L'\'') {
                    if (i + 1 < aPicture.size() && aPicture[i + 1] == L'\'') {
                        text.push_back(L'\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text.push_back(aPicture[i++]);
            }
            addLiteral(text.empty() ? std::wstring(L"'") : text);
        } else if (std::wcschr(kLetters, c)) {
            size_t n = 0;
            while (i < aPicture.size() && aPicture[i] == c) {
                ++n;
                ++i;
            }
            tokens.push_back({c, n, std::wstring()});
        } else {
            addLiteral(std::wstring(1, c));
            ++i;
        }
    }
    return tokens;
}

std::wstring Number(unsigned aValue, size_t aWidth) {
    std::wstring text = std::to_wstring(aValue);
    if (text.size() < aWidth)
        text.insert(0, aWidth - text.size(), L'0');
    return text;
}

bool IsLeapYear(unsigned aYear) {
    return (aYear % 4 == 0 && aYear % 100 != 0) || aYear % 400 == 0;
}

unsigned DaysInMonth(unsigned aYear, unsigned aMonth) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return aMonth == 2 && IsLeapYear(aYear) ? 29 : kDays[aMonth - 1];
}

// 0 = Sunday, as SYSTEMTIME counts.
WORD DayOfWeek(unsigned aYear, unsigned aMonth, unsigned aDay) {
    static const unsigned kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const unsigned y = aMonth < 3 ? aYear - 1 : aYear;
    return static_cast<WORD>((y + y / 4 - y / 100 + y / 400 + kOffsets[aMonth - 1] + aDay) % 7);
}

std::wstring FormatPicture(const std::vector<TPictureToken>& aTokens, const SYSTEMTIME& aTime,
                           const TDateTimeFormat& aFormat) {
    std::wstring text;
    const unsigned dayIndex = (DayOfWeek(aTime.wYear, aTime.wMonth, aTime.wDay) + 6) % 7;
    const unsigned hour12 = aTime.wHour % 12 == 0 ? 12 : aTime.wHour % 12;
    const std::wstring& ampm = aTime.wHour < 12 ? aFormat.AM : aFormat.PM;
    for (const TPictureToken& t : aTokens) {
        switch (t.letter) {
        case 0:
            text += t.literal;
            break;
        case L'd':
            text += t.count <= 2 ? Number(aTime.wDay, t.count)
                                 : (t.count == 3 ? aFormat.ShortDays[dayIndex] : aFormat.LongDays[dayIndex]);
            break;
        case L'M':
            text += t.count <= 2
                        ? Number(aTime.wMonth, t.count)
                        : (t.count == 3 ? aFormat.ShortMonths[aTime.wMonth - 1] : aFormat.LongMonths[aTime.wMonth - 1]);
            break;
        case L'y':
            text += t.count <= 2 ? Number(aTime.wYear % 100, t.count) : Number(aTime.wYear, 4);
            break;
        case L'h':
            text += Number(hour12, std::min<size_t>(t.count, 2));
            break;
        case L'H':
            text += Number(aTime.wHour, std::min<size_t>(t.count, 2));
            break;
        case L'm':
            text += Number(aTime.wMinute, std::min<size_t>(t.count, 2));
            break;
        case L's':
            text += Number(aTime.wSecond, std::min<size_t>(t.count, 2));
            break;
        case L't':
            text += t.count == 1 ? ampm.substr(0, 1) : ampm;
            break;
        default: // era: not written
            break;
        }
    }
    return text;
}

// Reads a picture from aText at aPos into the fields of aTime; false when the text does not fit.
class TPictureReader {
public:
    TPictureReader(const std::wstring& aText, const TDateTimeFormat& aFormat) : FText(aText), FFormat(aFormat) {}

    size_t FPos = 0;
    int FYear = -1, FMonth = -1, FDay = -1, FHour = 0, FMinute = 0, FSecond = 0;
    int FHour12 = -1, FPM = -1;
    bool FTwoDigitYear = false;

    bool Read(const std::vector<TPictureToken>& aTokens) {
        for (const TPictureToken& t : aTokens)
            if (!ReadToken(t))
                return false;
        return true;
    }

private:
    const std::wstring& FText;
    const TDateTimeFormat& FFormat;

    bool Digits(size_t aMax, int& aValue) {
        size_t n = 0;
        int value = 0;
        while (n < aMax && FPos < FText.size() && FText[FPos] >= L'0' && FText[FPos] <= L'9') {
            value = value * 10 + (FText[FPos] - L'0');
            ++FPos;
            ++n;
        }
        if (n == 0)
            return false;
        aValue = value;
        return true;
    }

    // The longest of aNames (ignoring case) that the text continues with; its index, or -1.
    template <size_t N> int Name(const std::array<std::wstring, N>& aNames) {
        int best = -1;
        size_t bestLength = 0;
        for (size_t i = 0; i < N; ++i) {
            const std::wstring& name = aNames[i];
            if (name.empty() || name.size() <= bestLength || FPos + name.size() > FText.size())
                continue;
            if (UpperInvariant(FText.substr(FPos, name.size())) == UpperInvariant(name)) {
                best = static_cast<int>(i);
                bestLength = name.size();
            }
        }
        FPos += bestLength;
        return best;
    }

    bool Literal(const std::wstring& aText) {
        if (FText.compare(FPos, aText.size(), aText) != 0)
            return false;
        FPos += aText.size();
        return true;
    }

    bool ReadToken(const TPictureToken& t) {
        switch (t.letter) {
        case 0:
            return Literal(t.literal);
        case L'd':
            if (t.count <= 2)
                return Digits(2, FDay);
            return t.count == 3 ? Name(FFormat.ShortDays) >= 0 : Name(FFormat.LongDays) >= 0;
        case L'M':
            if (t.count <= 2)
                return Digits(2, FMonth);
            FMonth = (t.count == 3 ? Name(FFormat.ShortMonths) : Name(FFormat.LongMonths)) + 1;
            return FMonth > 0;
        case L'y':
            FTwoDigitYear = t.count <= 2;
            return Digits(FTwoDigitYear ? 2 : 4, FYear);
        case L'h':
            return Digits(2, FHour12);
        case L'H':
            return Digits(2, FHour);
        case L'm':
            return Digits(2, FMinute);
        case L's':
            return Digits(2, FSecond);
        case L't': {
            if (FFormat.AM.empty() && FFormat.PM.empty())
                return true;
            std::array<std::wstring, 2> marks = {FFormat.AM, FFormat.PM};
            if (t.count == 1)
                marks = {FFormat.AM.substr(0, 1), FFormat.PM.substr(0, 1)};
            FPM = Name(marks);
            return FPM >= 0;
        }
        default:
            return true;
        }
    }
};

} // namespace

TDateTimeFormat UserDateTimeFormat() {
    auto info = [](LCTYPE aType) {
        wchar_t buffer[128];
        const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, aType, buffer, ARRAYSIZE(buffer));
        return n > 0 ? std::wstring(buffer, static_cast<size_t>(n - 1)) : std::wstring();
    };
    TDateTimeFormat f;
    f.ShortDate = info(LOCALE_SSHORTDATE);
    f.LongTime = info(LOCALE_STIMEFORMAT);
    f.AM = info(LOCALE_S1159);
    f.PM = info(LOCALE_S2359);
    for (unsigned i = 0; i < 12; ++i) {
        f.ShortMonths[i] = info(LOCALE_SABBREVMONTHNAME1 + i);
        f.LongMonths[i] = info(LOCALE_SMONTHNAME1 + i);
    }
    for (unsigned i = 0; i < 7; ++i) {
        f.ShortDays[i] = info(LOCALE_SABBREVDAYNAME1 + i);
        f.LongDays[i] = info(LOCALE_SDAYNAME1 + i);
    }
    return f;
}

std::wstring FormatStoreDateTime(const SYSTEMTIME& aTime, const TDateTimeFormat& aFormat) {
    std::wstring text = FormatPicture(Tokenize(aFormat.ShortDate), aTime, aFormat);
    if (aTime.wHour != 0 || aTime.wMinute != 0 || aTime.wSecond != 0)
        text += L" " + FormatPicture(Tokenize(aFormat.LongTime), aTime, aFormat);
    return text;
}

std::optional<SYSTEMTIME> ParseStoreDateTime(const std::wstring& aText, const TDateTimeFormat& aFormat) {
    return ResultOr<std::optional<SYSTEMTIME>>("ParseStoreDateTime", std::nullopt, [&]() -> std::optional<SYSTEMTIME> {
        TPictureReader r(aText, aFormat);
        if (!r.Read(Tokenize(aFormat.ShortDate)))
            return std::nullopt;
        if (r.FPos < aText.size()) {
            if (aText[r.FPos] != L' ')
                return std::nullopt;
            ++r.FPos;
            if (!r.Read(Tokenize(aFormat.LongTime)) || r.FPos != aText.size())
                return std::nullopt;
        }
        if (r.FHour12 >= 0) {
            if (r.FHour12 < 1 || r.FHour12 > 12)
                return std::nullopt;
            r.FHour = r.FHour12 % 12 + (r.FPM == 1 ? 12 : 0);
        }
        if (r.FYear < 0 || r.FMonth < 1 || r.FMonth > 12 || r.FDay < 1)
            return std::nullopt;
        int year = r.FYear;
        if (r.FTwoDigitYear) {
            // The century that puts the year within 50 years of today.
            SYSTEMTIME now;
            GetLocalTime(&now);
            year += now.wYear / 100 * 100;
            if (year > now.wYear + 49)
                year -= 100;
            else if (year < now.wYear - 50)
                year += 100;
        }
        if (year < 1601 || year > 30827 || static_cast<unsigned>(r.FDay) > DaysInMonth(year, r.FMonth) ||
            r.FHour > 23 || r.FMinute > 59 || r.FSecond > 59)
            return std::nullopt;
        SYSTEMTIME t{};
        t.wYear = static_cast<WORD>(year);
        t.wMonth = static_cast<WORD>(r.FMonth);
        t.wDay = static_cast<WORD>(r.FDay);
        t.wDayOfWeek = DayOfWeek(year, r.FMonth, r.FDay);
        t.wHour = static_cast<WORD>(r.FHour);
        t.wMinute = static_cast<WORD>(r.FMinute);
        t.wSecond = static_cast<WORD>(r.FSecond);
        return t;
    });
}

std::wstring DateTimeToStoreText(const SYSTEMTIME& aTime) {
    return FormatStoreDateTime(aTime, UserDateTimeFormat());
}

std::optional<SYSTEMTIME> StoreTextToDateTime(const std::wstring& aText) {
    return ParseStoreDateTime(aText, UserDateTimeFormat());
}
