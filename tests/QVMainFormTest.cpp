// The window's pure rules: level texts and slider positions, when a reminder is due, how each
// balloon is shown and when a refused icon is tried again.
#include "QVDateText.h"
#include "QVMainForm.h"
#include "QVSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

SYSTEMTIME Moment(WORD aYear, WORD aMonth, WORD aDay, WORD anHour, WORD aMinute) {
    SYSTEMTIME t{};
    t.wYear = aYear;
    t.wMonth = aMonth;
    t.wDay = aDay;
    t.wHour = anHour;
    t.wMinute = aMinute;
    FILETIME ft;
    SystemTimeToFileTime(&t, &ft);
    FileTimeToSystemTime(&ft, &t); // fills the day of the week
    return t;
}

// aTime moved by aMinutes (negative: earlier).
SYSTEMTIME Shifted(const SYSTEMTIME& aTime, long long aMinutes) {
    FILETIME ft;
    SystemTimeToFileTime(&aTime, &ft);
    ULARGE_INTEGER v{{ft.dwLowDateTime, ft.dwHighDateTime}};
    v.QuadPart += static_cast<unsigned long long>(aMinutes * 60LL * 10000000LL);
    ft.dwLowDateTime = v.LowPart;
    ft.dwHighDateTime = v.HighPart;
    SYSTEMTIME t;
    FileTimeToSystemTime(&ft, &t);
    return t;
}

TEST(LevelDisplay, SliderRunsFromMaximumAtTheTopToOffAtTheBottom) {
    EXPECT_EQ(SliderPosition(lMax), 0);
    EXPECT_EQ(SliderPosition(lOptimal), 1);
    EXPECT_EQ(SliderPosition(lOff), 2);
    const struct {
        int position;
        TLevel level;
    } cases[] = {{-5, lMax}, {0, lMax}, {1, lOptimal}, {2, lOff}, {3, lOff}};
    for (const auto& c : cases)
        EXPECT_EQ(LevelAtPosition(c.position), c.level) << c.position;
}

TEST(LevelDisplay, EachLevelHasItsHeadlineAndFourNotes) {
    EXPECT_STREQ(LevelTexts(lOff).Title, L"Quenvar is switched off");
    EXPECT_STREQ(LevelTexts(lOptimal).Title, L"Optimal protection");
    EXPECT_STREQ(LevelTexts(lMax).Title, L"Maximum protection");
    EXPECT_STREQ(LevelTexts(lOff).Notes[3],
                 L"No blocking of website communication can cause a security intrusion risk.");
    const std::wstring optimalLast = LevelTexts(lOptimal).Notes[3];
    EXPECT_EQ(optimalLast.back(), L' '); // the text is shown as written, trailing blank included
    EXPECT_EQ(std::wstring(LevelTexts(lMax).Notes[2]),
              L"Only the most secured TLS/SSL cipher suites can be used for online communication.");
    for (TLevel level : {lOff, lOptimal, lMax})
        for (const wchar_t* note : LevelTexts(level).Notes)
            EXPECT_GT(std::wstring(note).size(), 40u);
}

TEST(Reminder, OffWarnsEvery48HoursAndTheOtherLevelsConfirmEvery96) {
    EXPECT_STREQ(ReminderRuleFor(lOff).Text, L"Protect your online communication.");
    EXPECT_EQ(ReminderRuleFor(lOff).IconFlag, static_cast<DWORD>(NIIF_WARNING));
    EXPECT_EQ(ReminderRuleFor(lOff).GapHours, 48u);
    for (TLevel level : {lOptimal, lMax}) {
        EXPECT_STREQ(ReminderRuleFor(level).Text, L"Your online communications are protected.");
        EXPECT_EQ(ReminderRuleFor(level).IconFlag, static_cast<DWORD>(NIIF_INFO));
        EXPECT_EQ(ReminderRuleFor(level).GapHours, 96u);
    }
}

