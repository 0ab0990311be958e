#include "QVDateText.h"

#include <gtest/gtest.h>

namespace {

std::string Shown(const std::wstring& aText) {
    std::string s;
    for (wchar_t c : aText.substr(0, 40))
        s.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
    return s;
}

TDateTimeFormat UsFormat() {
    TDateTimeFormat f;
    f.ShortDate = L"M/d/yyyy";
    f.LongTime = L"h:mm:ss tt";
    f.AM = L"AM";
    f.PM = L"PM";
    f.ShortMonths = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun", L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    f.LongMonths = {L"January", L"February", L"March",     L"April",   L"May",      L"June",
                    L"July",    L"August",   L"September", L"October", L"November", L"December"};
    f.ShortDays = {L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat", L"Sun"};
    f.LongDays = {L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday", L"Sunday"};
    return f;
}

TDateTimeFormat GermanFormat() {
    TDateTimeFormat f = UsFormat();
    f.ShortDate = L"dd.MM.yyyy";
    f.LongTime = L"HH:mm:ss";
    f.AM = f.PM = L"";
    f.ShortMonths[2] = L"M\u00E4r";
    f.LongMonths[2] = L"M\u00E4rz";
    return f;
}

TDateTimeFormat NamedFormat() {
    TDateTimeFormat f = UsFormat();
    f.ShortDate = L"ddd, d MMMM yy 'at'";
    f.LongTime = L"H'h'mm''ss";
    return f;
}

SYSTEMTIME Moment(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t{};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    return t;
}

bool SameMoment(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

TEST(StoreDate, TextsInThreeFormats) {
    const struct {
        TDateTimeFormat format;
        SYSTEMTIME moment;
        const wchar_t* text;
    } cases[] = {
        {UsFormat(), Moment(2026, 12, 9, 23, 5, 7), L"12/9/2026 11:05:07 PM"},
        {UsFormat(), Moment(2026, 1, 2, 0, 0, 1), L"1/2/2026 12:00:01 AM"},
        {UsFormat(), Moment(2026, 7, 4, 12, 30, 0), L"7/4/2026 12:30:00 PM"},
        {UsFormat(), Moment(2024, 2, 29, 0, 0, 0), L"2/29/2024"},
        {GermanFormat(), Moment(2026, 12, 9, 23, 5, 7), L"09.12.2026 23:05:07"},
        {GermanFormat(), Moment(2026, 3, 1, 0, 0, 0), L"01.03.2026"},
        {NamedFormat(), Moment(2026, 12, 9, 8, 5, 7), L"Wed, 9 December 26 at 8h05'07"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatStoreDateTime(c.moment, c.format), c.text);
        const auto back = ParseStoreDateTime(c.text, c.format);
        ASSERT_TRUE(back.has_value()) << Shown(c.text);
        EXPECT_TRUE(SameMoment(*back, c.moment)) << Shown(c.text);
    }
}

// A text that does not fit the current format is reported unreadable, never as some other date.
TEST(StoreDate, UnreadableTexts) {
    const struct {
        TDateTimeFormat format;
        const wchar_t* text;
    } cases[] = {
        {UsFormat(), L"09.12.2026 23:05:07"}, // written in German, read in US format
        {GermanFormat(), L"12/9/2026 11:05:07 PM"},
        {GermanFormat(), L"12/9/2026"},
        {UsFormat(), L""},
        {UsFormat(), L"garbage"},
        {UsFormat(), L"13/1/2026"},
        {UsFormat(), L"2/30/2026"},
        {UsFormat(), L"2/29/2025"},
        {UsFormat(), L"1/1/2026 13:00:00 PM"},
        {UsFormat(), L"1/1/2026 1:60:00 PM"},
        {UsFormat(), L"1/1/2026 1:00:00"},
        {UsFormat(), L"1/1/2026 1:00:00 PM trailing"},
        {UsFormat(), L"1/1/2026  1:00:00 PM"},
        {GermanFormat(), L"09.12.2026 24:00:00"},
        {GermanFormat(), L"09.12.1500"},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ParseStoreDateTime(c.text, c.format).has_value()) << Shown(c.text);
}

TEST(StoreDate, RoundTripInTheUsersFormat) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    now.wMilliseconds = 0;
    const std::wstring text = DateTimeToStoreText(now);
    EXPECT_FALSE(text.empty());
    const auto back = StoreTextToDateTime(text);
    ASSERT_TRUE(back.has_value()) << Shown(text);
    EXPECT_TRUE(SameMoment(*back, now)) << Shown(text);
    const SYSTEMTIME midnight = Moment(2026, 12, 9, 0, 0, 0);
    EXPECT_EQ(DateTimeToStoreText(midnight).find(L' '), std::wstring::npos);
    EXPECT_TRUE(SameMoment(*StoreTextToDateTime(DateTimeToStoreText(midnight)), midnight));
    EXPECT_FALSE(StoreTextToDateTime(L"not a date").has_value());
}

} // namespace
