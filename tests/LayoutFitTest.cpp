// The window on screens of several sizes, work areas and DPIs, and its labels at every DPI and
// text size. LayoutFit.sh runs this program once per screen, each time on an Xvfb of that size
// whose work area it sets, with a Wine server and a copy of the test prefix of its own. Every
// test belongs to one screen and skips itself on the others; the script checks that each test
// ran on its screen.
//
// Wine takes the DPI of a process from LogPixels when the process starts: the value under
// HKCU\Control Panel\Desktop when it is present and not 0, else the one under HKLM's
// Hardware Profiles\Current\Software\Fonts, else 96. The checks across processes start
// Quenvar.exe after setting it; the checks in this process lay a real window out for a DPI
// passed in.
#include "ComU.h"
#include "QVDateText.h"
#include "QVMainForm.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"
#include "UIDriver.h"
#include "WindowU.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

struct TScreen {
    const char* Name;
    int Width, Height;
    RECT Work; // as LayoutFit.sh sets it
};
// Task bars of 40 pixels at the bottom (100 %), 50 at the bottom (125 %), 32 at the top, none.
const TScreen kScreen1280{"1280x1024", 1280, 1024, {0, 0, 1280, 984}};
const TScreen kScreen1366{"1366x768", 1366, 768, {0, 0, 1366, 718}};
const TScreen kScreen1024{"1024x768", 1024, 768, {0, 32, 1024, 768}};
const TScreen kScreen640{"640x480", 640, 480, {0, 0, 640, 480}};
const TScreen kScreenLarge{"2560x1600", 2560, 1600, {0, 0, 2560, 1560}};

std::string Describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " - " + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

// Whether this run is on aScreen; there, its work area must be the one the script set.
bool OnScreen(const TScreen& aScreen) {
    if (GetSystemMetrics(SM_CXSCREEN) != aScreen.Width || GetSystemMetrics(SM_CYSCREEN) != aScreen.Height)
        return false;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(Describe(work), Describe(aScreen.Work)) << "the work area LayoutFit.sh set";
    return true;
}

// Every child window of aWindow lies in its client area.
void ExpectChildrenInside(HWND aWindow) {
    RECT client{};
    GetClientRect(aWindow, &client);
    for (HWND child = GetWindow(aWindow, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, aWindow, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_TRUE(RectInside(r, client)) << "control " << GetDlgCtrlID(child) << " at " << Describe(r)
                                           << " in a client area of " << client.right << " x " << client.bottom;
    }
}

// The window's rectangle lies in the work area, with as much room on either side.
void ExpectCentredIn(HWND aWindow, const RECT& aWork) {
    RECT window{};
    GetWindowRect(aWindow, &window);
    EXPECT_TRUE(RectInside(window, aWork)) << Describe(window) << " in " << Describe(aWork);
    EXPECT_NEAR(window.left - aWork.left, aWork.right - window.right, 1) << Describe(window);
    EXPECT_NEAR(window.top - aWork.top, aWork.bottom - window.bottom, 1) << Describe(window);
}

const wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
const wchar_t kFontsKey[] = L"System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts";
const wchar_t kAccessibilityKey[] = L"Software\\Microsoft\\Accessibility";

// Each test starts with no Quenvar running, today's hit recorded (so that no window contacts the
// service) and the level Optimal stored, and leaves the prefix's DPI and text size as they were
// made: LogPixels 96 in HKLM only, no text size setting.
class Fit : public testing::Test {
protected:
    void SetUp() override {
        StopRunningInstances();
        SYSTEMTIME now;
        GetLocalTime(&now);
        ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kStoreKey, L"LastHit", DateTimeToStoreText(now)));
        ASSERT_TRUE(WriteLevel(lOptimal));
    }
    void TearDown() override {
        StopRunningInstances();
        DeleteMachineLevel();
        DeleteRegValue(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels");
        WriteRegDWord(HKEY_LOCAL_MACHINE, kFontsKey, L"LogPixels", 96);
        DeleteRegValue(HKEY_CURRENT_USER, kAccessibilityKey, L"TextScaleFactor");
    }
};

struct TFitCase {
    const char* Name;
    const TScreen* Screen;
    std::optional<DWORD> LogPixels; // none: neither LogPixels value exists
    UINT LayoutDpi;                 // 0: reduced, below the screen's DPI
    bool WholeWorkArea;             // the work area is too small even at the least layout DPI
    bool Click;                     // press Apply and follow the level change
};