TEST(Reminder, DueByTheAbsoluteDistanceToTheLastOne) {
    const SYSTEMTIME now = Moment(2026, 3, 1, 12, 0); // across the end of February
    const struct {
        TLevel level;
        long long minutesAgo; // negative: the stored moment lies in the future
        bool due;
    } cases[] = {
        {lOff, 0, false},          {lOff, 47 * 60, false},      {lOff, 47 * 60 + 59, false},
        {lOff, 48 * 60, true},     {lOff, 1000 * 60, true},     {lOff, -47 * 60, false},
        {lOff, -50 * 60, true},    {lOptimal, 48 * 60, false},  {lOptimal, 95 * 60 + 59, false},
        {lOptimal, 96 * 60, true}, {lMax, 95 * 60 + 59, false}, {lMax, 96 * 60, true},
        {lMax, -95 * 60, false},   {lMax, -97 * 60, true},      {lMax, 24LL * 60 * 365 * 3, true},
    };
    for (const auto& c : cases) {
        const std::wstring last = DateTimeToStoreText(Shifted(now, -c.minutesAgo));
        EXPECT_EQ(ReminderDue(c.level, last, now), c.due)
            << "level " << int(c.level) << ", minutes ago " << c.minutesAgo;
    }
}

TEST(Reminder, AnEmptyOrUnreadableLastMomentIsDue) {
    const SYSTEMTIME now = Moment(2026, 7, 14, 9, 30);
    for (const wchar_t* text : {L"", L"garbage", L"99/99/9999 99:99:99", L"\u00FC\u00FC", L" "})
        for (TLevel level : {lOff, lOptimal, lMax})
            EXPECT_TRUE(ReminderDue(level, text, now)) << int(level);
}

// Reminders keep out of the quiet hours after a first logon; the drift warning does not.
TEST(Balloon, FlagsByKindAndWindowsVersion) {
    const struct {
        TBalloonKind kind;
        DWORD icon;
        BYTE versionClass;
        DWORD flags;
    } cases[] = {
        {bkReminder, NIIF_WARNING, 12, NIIF_WARNING | NIIF_LARGE_ICON | NIIF_RESPECT_QUIET_TIME},
        {bkReminder, NIIF_INFO, 12, NIIF_INFO | NIIF_LARGE_ICON | NIIF_RESPECT_QUIET_TIME},
        {bkDrift, NIIF_WARNING, 12, NIIF_WARNING | NIIF_LARGE_ICON},
        {bkReminder, NIIF_INFO, 11, NIIF_INFO | NIIF_LARGE_ICON | NIIF_RESPECT_QUIET_TIME}, // 2008 R2 and later
        {bkReminder, NIIF_INFO, 10, NIIF_INFO | NIIF_LARGE_ICON},                           // Server 2008
        {bkReminder, NIIF_WARNING, 9, NIIF_WARNING | NIIF_LARGE_ICON},                      // Vista
        {bkDrift, NIIF_WARNING, 9, NIIF_WARNING | NIIF_LARGE_ICON},
        {bkReminder, NIIF_INFO, 6, NIIF_INFO}, // XP
        {bkDrift, NIIF_WARNING, 6, NIIF_WARNING},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BalloonFlags(c.kind, c.icon, c.versionClass), c.flags)
            << "kind " << int(c.kind) << ", icon " << c.icon << ", class " << int(c.versionClass);
}

TEST(TrayIcon, RetriedEveryFiveSecondsForTwoMinutesThenEveryMinute) {
    const struct {
        unsigned failures;
        UINT delay;
    } cases[] = {{0, 5000}, {1, 5000}, {24, 5000}, {25, 60000}, {1000, 60000}, {~0u, 60000}};
    for (const auto& c : cases)
        EXPECT_EQ(TrayRetryDelay(c.failures), c.delay) << c.failures;
}

} // namespace
