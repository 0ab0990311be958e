// The notification-area icon of the real Quenvar.exe under Wine: an icon the shell refuses is
// tried again, a new taskbar gets it again, and the end of the session ends the instance.
// The window counts the icon's additions in its "QV_TrayAdds" property; the shell's refusals are
// simulated through the QUENVAR_TEST_TRAY_REFUSALS variable the started program inherits.
#include "QVDateText.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"
#include "UIDriver.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

UINT_PTR TrayAdds(HWND aWindow) {
    return reinterpret_cast<UINT_PTR>(GetPropW(aWindow, L"QV_TrayAdds"));
}

// Sets the refusal count for the programs started while it lives.
class TRefusals {
public:
    explicit TRefusals(unsigned aCount) {
        SetEnvironmentVariableW(L"QUENVAR_TEST_TRAY_REFUSALS", aCount ? std::to_wstring(aCount).c_str() : nullptr);
    }
    ~TRefusals() { SetEnvironmentVariableW(L"QUENVAR_TEST_TRAY_REFUSALS", nullptr); }
    TRefusals(const TRefusals&) = delete;
    TRefusals& operator=(const TRefusals&) = delete;
};

// No running instance and a store with only today's hit, so the window contacts no service.
class TheTray : public ::testing::Test {
protected:
    void SetUp() override {
        StopRunningInstances();
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
        SYSTEMTIME now;
        GetLocalTime(&now);
        ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kStoreKey, L"LastHit", DateTimeToStoreText(now)));
    }
    void TearDown() override {
        StopRunningInstances();
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
    }
};

TEST_F(TheTray, ARefusedFirstAdditionIsRetriedOnATimer) {
    const TRefusals refusals(1);
    TQuenvar app(L"/tray");
    HWND w = app.Window(false);
    ASSERT_NE(w, nullptr);
    const DWORD found = GetTickCount();
    Sleep(2000);
    EXPECT_EQ(TrayAdds(w), 0u);
    ASSERT_TRUE(WaitFor([&] { return TrayAdds(w) == 1; }, 10000));
    const DWORD after = GetTickCount() - found;
    printf("icon added %lu ms after the window appeared\n", static_cast<unsigned long>(after));
    EXPECT_GE(after, 4000u);
    Sleep(6000); // no further attempts once it is there
    EXPECT_EQ(TrayAdds(w), 1u);
    EXPECT_TRUE(app.Running());
}

// TaskbarCreated puts the icon back whenever the instance has been in tray mode, also when the
// last attempt failed; a window that never went to the tray keeps out of the notification area.
TEST_F(TheTray, TaskbarCreatedAddsTheIconAgain) {
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    const struct {
        const wchar_t* args;
        unsigned refusals;
        UINT_PTR before, after;
    } cases[] = {{L"/tray", 0, 1, 2}, {L"/tray", 1, 0, 1}, {L"", 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "args \"" << c.args << "\", refusals " << c.refusals);
        const TRefusals refusals(c.refusals);
        TQuenvar app(c.args);
        HWND w = app.Window(*c.args == L'\0');
        ASSERT_NE(w, nullptr);
        Sleep(1000);
        EXPECT_EQ(TrayAdds(w), c.before);
        DWORD_PTR result = 0;
        ASSERT_NE(SendMessageTimeoutW(w, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 5000, &result), 0);
        EXPECT_EQ(TrayAdds(w), c.after);
        EXPECT_TRUE(app.Running());
    }
}

// The icon's notifications come in the form NOTIFYICON_VERSION_4 gives them: the event in the low
// word, the icon's identifier in the high word. A click on a balloon opens the window; the mouse
// merely passing over the icon does not.
TEST_F(TheTray, AClickOnABalloonOpensTheWindow) {
    TQuenvar app(L"/tray");
    HWND w = app.Window(false);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(WaitFor([&] { return TrayAdds(w) == 1; }, 5000));
    const UINT callback = WM_APP + 1;
    PostMessageW(w, callback, 0, MAKELPARAM(WM_MOUSEMOVE, 1));
    EXPECT_FALSE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 1000));
    PostMessageW(w, callback, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 1));
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 5000));
}

// The query is answered at once and changes nothing; the end itself ends the instance with exit
// code 0, after which a new instance takes the mutex.
TEST_F(TheTray, TheEndOfTheSessionEndsTheInstanceCleanly) {
    const struct {
        const wchar_t* args;
        DWORD reason;
    } cases[] = {{L"/tray", ENDSESSION_CLOSEAPP}, {L"", ENDSESSION_LOGOFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "args \"" << c.args << "\", reason " << c.reason);
        TQuenvar app(c.args);
        HWND w = app.Window(*c.args == L'\0');
        ASSERT_NE(w, nullptr);
        DWORD_PTR answer = 0;
        const DWORD asked = GetTickCount();
        ASSERT_NE(SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, static_cast<LPARAM>(c.reason), SMTO_ABORTIFHUNG, 5000,
                                      &answer),
                  0);
        EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
        EXPECT_LT(GetTickCount() - asked, 1000u);
        // A session end called off: the instance goes on.
        ASSERT_NE(SendMessageTimeoutW(w, WM_ENDSESSION, FALSE, static_cast<LPARAM>(c.reason), SMTO_ABORTIFHUNG, 5000,
                                      &answer),
                  0);
        EXPECT_FALSE(app.Ended(1000));

        SendMessageTimeoutW(w, WM_ENDSESSION, TRUE, static_cast<LPARAM>(c.reason), SMTO_ABORTIFHUNG, 5000, &answer);
        ASSERT_TRUE(app.Ended(5000));
        DWORD code = 1;
        EXPECT_TRUE(GetExitCodeProcess(app.Process(), &code));
        EXPECT_EQ(code, 0u);
        EXPECT_TRUE(MainWindows(app.Pid()).empty());

        TQuenvar next(L"/tray");
        EXPECT_NE(next.Window(false), nullptr);
        EXPECT_FALSE(next.Ended(1500));
    }
}

} // namespace