std::ostream& operator<<(std::ostream& aStream, const TFitCase& aCase) {
    return aStream << aCase.Name;
}

const TFitCase kFitCases[] = {
    {"Screen1280x1024At96", &kScreen1280, 96, 96, false, true},
    {"Screen1280x1024At120", &kScreen1280, 120, 120, false, true},
    {"Screen1280x1024At144", &kScreen1280, 144, 0, false, true},
    {"Screen1366x768At120", &kScreen1366, 120, 0, false, true},
    {"Screen1024x768At96", &kScreen1024, 96, 96, false, true},
    {"Screen640x480At144", &kScreen640, 144, kMinLayoutDpi, true, true},
    {"LogPixelsAbsent", &kScreen1280, std::nullopt, 96, false, false},
    {"LogPixels0", &kScreen1280, 0, 96, false, false},
    {"LogPixels1000", &kScreen1280, 1000, 96, false, false},
    {"LogPixelsFFFFFFFF", &kScreen1280, 0xFFFFFFFFu, 96, false, false},
};

class ScreenFit : public Fit, public testing::WithParamInterface<TFitCase> {};

TEST_P(ScreenFit, TheWindowFitsTheWorkAreaAndApplyWorks) {
    const TFitCase& c = GetParam();
    if (!OnScreen(*c.Screen))
        GTEST_SKIP() << "runs on the " << c.Screen->Name << " screen";
    if (c.LogPixels) {
        ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", static_cast<int>(*c.LogPixels)));
    } else {
        DeleteRegValue(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels");
        DeleteRegValue(HKEY_LOCAL_MACHINE, kFontsKey, L"LogPixels");
    }
    TUrlRecorder urls;
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);

    const RECT work = c.Screen->Work;
    RECT window{}, client{};
    GetWindowRect(w, &window);
    GetClientRect(w, &client);
    const RECT apply = ControlRect(w, idButApply);
    std::printf("%s: window %s, client %ld x %ld, Apply %ld x %ld\n", c.Name, Describe(window).c_str(), client.right,
                client.bottom, apply.right - apply.left, apply.bottom - apply.top);
    if (c.WholeWorkArea) {
        EXPECT_EQ(Describe(window), Describe(work));
    } else {
        ExpectCentredIn(w, work);
    }
    ExpectChildrenInside(w);

    // The layout's DPI shows in Apply's width, 79 pixels at 96 DPI; the window keeps the design's
    // proportions to it, and so does the header band, drawn 58 pixels high at 96 DPI.
    const LONG applyWidth = apply.right - apply.left;
    if (c.LayoutDpi) {
        EXPECT_EQ(applyWidth, ScaleToDpi(79, c.LayoutDpi));
    } else {
        EXPECT_LT(applyWidth, ScaleToDpi(79, UsableDpi(*c.LogPixels)));
        EXPECT_GE(applyWidth, ScaleToDpi(79, kMinLayoutDpi));
    }
    if (!c.WholeWorkArea) {
        EXPECT_NEAR(client.right * 79.0 / applyWidth, kClientWidth, kClientWidth / 50.0);
        const TScreenShot shot(w);
        const int header = static_cast<int>(58.0 * applyWidth / 79);
        EXPECT_EQ(shot.At(client.right / 2, header - 3), RGB(0x19, 0x79, 0xCA)) << "header";
        EXPECT_EQ(shot.At(client.right / 2, header + 3), GetSysColor(COLOR_BTNFACE)) << "below the header";
    }

    // Apply is enabled by a move of the slider, is what lies at its middle on the screen, and a
    // click there starts the level change: the window goes to the tray, the elevated SETLEVEL
    // stores the level and opens the protection page.
    MoveSlider(w, 0);
    ASSERT_TRUE(ApplyEnabled(w));
    POINT middle{(apply.left + apply.right) / 2, (apply.top + apply.bottom) / 2};
    ClientToScreen(w, &middle);
    EXPECT_EQ(WindowFromPoint(middle), GetDlgItem(w, idButApply));
    if (!c.Click)
        return;
    ClickAt(middle);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(w); }, 5000)) << "Apply did not take the click";
    EXPECT_TRUE(WaitFor([] { return ReadStoredLevel() == 2; }, 30000));
    const auto opened = urls.WaitForUrls(1);
    ASSERT_FALSE(opened.empty());
    EXPECT_NE(opened.back().find(L"/Protection.aspx"), std::wstring::npos);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenFit, testing::ValuesIn(kFitCases),
                         [](const testing::TestParamInfo<TFitCase>& anInfo) { return anInfo.param.Name; });

// At LogPixels 10000 Wine draws a caption taller than the screen, so no client area is left; the
// window must still come up within the work area. An icon loaded at Wine's icon size for that DPI
// (3333 pixels) would end the process: the X server refuses a window property that large.
TEST_F(Fit, AnAbsurdLogPixelsEndsNothing) {
    if (!OnScreen(kScreen1280))
        GTEST_SKIP() << "runs on the " << kScreen1280.Name << " screen";
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", 10000));
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    Sleep(500);
    EXPECT_TRUE(app.Running());
    RECT window{};
    GetWindowRect(w, &window);
    EXPECT_TRUE(RectInside(window, kScreen1280.Work)) << Describe(window);
    ExpectChildrenInside(w);
}

// The real window in this process, so that its controls' fonts can be measured with.
class InProcess : public Fit {
protected:
    void SetUp() override {
        Fit::SetUp();
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
        FForm.emplace();
        ASSERT_TRUE(FForm->Create());
        FForm->AfterCreate();
    }
    // The window goes before the running instances are stopped: it would count as one.
    void TearDown() override {
        FForm.reset();
        Fit::TearDown();
    }
    HWND Window() const { return FForm->Handle(); }
    static void SetTextScale(UINT aPercent) {
        ASSERT_TRUE(
            WriteRegDWord(HKEY_CURRENT_USER, kAccessibilityKey, L"TextScaleFactor", static_cast<int>(aPercent)));
    }

    TComScope FCom;
    std::optional<TMainForm> FForm;
};

// Each static text control's text, drawn as the control draws it in the control's own font, fits
// the control's client rectangle: no line is cut off at the bottom, no single-line text at the
// right.
void ExpectLabelsFit(HWND aWindow) {
    TWindowDC dc(aWindow);
    for (HWND child = GetWindow(aWindow, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[32] = L"";
        GetClassNameW(child, className, ARRAYSIZE(className));
        if (lstrcmpiW(className, WC_STATICW) != 0)
            continue;
        wchar_t text[1024] = L"";
        GetWindowTextW(child, text, ARRAYSIZE(text));
        RECT client{};
        GetClientRect(child, &client);
        const bool wraps = (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_LEFT;
        const TSelectObject font(dc.get(), reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
        RECT need{0, 0, client.right, 0};
        DrawTextW(dc.get(), text, -1, &need,
                  DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS | (wraps ? DT_WORDBREAK : DT_SINGLELINE));
        const int id = GetDlgCtrlID(child);
        EXPECT_LE(need.bottom, client.bottom)
            << "control " << id << " needs " << need.bottom << " of " << client.bottom << " pixels";
        EXPECT_LE(need.right, client.right) << "control " << id;
    }
}

TEST_F(InProcess, EveryLabelFitsItsTextAtEachDpiAndTextSize) {
    if (!OnScreen(kScreenLarge))
        GTEST_SKIP() << "runs on the " << kScreenLarge.Name << " screen";
    for (UINT dpi : {96u, 120u, 144u}) {
        for (UINT scale : {100u, 150u, 225u}) {
            SCOPED_TRACE(testing::Message() << dpi << " DPI, text at " << scale << " %");
            SetTextScale(scale);
            FForm->FitToMonitor(dpi);
            if (scale == 100) {
                EXPECT_EQ(FForm->LayoutDpi(), dpi) << "the window fits this screen as it is";
            }
            for (TLevel level : {lOff, lOptimal, lMax}) {
                SCOPED_TRACE(testing::Message() << "level " << int(level));
                FForm->SetLevel(level);
                ExpectLabelsFit(Window());
            }
            ExpectChildrenInside(Window());
            ExpectCentredIn(Window(), kScreenLarge.Work);
        }
    }
}

// WM_GETDPISCALEDSIZE and WM_DPICHANGED arrive when the window moves to a monitor of another DPI;
// Wine has one DPI for every monitor and never sends them, so they are sent here.
TEST_F(InProcess, ADpiChangeKeepsASuggestionThatFitsAndFitsTheWindowOtherwise) {
    if (!OnScreen(kScreen1280))
        GTEST_SKIP() << "runs on the " << kScreen1280.Name << " screen";
    const RECT work = kScreen1280.Work;
    FForm->FitToMonitor(96);
    ASSERT_EQ(FForm->LayoutDpi(), 96u);

    // At 144 DPI the layout is wider than 1280 pixels: the size asked for is a reduced one.
    SIZE asked{0, 0};
    EXPECT_EQ(SendMessageW(Window(), 0x02E4 /* WM_GETDPISCALEDSIZE */, 144, reinterpret_cast<LPARAM>(&asked)), TRUE);
    EXPECT_LE(asked.cx, work.right - work.left);
    EXPECT_LE(asked.cy, work.bottom - work.top);
    EXPECT_GT(asked.cx, ScaleToDpi(kClientWidth, 120));
    EXPECT_EQ(FForm->LayoutDpi(), 96u) << "asking changes nothing";

    const LONG top = work.top + (work.bottom - work.top - asked.cy) / 2;
    const struct {
        const char* name;
        UINT dpi;
        RECT suggested;
        bool kept;
        UINT layoutDpi; // 0: reduced below the DPI
    } cases[] = {
        {"a suggestion of the asked size in the work area", 144, {0, top, asked.cx, top + asked.cy}, true, 0},
        {"a suggestion off the screen", 120, {-400, 500, -400 + 1200, 500 + 900}, false, 120},
        {"a suggestion smaller than the layout", 144, {100, 100, 500, 400}, false, 0},
        {"an unusable DPI", 1000, {0, 0, 5000, 5000}, false, 96},
        {"back at 96, a suggestion larger than needed", 96, {10, 10, 10 + 950, 10 + 800}, true, 96},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SendMessageW(Window(), WM_DPICHANGED, MAKEWPARAM(c.dpi, c.dpi), reinterpret_cast<LPARAM>(&c.suggested));
        if (c.layoutDpi) {
            EXPECT_EQ(FForm->LayoutDpi(), c.layoutDpi);
        } else {
            EXPECT_LT(FForm->LayoutDpi(), c.dpi);
            EXPECT_GE(FForm->LayoutDpi(), kMinLayoutDpi);
        }
        RECT window{};
        GetWindowRect(Window(), &window);
        if (c.kept) {
            EXPECT_EQ(Describe(window), Describe(c.suggested));
        } else {
            ExpectCentredIn(Window(), work);
        }
        ExpectChildrenInside(Window());
        ExpectLabelsFit(Window());
    }
}

// WM_DISPLAYCHANGE, and WM_SETTINGCHANGE for the work area or the text size: a window that still
// fits as it is stays; one that does not is fitted and centred again.
TEST_F(InProcess, DisplayAndSettingChangesKeepTheWindowInTheWorkArea) {
    if (!OnScreen(kScreen1280))
        GTEST_SKIP() << "runs on the " << kScreen1280.Name << " screen";
    const RECT work = kScreen1280.Work;
    FForm->FitToMonitor(96);
    RECT fitted{};
    GetWindowRect(Window(), &fitted);
    const LONG width = fitted.right - fitted.left, height = fitted.bottom - fitted.top;
    auto moveTo = [&](LONG aLeft, LONG aTop) {
        SetWindowPos(Window(), nullptr, aLeft, aTop, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    };
    auto windowRect = [&] {
        RECT r{};
        GetWindowRect(Window(), &r);
        return r;
    };

    moveTo(10, 40);
    SendMessageW(Window(), WM_DISPLAYCHANGE, 24, MAKELPARAM(1280, 1024));
    EXPECT_EQ(Describe(windowRect()), Describe({10, 40, 10 + width, 40 + height})) << "still fits: stays";

    moveTo(900, 700);
    SendMessageW(Window(), WM_DISPLAYCHANGE, 24, MAKELPARAM(1280, 1024));
    ExpectCentredIn(Window(), work);

    moveTo(-200, 0);
    SendMessageW(Window(), WM_SETTINGCHANGE, SPI_SETWORKAREA, 0);
    ExpectCentredIn(Window(), work);

    // Text at 150 %: laid out anew, taller, every label whole, and still inside the work area.
    SetTextScale(150);
    SendMessageW(Window(), WM_SETTINGCHANGE, 0, 0);
    RECT client{};
    GetClientRect(Window(), &client);
    EXPECT_GT(client.bottom, height);
    ExpectCentredIn(Window(), work);
    ExpectChildrenInside(Window());
    ExpectLabelsFit(Window());
}

} // namespace
