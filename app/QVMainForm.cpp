#include "QVMainForm.h"

#include "QVDateText.h"
#include "QVMachine.h"
#include "QVSupport.h"
#include "QVUpdate.h"

#include "../lib/ComU.h"
#include "../lib/FallbackU.h"
#include "../lib/FileU.h"
#include "../lib/ImageU.h"
#include "../lib/PlatformU.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace {

const wchar_t kLastBalloonValue[] = L"LastBaloon";

const COLORREF kHeaderColour = RGB(0x19, 0x79, 0xCA);
const COLORREF kTitleColour = RGB(0x00, 0x33, 0x99);
const COLORREF kLinkColour = RGB(0x00, 0x66, 0xCC);

const UINT kTrayCallback = WM_APP + 1;
const UINT kTrayId = 1;
const UINT_PTR kTimerId = 1;
const UINT kTimerInterval = 600000;
const UINT kBalloonTimeout = 10000;
// Runs the first drift check, and the check after a burst of registry changes (TDriftPolicy).
const UINT_PTR kDriftTimerId = 2;
// Polls the SETLEVEL process Apply started.
const UINT_PTR kLevelProcessTimerId = 4;
const UINT kLevelProcessInterval = 250;
// Window properties other processes (the UI tests) read: checks run, drift balloons shown.
const wchar_t kChecksProperty[] = L"QV_DriftChecks";
const wchar_t kWarningsProperty[] = L"QV_DriftWarnings";
// Retries adding the icon the shell refused (TrayRetryDelay).
const UINT_PTR kTrayRetryTimerId = 3;
// Window property for the tests: how often the icon was put into the notification area.
const wchar_t kTrayAddsProperty[] = L"QV_TrayAdds";
// The tests' seam: the first n additions of the icon are refused as if by the shell, as Explorer
// refuses them while it is still starting at logon. Never set outside the tests.
const wchar_t kTrayRefusalsVariable[] = L"QUENVAR_TEST_TRAY_REFUSALS";
// A tray instance closed by an installer comes back; after a crash, a hang or a reboot the Run
// value and the user start it.
const DWORD kRestartFlags = RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT;

const DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

// Sent before WM_DPICHANGED to ask for the window's size at the new DPI (Windows 10 1703 and
// later); the SDK headers define it only for that target.
const UINT kGetDpiScaledSize = 0x02E4;

const DWORD kLabel = WS_CHILD | WS_VISIBLE | SS_NOPREFIX;
const DWORD kAutoLabel = kLabel | SS_LEFTNOWORDWRAP;
const DWORD kWrapLabel = kLabel | SS_LEFT;

struct TControlKind {
    int Id;
    const wchar_t* Class;
    DWORD Style;
    TFontKind Font;
    const wchar_t* Text; // until FormCreate and the level fill in the run-time texts
};

const TControlKind kControls[] = {
    {idTitleSecLevel, WC_STATICW, kAutoLabel, fkTitle, L""},
    {idTitleSecLevelEx, WC_STATICW, kWrapLabel, fkLabel, L""},
    {idTitleSecLevelUnder, WC_STATICW, (kAutoLabel & ~WS_VISIBLE) | SS_NOTIFY, fkLink, L""},
    {idTitleLevelMax, WC_STATICW, kAutoLabel, fkLabel, L"Maximum Protection"},
    {idTitleLevelOff, WC_STATICW, kAutoLabel, fkLabel, L"Switched Off"},
    {idTrackBar1, TRACKBAR_CLASSW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | TBS_VERT | TBS_BOTH | TBS_AUTOTICKS, fkForm,
     L""},
    {idTitleLevel, WC_STATICW, kAutoLabel, fkLevel, L""},
    {idLevelNote1, WC_STATICW, kWrapLabel, fkLabel, L""},
    {idLevelNote2, WC_STATICW, kWrapLabel, fkLabel, L""},
    {idLevelNote3, WC_STATICW, kWrapLabel, fkLabel, L""},
    {idLevelNote4, WC_STATICW, kWrapLabel, fkLabel, L""},
    {idTitleShare, WC_STATICW, kAutoLabel | SS_NOTIFY, fkLink, L""},
    {idButApply, WC_BUTTONW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, fkForm, L"Apply"},
    {idRestartNote, WC_STATICW, kAutoLabel & ~WS_VISIBLE, fkLabel, L""},
    {idStatusLine, WC_STATICW, kAutoLabel & ~WS_VISIBLE, fkLabel, L""},
    {idStatusDetails, WC_STATICW, (kAutoLabel & ~WS_VISIBLE) | SS_NOTIFY, fkLink, L"Details"},
};

TFontKind FontOf(int anId) noexcept {
    for (const TControlKind& c : kControls)
        if (c.Id == anId)
            return c.Font;
    return fkForm;
}

const wchar_t kSecLevelText[] =
    L"Set the desired security level for surveillance and other intrusions of your Internet "
    L"Explorer web browsing and private communications. Changed settings will require "
    L"your web browser to be restarted for changes to take affect.";

const TLevelTexts kLevelTexts[3] = {
    {L"Quenvar is switched off",
     {L"Insufficient cryptography can make your online banking, shopping or private communications more "
      L"vulnerable to abuse.",
      L"Less protected online communication is easier to crack by hackers, placing your personally identifiable "
      L"information at risk.",
      L"Allowing all TLS/SSL cipher suites including weaker ones for online communication can cause a security "
      L"intrusion risk.",
      L"No blocking of website communication can cause a security intrusion risk."}},
    {L"Optimal protection",
     {L"Communication security is improved to a sufficient level. Browsing and private communication is safe in "
      L"most instances.",
      L"The possibility of hackers cracking online encryption is very low.",
      L"Weak and unsecured TLS/SSL cipher suites will be blocked.",
      L"This setting blocks all websites that have low or do not meet current security encryption standards and "
      L"will not affect pages reported to be safe. "}},
    {L"Maximum protection",
     {L"This level provides our maximum security and Internet privacy for your online banking, shopping and "
      L"private communications.",
      L"The possibility of hackers or intrusive entities cracking maximum online encryption is extremely minimal.",
      L"Only the most secured TLS/SSL cipher suites can be used for online communication.",
      L"This setting blocks all websites that have less than the highest security standard, and in some cases, may "
      L"block pages reported to be safe."}},
};

const TReminderRule kReminderOff{L"Protect your online communication.", NIIF_WARNING, 48};
const TReminderRule kReminderOn{L"Your online communications are protected.", NIIF_INFO, 96};

// Local time as a count of milliseconds; false for a date the calendar does not have.
bool ToMilliseconds(const SYSTEMTIME& aTime, std::int64_t& aMs) noexcept {
    FILETIME ft;
    if (!SystemTimeToFileTime(&aTime, &ft))
        return false;
    aMs = static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000;
    return true;
}

// The executable's file name without its extension: the application's title.
std::wstring ApplicationTitle() {
    std::wstring name = GetAppFileName();
    name.erase(0, name.find_last_of(L"\\/:") + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0)
        name.resize(dot);
    return name.empty() ? std::wstring(kMainWindowCaption) : name;
}

void OpenWebPage(const std::wstring& aPage) noexcept {
    IgnoringFailure("OpenWebPage", [&] {
        const std::wstring address = kProductWebsite + aPage;
        const TComScope com(kShellComFlags);
        ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    });
}

void CopyText(wchar_t* aDest, size_t aCapacity, const wchar_t* aText) noexcept {
    lstrcpynW(aDest, aText, static_cast<int>(aCapacity));
}

// A function of a system DLL the process has loaded already, or null where the system lacks it.
template <typename F> F LoadedProc(const wchar_t* aModule, const char* aName) noexcept {
    const HMODULE module = GetModuleHandleW(aModule);
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, aName))) : nullptr;
}

unsigned TrayRefusalsFromEnvironment() noexcept {
    wchar_t text[16] = L"";
    const DWORD length = GetEnvironmentVariableW(kTrayRefusalsVariable, text, ARRAYSIZE(text));
    return length > 0 && length < ARRAYSIZE(text) ? static_cast<unsigned>(wcstoul(text, nullptr, 10)) : 0;
}

// NIM_ADD, unless kTrayRefusalsVariable asks for a refusal still.
bool AddNotifyIcon(NOTIFYICONDATAW& aData) noexcept {
    static unsigned refusals = TrayRefusalsFromEnvironment();
    if (refusals > 0) {
        --refusals;
        return false;
    }
    return Shell_NotifyIconW(NIM_ADD, &aData) != FALSE;
}

// The system's warning icon at aSize pixels, owned by the caller. LoadIconWithScaleDown (comctl32 6,
// Vista and later) scales a larger image down; LoadImageW, where it is missing, scales the nearest.
// Neither hands out the one shared copy that LR_SHARED keeps at the size first asked for.
TUniqueIcon LoadWarningIcon(SIZE aSize) noexcept {
    using TLoadIconWithScaleDown = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);
    static const auto loadScaled = LoadedProc<TLoadIconWithScaleDown>(L"comctl32.dll", "LoadIconWithScaleDown");
    TUniqueIcon icon;
    if (loadScaled && SUCCEEDED(loadScaled(nullptr, IDI_WARNING, aSize.cx, aSize.cy, icon.put())) && icon)
        return icon;
    icon.reset(static_cast<HICON>(LoadImageW(nullptr, IDI_WARNING, IMAGE_ICON, aSize.cx, aSize.cy, 0)));
    return icon;
}

void CountInProperty(HWND aWnd, const wchar_t* aProperty) noexcept {
    const auto count = reinterpret_cast<UINT_PTR>(GetPropW(aWnd, aProperty));
    SetPropW(aWnd, aProperty, reinterpret_cast<HANDLE>(count + 1));
}

} // namespace

const TLevelTexts& LevelTexts(TLevel aLevel) noexcept {
    return kLevelTexts[ClampLevel(aLevel)];
}

TLevel LevelAtPosition(int aPosition) noexcept {
    if (aPosition <= 0)
        return lMax;
    if (aPosition >= 2)
        return lOff;
    return lOptimal;
}

const TReminderRule& ReminderRuleFor(TLevel aLevel) noexcept {
    return aLevel == lOff ? kReminderOff : kReminderOn;
}

DWORD BalloonFlags(TBalloonKind aKind, DWORD anIcon, BYTE aWinVersionClass) noexcept {
    DWORD flags = anIcon;
    if (aWinVersionClass >= 9)
        flags |= NIIF_LARGE_ICON;
    if (aKind == bkReminder && aWinVersionClass >= 11)
        flags |= NIIF_RESPECT_QUIET_TIME;
    return flags;
}

UINT TrayRetryDelay(unsigned aFailures) noexcept {
    return aFailures <= 24 ? 5000 : 60000;
}

bool ReminderDue(TLevel aLevel, const std::wstring& aLastText, const SYSTEMTIME& aNow) noexcept {
    return ResultOr<bool>("ReminderDue", true, [&]() -> bool {
        if (aLastText.empty())
            return true;
        const std::optional<SYSTEMTIME> last = StoreTextToDateTime(aLastText);
        std::int64_t lastMs = 0, nowMs = 0;
        if (!last || !ToMilliseconds(*last, lastMs))
            return true;
        if (!ToMilliseconds(aNow, nowMs))
            return false;
        const std::int64_t distance = nowMs >= lastMs ? nowMs - lastMs : lastMs - nowMs;
        return distance / 3600000 >= static_cast<std::int64_t>(ReminderRuleFor(aLevel).GapHours);
    });
}

TMainForm::TMainForm() = default;

TMainForm::~TMainForm() {
    DestroyWnd();
}

bool TMainForm::Create() noexcept {
    return ResultOr<bool>("TMainForm.Create", false, [&]() -> bool {
        FAppTitle = ApplicationTitle();
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        // Icon sizes for a usable DPI: Wine hands on whatever LogPixels says, and an icon of
        // thousands of pixels would not even fit into the X server's window property.
        const UINT dpi = WindowDpi(nullptr);
        auto icon = [&](int aWidthMetric, int aHeightMetric) {
            return TUniqueIcon(
                static_cast<HICON>(LoadImageW(instance, L"MAINICON", IMAGE_ICON, SystemMetricForDpi(aWidthMetric, dpi),
                                              SystemMetricForDpi(aHeightMetric, dpi), 0)));
        };
        FIconLarge = icon(SM_CXICON, SM_CYICON);
        FIconSmall = icon(SM_CXSMICON, SM_CYSMICON);

        WNDCLASSEXW wc{};
        wc.hInstance = instance;
        wc.hIcon = FIconLarge.get();
        wc.hIconSm = FIconSmall.get();
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kMainWindowClass;
        return CreateWnd(wc, 0, kMainWindowCaption, kStyle);
    });
}

void TMainForm::AfterCreate() noexcept {
    EnableWindow(Control(idButApply), FALSE);
}

void TMainForm::FormCreate() {
    SetWindowTextW(Handle(), kMainWindowCaption);
    FCloseState = csUI;
    FRefresh = true;
    CreateControls();
    SetDlgItemTextW(Handle(), idTitleSecLevel, L"Select Security Level");
    SetDlgItemTextW(Handle(), idTitleSecLevelEx, kSecLevelText);
    SetDlgItemTextW(Handle(), idTitleSecLevelUnder, L"Learn more");
    SetDlgItemTextW(Handle(), idTitleShare, L"Recommend this app");
    SetDlgItemTextW(Handle(), idRestartNote, L"Some changes take effect after the next restart");
    FitToMonitor(WindowDpi(Handle()));
    WMMain = RegisterWindowMessageW(kMainWindowMessage);
    // Should this window run elevated, UIPI drops messages from normal processes: the shell's
    // TaskbarCreated and a second start's show request still come through.
    for (const UINT message : {FTaskbarCreated, WMMain})
        if (message != 0)
            ChangeWindowMessageFilterEx(Handle(), message, MSGFLT_ALLOW, nullptr);
    RefreshLevel();
    // The watch starts, and the first check runs, once the window is up: neither adds to the start-up.
    SetTimer(Handle(), kDriftTimerId, USER_TIMER_MINIMUM, nullptr);
    // The daily hit and update check: blocks this thread for the HTTP exchange, never raises.
    CheckForUpdate();
}

void TMainForm::CreateControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    for (const TControlKind& c : kControls)
        CreateWindowExW(0, c.Class, c.Text, c.Style, 0, 0, 0, 0, Handle(),
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.Id)), instance, nullptr);
    HWND trackBar = Control(idTrackBar1);
    SendMessageW(trackBar, TBM_SETRANGE, FALSE, MAKELPARAM(0, 2));
    SendMessageW(trackBar, TBM_SETPAGESIZE, 0, 1);
    SendMessageW(trackBar, TBM_SETLINESIZE, 0, 1);

    FMenuTray.reset(CreatePopupMenu());
    AppendMenuW(FMenuTray.get(), MF_STRING, idN1, L"Open Quenvar");
    AppendMenuW(FMenuTray.get(), MF_STRING, idN2, L"Visit the Quenvar website");
    AppendMenuW(FMenuTray.get(), MF_STRING, idHelp1, L"Help");
    AppendMenuW(FMenuTray.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(FMenuTray.get(), MF_STRING, idN4, L"Exit");
    SetMenuDefaultItem(FMenuTray.get(), idN1, FALSE);

    SetTimer(Handle(), kTimerId, kTimerInterval, nullptr);
}

TFontSet TMainForm::MakeFonts(UINT aDpi) const {
    // Heights in pixels at 96 DPI and 100 % text size.
    static const struct {
        int Height, Weight;
        bool Underline;
    } kFonts[fkCount] = {{-11, FW_NORMAL, false},
                         {-16, FW_NORMAL, false},
                         {-16, FW_NORMAL, true},
                         {-21, FW_BOLD, false},
                         {-17, FW_BOLD, false}};
    TFontSet set;
    for (int kind = 0; kind < fkCount; ++kind) {
        const int height = MulDiv(kFonts[kind].Height, static_cast<int>(aDpi * FTextScale),
                                  static_cast<int>(USER_DEFAULT_SCREEN_DPI * 100));
        set.Fonts[kind].reset(CreateFontW(height, 0, 0, 0, kFonts[kind].Weight, FALSE, kFonts[kind].Underline, FALSE,
                                          ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                          DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
    }
    return set;
}

// The control's text in the control's font; with aLargest, for the level's headline and notes, the
// largest of every level's.
SIZE TMainForm::MeasureControl(HDC aDC, const TFontSet& aFonts, int anId, int aWrapWidth, bool aLargest) const {
    std::vector<std::wstring> texts;
    if (aLargest && (anId == idTitleLevel || (anId >= idLevelNote1 && anId <= idLevelNote4))) {
        for (TLevel level : {lOff, lOptimal, lMax})
            texts.emplace_back(anId == idTitleLevel ? LevelTexts(level).Title
                                                    : LevelTexts(level).Notes[anId - idLevelNote1]);
    } else if (aLargest && anId == idStatusLine) {
        // The line's text changes with every check: room is kept for its longest forms.
        texts.push_back(StatusLineText(lOptimal, 999, 0, L"00:00"));
        texts.push_back(StatusLineText(lOptimal, 999, 999, L"00:00"));
    } else {
        HWND control = Control(anId);
        std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
        text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
        texts.push_back(std::move(text));
    }
    SIZE extent{0, 0};
    for (const std::wstring& text : texts) {
        const SIZE size = MeasureText(aDC, aFonts.Get(FontOf(anId)), text, aWrapWidth);
        extent.cx = std::max(extent.cx, size.cx);
        extent.cy = std::max(extent.cy, size.cy);
    }
    return extent;
}

// The layout's measure: texts in aFonts on aDC, both of which must outlive it.
TTextMeasure TMainForm::MeasureWith(HDC aDC, const TFontSet& aFonts) const {
    return [this, aDC, &aFonts](int anId, int aWrapWidth, bool aLargest) {
        return MeasureControl(aDC, aFonts, anId, aWrapWidth, aLargest);
    };
}

// FitMainForm with the window's fonts; the fonts made for the DPI it chooses come with the fit.
TMainForm::TFit TMainForm::ComputeFit(UINT aDpi, SIZE aFrame, const RECT& aWork) const {
    const TWindowDC dc(Handle());
    std::map<UINT, TFontSet> tried;
    TFormFit fit = FitMainForm(aDpi, aFrame, aWork, [&](UINT aLayoutDpi) {
        auto fonts = tried.find(aLayoutDpi);
        if (fonts == tried.end())
            fonts = tried.emplace(aLayoutDpi, MakeFonts(aLayoutDpi)).first;
        return MeasureWith(dc.get(), fonts->second);
    });
    TFit result;
    result.Fonts = std::move(tried[fit.Layout.Dpi]);
    result.Layout = std::move(fit.Layout);
    result.Window = fit.Window;
    return result;
}

// Takes aFit's fonts and layout and gives the window aWindow in the work area aWork; the fonts
// replaced go only after the controls have let go of them. Should the system not give the window
// that size, the window is centred with the size it got, so that it still lies in the work area
// wherever it can.
void TMainForm::Adopt(TFit&& aFit, const RECT& aWindow, const RECT& aWork) {
    const TFontSet replaced = std::exchange(FFonts, std::move(aFit.Fonts));
    FLayout = std::move(aFit.Layout);
    SetWindowPos(Handle(), nullptr, aWindow.left, aWindow.top, aWindow.right - aWindow.left,
                 aWindow.bottom - aWindow.top, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT placed{};
    GetWindowRect(Handle(), &placed);
    if (!RectInside(placed, aWork)) {
        const RECT centred = CentredRect(SIZE{placed.right - placed.left, placed.bottom - placed.top}, aWork);
        SetWindowPos(Handle(), nullptr, centred.left, centred.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    PlaceControls(true);
}

// Lays the controls out in the client area the window really has, which is the layout's own size
// unless the work area cut the window down. With aNewFonts the controls take the fonts and the
// whole window is drawn again; otherwise only the level's rows can have moved, so only the level
// box is.
void TMainForm::PlaceControls(bool aNewFonts) {
    RECT client{};
    GetClientRect(Handle(), &client);
    const TWindowDC dc(Handle());
    FLayout = LayoutMainForm(FLayout.Dpi, MeasureWith(dc.get(), FFonts), SIZE{client.right, client.bottom});
    for (const TControlPlace& p : FLayout.Controls) {
        HWND control = Control(p.Id);
        if (aNewFonts)
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFonts.Get(FontOf(p.Id))), FALSE);
        SetWindowPos(control, nullptr, p.Rect.left, p.Rect.top, p.Rect.right - p.Rect.left, p.Rect.bottom - p.Rect.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RedrawWindow(Handle(), aNewFonts ? nullptr : &FLayout.LevelBox, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TMainForm::FitToMonitor(UINT aDpi) noexcept {
    IgnoringFailure("TMainForm.FitToMonitor", [&] {
        FTextScale = TextScalePercent();
        const RECT work = WorkAreaOf(Handle());
        TFit fit = ComputeFit(aDpi, WindowFrameSize(Handle()), work);
        const RECT window = CentredRect(fit.Window, work);
        Adopt(std::move(fit), window, work);
    });
}

// The display's resolution, the work area or the text size changed: a window that no longer fits,
// or would now be laid out at another size, is fitted again and centred; one that still fits as it
// is stays where the user put it.
void TMainForm::DisplayChanged() noexcept {
    IgnoringFailure("TMainForm.DisplayChanged", [&] {
        FTextScale = TextScalePercent();
        const RECT work = WorkAreaOf(Handle());
        TFit fit = ComputeFit(WindowDpi(Handle()), WindowFrameSize(Handle()), work);
        RECT now{};
        GetWindowRect(Handle(), &now);
        const RECT window = RefittedWindowRect(now, fit.Window, work);
        Adopt(std::move(fit), window, work);
    });
}

// The window moved to a monitor of another DPI, or that monitor's DPI changed. The rectangle the
// system suggests is kept when it lies in that monitor's work area and holds the layout;
// otherwise the window is fitted and centred there.
void TMainForm::DpiChanged(UINT aDpi, const RECT& aSuggested) noexcept {
    IgnoringFailure("TMainForm.DpiChanged", [&] {
        const RECT work = WorkAreaOf(aSuggested);
        // The frame the system draws at the new DPI: the window's own is still the old one's.
        TFit fit = ComputeFit(aDpi, WindowSizeForClient(0, 0, kStyle, 0, aDpi), work);
        const RECT window = DpiChangedWindowRect(aSuggested, fit.Window, work);
        Adopt(std::move(fit), window, work);
    });
}

// The size the window will ask for at aDpi on the monitor it is on, so that the rectangle the
// system suggests with WM_DPICHANGED already holds the layout.
bool TMainForm::DpiScaledSize(UINT aDpi, SIZE& aSize) const noexcept {
    return ResultOr<bool>("TMainForm.DpiScaledSize", false, [&]() -> bool {
        aSize = ComputeFit(aDpi, WindowSizeForClient(0, 0, kStyle, 0, aDpi), WorkAreaOf(Handle())).Window;
        return true;
    });
}

void TMainForm::Paint() {
    const TPaintDC paint(Handle());
    if (!paint)
        return;
    const HDC dc = paint.get();
    TUniqueGdiObject headerBrush(CreateSolidBrush(kHeaderColour));
    FillRect(dc, &FLayout.Header, static_cast<HBRUSH>(headerBrush.get()));
    FLogo.Draw(dc, FLayout.Logo);

    // The level box's flat frame and the footer's top edge.
    FrameRect(dc, &FLayout.LevelBox, GetSysColorBrush(COLOR_BTNSHADOW));
    FillRect(dc, &FLayout.FooterEdge, GetSysColorBrush(COLOR_BTNSHADOW));
    {
        const TSelectObject brush(dc, GetStockObject(BLACK_BRUSH));
        const TSelectObject pen(dc, GetStockObject(BLACK_PEN));
        for (const RECT& b : FLayout.Bullets)
            if (b.bottom > b.top)
                Ellipse(dc, b.left, b.top, b.right, b.bottom);
    }
    FShare.Draw(dc, FLayout.Share);
}

void TMainForm::SetMode(TMode aValue) noexcept {
    FMode = aValue;
    if (aValue == mNormal)
        ShowNormal();
    else
        ShowTray();
}

void TMainForm::SetLevel(TLevel aValue) noexcept {
    IgnoringFailure("TMainForm.SetLevel", [&] {
        FLevel = ClampLevel(aValue);
        const TLevelTexts& texts = LevelTexts(FLevel);
        SetDlgItemTextW(Handle(), idTitleLevel, texts.Title);
        for (int i = 0; i < 4; ++i)
            SetDlgItemTextW(Handle(), idLevelNote1 + i, texts.Notes[i]);
        // The rows follow their new texts; the window's size holds every level's already.
        if (FFonts.Get(fkForm))
            PlaceControls(false);
    });
}

void TMainForm::RefreshLevel() noexcept {
    SetLevel(ReadLevel());
    SendMessageW(Control(idTrackBar1), TBM_SETPOS, TRUE, SliderPosition(FLevel));
    ShowRestartNote(PendingRestartNeeds());
}

void TMainForm::ShowNormal() noexcept {
    if (FRefresh)
        RefreshLevel();
    ShowWindow(Handle(), SW_SHOWNORMAL);
    SetForegroundWindow(Handle());
    UpdateDriftView();
    AnnounceDrift();
}

void TMainForm::ShowTray() noexcept {
    ShowWindow(Handle(), SW_HIDE);
    if (!FTrayWanted) {
        FTrayWanted = true;
        RegisterRestart();
    }
    if (!FTrayVisible)
        AddTrayIcon();
    if (FRefresh)
        RefreshLevel();
    EnableWindow(Control(idButApply), FALSE);
    AnnounceDrift();
}

void TMainForm::TrackBar1Change() noexcept {
    const TLevel shown = LevelAtPosition(static_cast<int>(SendMessageW(Control(idTrackBar1), TBM_GETPOS, 0, 0)));
    HWND apply = Control(idButApply);
    if (shown != FLevel && !IsWindowEnabled(apply))
        EnableWindow(apply, TRUE);
    SetLevel(shown);
}

void TMainForm::ButApplyClick() noexcept {
    // The window closes whether or not the level process could be started.
    IgnoringFailure("TMainForm.ButApplyClick", [&] {
        const std::wstring parameters = L"/SETLEVEL \"" + std::to_wstring(static_cast<int>(FLevel)) + L"\"";
        const std::wstring exe = GetAppFileName();
        const TComScope com(kShellComFlags);
        FLevelProcess = ShellExecuteForProcess(GetWinVersionClass() < 9 ? L"open" : L"runas", exe, parameters);
        FAppliedLevel = FLevel;
        if (FLevelProcess)
            SetTimer(Handle(), kLevelProcessTimerId, kLevelProcessInterval, nullptr);
    });
    SendMessageW(Handle(), WM_CLOSE, 0, 0);
}

void TMainForm::FormClose() noexcept {
    if (FCloseState == csUI)
        SetMode(mTray);
    else
        DestroyWindow(Handle());
}

void TMainForm::TitleSecLevelUnderClick() noexcept {
    OpenWebPage(std::wstring());
}

void TMainForm::ImgShareClick() noexcept {
    OpenWebPage(L"Share.aspx");
}

void TMainForm::TrayIconClick() noexcept {
    SetMode(mNormal);
}

void TMainForm::N1Click() noexcept {
    SetMode(mNormal);
}

void TMainForm::N2Click() noexcept {
    OpenWebPage(std::wstring());
}

void TMainForm::Help1Click() noexcept {
    OpenWebPage(L"faq.aspx");
}

void TMainForm::N4Click() noexcept {
    FCloseState = csApp;
    SendMessageW(Handle(), WM_CLOSE, 0, 0);
}

// An icon the shell refused at the last attempt.
void TMainForm::TrayRetryTimer() noexcept {
    KillTimer(Handle(), kTrayRetryTimerId);
    if (FTrayWanted && !FTrayVisible && AddTrayIcon())
        AnnounceDrift();
}

// A click on either balloon asks about the protection the window shows.
void TMainForm::BalloonClick() noexcept {
    SetMode(mNormal);
}

// Logoff, shutdown or an installer's Restart Manager: the icon goes, the message loop ends and
// the instance lets go of its mutex, without asking anything.
void TMainForm::EndSession() noexcept {
    FCloseState = csApp;
    DestroyWindow(Handle());
}

void TMainForm::Timer1Timer() noexcept {
    CheckDrift();
    IgnoringFailure("TMainForm.Timer1Timer", [&] { CheckReminder(); });
}

void TMainForm::CheckReminder() {
    // While settings differ, "protected" would be untrue; the warning for Off stays.
    if (FLevel != lOff && Drifting())
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (!ReminderDue(FLevel, ReadStoreString(kLastBalloonValue), now))
        return;
    const TReminderRule& rule = ReminderRuleFor(FLevel);
    ShowBalloon(bkReminder, rule.Text, rule.IconFlag);
    WriteStoreString(kLastBalloonValue, DateTimeToStoreText(now));
}

NOTIFYICONDATAW TMainForm::TrayData(UINT aFlags) const noexcept {
    NOTIFYICONDATAW data{};
    // Systems before Vista reject the record's full size.
    data.cbSize = GetWinVersionClass() >= 9 ? sizeof(data) : NOTIFYICONDATAW_V3_SIZE;
    data.hWnd = Handle();
    data.uID = kTrayId;
    data.uFlags = aFlags;
    return data;
}

// A NIM_ADD that timed out in a busy shell can still have added the icon, and a second NIM_ADD of
// it fails for good: an icon the shell accepts a modification for is there.
bool TMainForm::AddTrayIcon() noexcept {
    NOTIFYICONDATAW data = TrayData(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
    data.uCallbackMessage = kTrayCallback;
    data.hIcon = FIconSmall.get();
    CopyText(data.szTip, ARRAYSIZE(data.szTip), FAppTitle.c_str());
    if (!AddNotifyIcon(data) && !Shell_NotifyIconW(NIM_MODIFY, &data)) {
        ++FTrayFailures;
        SetTimer(Handle(), kTrayRetryTimerId, TrayRetryDelay(FTrayFailures), nullptr);
        return false;
    }
    KillTimer(Handle(), kTrayRetryTimerId);
    FTrayFailures = 0;
    FTrayVisible = true;
    CountInProperty(Handle(), kTrayAddsProperty);
    // Without it the callback would carry the older versions' events.
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
    UpdateTrayIcon();
    return true;
}

void TMainForm::RemoveTrayIcon() noexcept {
    if (!FTrayVisible)
        return;
    NOTIFYICONDATAW data = TrayData(0);
    Shell_NotifyIconW(NIM_DELETE, &data);
    FTrayVisible = false;
}

// Restart Manager restarts only a registered instance, and then in tray mode. Vista and later;
// kernel32 is bound at run time so that earlier systems still load the program.
void TMainForm::RegisterRestart() noexcept {
    using TRegisterApplicationRestart = HRESULT(WINAPI*)(PCWSTR, DWORD);
    const auto registerRestart = LoadedProc<TRegisterApplicationRestart>(L"kernel32.dll", "RegisterApplicationRestart");
    if (registerRestart)
        registerRestart(L"/tray", kRestartFlags);
}

// Without the icon in the notification area there is nothing to attach a balloon to.
bool TMainForm::ShowBalloon(TBalloonKind aKind, const wchar_t* aText, DWORD anIcon) noexcept {
    if (!FTrayVisible)
        return false;
    NOTIFYICONDATAW data = TrayData(NIF_INFO);
    CopyText(data.szInfoTitle, ARRAYSIZE(data.szInfoTitle), kMainWindowCaption);
    CopyText(data.szInfo, ARRAYSIZE(data.szInfo), aText);
    data.dwInfoFlags = BalloonFlags(aKind, anIcon, GetWinVersionClass());
    data.uTimeout = kBalloonTimeout;
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// The menu closes when the user clicks elsewhere only if the window is in the foreground while
// it tracks, and the posted WM_NULL lets a second right click open it again at once.
void TMainForm::ShowTrayMenu(POINT aWhere) noexcept {
    SetForegroundWindow(Handle());
    UINT flags = TPM_RIGHTBUTTON;
    flags |= GetSystemMetrics(SM_MENUDROPALIGNMENT) ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
    TrackPopupMenuEx(FMenuTray.get(), flags, aWhere.x, aWhere.y, Handle(), nullptr);
    PostMessageW(Handle(), WM_NULL, 0, 0);
}

void TMainForm::AppMessage(const MSG& aMsg, bool& aHandled) noexcept {
    aHandled = false;
    if (WMMain != 0 && aMsg.message == WMMain && aMsg.wParam == 0) {
        if (FMode == mTray)
            SetMode(mNormal);
        aHandled = true;
    }
}

// ---- The messages -------------------------------------------------------------------------------

LRESULT TMainForm::WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) {
    switch (aMsg) {
    case WM_CREATE:
        return OnCreate();
    case WM_PAINT:
        return OnPaint();
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(wParam, lParam);
    case WM_SETCURSOR:
        return OnSetCursor(wParam, lParam);
    case WM_LBUTTONUP:
        return OnLButtonUp(wParam, lParam);
    case WM_VSCROLL:
        return OnVScroll(wParam, lParam);
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    case WM_SYSCOMMAND:
        return OnSysCommand(wParam, lParam);
    case WM_CLOSE:
        return OnClose();
    case WM_QUERYENDSESSION:
        return OnQueryEndSession();
    case WM_ENDSESSION:
        return OnEndSession(wParam);
    case WM_TIMER:
        return OnTimer(wParam);
    case kTrayCallback:
        return OnTrayNotify(wParam, lParam);
    case WM_GETMINMAXINFO:
        return OnGetMinMaxInfo(lParam);
    case WM_DPICHANGED:
        return OnDpiChanged(wParam, lParam);
    case kGetDpiScaledSize:
        return OnGetDpiScaledSize(wParam, lParam);
    case WM_DISPLAYCHANGE:
        return OnDisplayChange(wParam, lParam);
    case WM_SETTINGCHANGE:
        return OnSettingChange(wParam, lParam);
    case WM_DESTROY:
        return OnDestroy();
    default:
        return OnOtherMessage(aMsg, wParam, lParam);
    }
}

// A form that could not set itself up completely is still created.
LRESULT TMainForm::OnCreate() {
    FTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    IgnoringFailure("TMainForm.OnCreate", [this] { FormCreate(); });
    return 0;
}

LRESULT TMainForm::OnPaint() {
    Paint();
    return 0;
}

LRESULT TMainForm::OnCtlColorStatic(WPARAM wParam, LPARAM lParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
    SetTextColor(dc, id == idTitleSecLevel ? kTitleColour
                     : id == idTitleShare || id == idTitleSecLevelUnder || id == idStatusDetails
                         ? kLinkColour
                         : GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

// The hand over the links and the share picture.
LRESULT TMainForm::OnSetCursor(WPARAM wParam, LPARAM lParam) {
    const HWND target = reinterpret_cast<HWND>(wParam);
    bool hand = target == Control(idTitleShare) || target == Control(idTitleSecLevelUnder) ||
                target == Control(idStatusDetails);
    if (!hand && target == Handle() && LOWORD(lParam) == HTCLIENT) {
        POINT pt;
        GetCursorPos(&pt);
        ScreenToClient(Handle(), &pt);
        hand = PtInRect(&FLayout.Share, pt) != FALSE;
    }
    if (!hand)
        return Default(WM_SETCURSOR, wParam, lParam);
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return TRUE;
}

LRESULT TMainForm::OnLButtonUp(WPARAM, LPARAM lParam) {
    const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (PtInRect(&FLayout.Share, pt))
        ImgShareClick();
    return 0;
}

LRESULT TMainForm::OnVScroll(WPARAM wParam, LPARAM lParam) {
    if (reinterpret_cast<HWND>(lParam) != Control(idTrackBar1))
        return Default(WM_VSCROLL, wParam, lParam);
    TrackBar1Change();
    return 0;
}

LRESULT TMainForm::OnCommand(WPARAM wParam, LPARAM lParam) {
    const WORD code = HIWORD(wParam);
    switch (LOWORD(wParam)) {
    case idButApply:
        if (code == BN_CLICKED)
            ButApplyClick();
        return 0;
    case idTitleShare:
        if (code == STN_CLICKED)
            ImgShareClick();
        return 0;
    case idTitleSecLevelUnder:
        if (code == STN_CLICKED)
            TitleSecLevelUnderClick();
        return 0;
    case idStatusDetails:
        if (code == STN_CLICKED)
            StatusDetailsClick();
        return 0;
    case idN1:
        N1Click();
        return 0;
    case idN2:
        N2Click();
        return 0;
    case idHelp1:
        Help1Click();
        return 0;
    case idN4:
        N4Click();
        return 0;
    }
    return Default(WM_COMMAND, wParam, lParam);
}

// Minimising and closing go to the notification area; closing also opens the level's page.
LRESULT TMainForm::OnSysCommand(WPARAM wParam, LPARAM lParam) {
    switch (wParam & 0xFFF0) {
    case SC_MINIMIZE:
        SetMode(mTray);
        return 0;
    case SC_CLOSE:
        SetMode(mTray);
        OpenProtectionPage(FLevel);
        return 0;
    }
    return Default(WM_SYSCOMMAND, wParam, lParam);
}

LRESULT TMainForm::OnClose() {
    FormClose();
    return 0;
}

// Nothing to save: the instance can always end.
LRESULT TMainForm::OnQueryEndSession() {
    return TRUE;
}

// wParam FALSE: the session goes on after all.
LRESULT TMainForm::OnEndSession(WPARAM wParam) {
    if (wParam)
        EndSession();
    return 0;
}

LRESULT TMainForm::OnTimer(WPARAM wParam) {
    if (wParam == kTimerId)
        Timer1Timer();
    else if (wParam == kDriftTimerId)
        DriftTimerTimer();
    else if (wParam == kLevelProcessTimerId)
        LevelProcessTimer();
    else if (wParam == kTrayRetryTimerId)
        TrayRetryTimer();
    return 0;
}

void TMainForm::LevelProcessTimer() noexcept {
    IgnoringFailure("TMainForm.LevelProcessTimer", [&] {
        if (FLevelProcess && WaitForSingleObject(FLevelProcess.get(), 0) == WAIT_TIMEOUT)
            return;
        KillTimer(Handle(), kLevelProcessTimerId);
        if (!FLevelProcess)
            return;
        DWORD code = 1;
        const bool ended = GetExitCodeProcess(FLevelProcess.get(), &code) != FALSE;
        const bool elevated = IsProcessElevated(FLevelProcess.get());
        FLevelProcess.reset();
        if (ended && code == 0 && elevated && ReadLevel() == FAppliedLevel)
            OpenProtectionPage(FAppliedLevel);
    });
}

// NOTIFYICON_VERSION_4: the event is in the low word of lParam, the anchor point in wParam.
LRESULT TMainForm::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(lParam)) {
    case WM_LBUTTONUP:
    case NIN_KEYSELECT:
        TrayIconClick();
        break;
    case WM_CONTEXTMENU:
        ShowTrayMenu(POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
        break;
    case NIN_BALLOONUSERCLICK:
        BalloonClick();
        break;
    }
    return 0;
}

// The system's least size for a window with a caption grows with the DPI, and under Wine, which
// hands on any LogPixels, it can be wider than the layout. The frame is fixed, so the layout's is
// the only size the window ever gets.
LRESULT TMainForm::OnGetMinMaxInfo(LPARAM lParam) {
    reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{1, 1};
    return 0;
}

LRESULT TMainForm::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
    DpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
    return 0;
}

LRESULT TMainForm::OnGetDpiScaledSize(WPARAM wParam, LPARAM lParam) {
    return DpiScaledSize(static_cast<UINT>(wParam), *reinterpret_cast<SIZE*>(lParam)) ? TRUE : FALSE;
}

LRESULT TMainForm::OnDisplayChange(WPARAM wParam, LPARAM lParam) {
    DisplayChanged();
    return Default(WM_DISPLAYCHANGE, wParam, lParam);
}

// A Group Policy refresh announces itself as "Policy"; the work area and the text size concern the
// layout.
LRESULT TMainForm::OnSettingChange(WPARAM wParam, LPARAM lParam) {
    if (lParam && _wcsicmp(reinterpret_cast<const wchar_t*>(lParam), L"Policy") == 0)
        ScheduleDriftCheck();
    if (wParam == SPI_SETWORKAREA || TextScalePercent() != FTextScale)
        DisplayChanged();
    return Default(WM_SETTINGCHANGE, wParam, lParam);
}

LRESULT TMainForm::OnDestroy() {
    KillTimer(Handle(), kTimerId);
    KillTimer(Handle(), kDriftTimerId);
    KillTimer(Handle(), kLevelProcessTimerId);
    KillTimer(Handle(), kTrayRetryTimerId);
    RemovePropW(Handle(), kChecksProperty);
    RemovePropW(Handle(), kWarningsProperty);
    RemovePropW(Handle(), kTrayAddsProperty);
    RemoveTrayIcon();
    PostQuitMessage(0);
    return 0;
}

// Explorer announces every start of the taskbar, its first at logon included: the icon is added
// again whether or not the last attempt succeeded.
LRESULT TMainForm::OnOtherMessage(UINT aMsg, WPARAM wParam, LPARAM lParam) {
    if (FTaskbarCreated != 0 && aMsg == FTaskbarCreated) {
        if (FTrayWanted) {
            FTrayVisible = false;
            if (AddTrayIcon())
                AnnounceDrift();
        }
        return 0;
    }
    return Default(aMsg, wParam, lParam);
}

// ---- The drift watch ----------------------------------------------------------------------------

void TMainForm::StartWatch() noexcept {
    IgnoringFailure("TMainForm.StartWatch", [&] {
        for (const TWatchedKey& key : DriftWatchKeys(CurrentOSVersion()))
            FWatch.Add(key.Root, key.Path, key.Subtree, key.View64 && RunningUnderWow64 ? KEY_WOW64_64KEY : 0);
        // Another process's SETLEVEL changes the machine's level the settings are judged against.
        FWatch.Add(HKEY_LOCAL_MACHINE, kMachineKey, false, RunningUnderWow64 ? KEY_WOW64_64KEY : 0);
    });
}

void TMainForm::WatchSignalled() noexcept {
    if (FWatch.RearmSignalled())
        ScheduleDriftCheck();
}

void TMainForm::ScheduleDriftCheck() noexcept {
    const TDriftStep step = FDrift.Changed(GetTickCount());
    if (step.CheckNow) {
        KillTimer(Handle(), kDriftTimerId);
        CheckDrift();
        return;
    }
    SetTimer(Handle(), kDriftTimerId, step.Delay, nullptr);
}

// The first check after the window came up, or the one after a burst of changes.
void TMainForm::DriftTimerTimer() noexcept {
    KillTimer(Handle(), kDriftTimerId);
    if (FWatch.Count() == 0)
        StartWatch();
    CheckDrift();
}

void TMainForm::CheckDrift() noexcept {
    IgnoringFailure("TMainForm.CheckDrift", [&] {
        FDrift.Checked();
        // Every check starts the watch afresh: under Wine a notification registered while another
        // program keeps writing can stay silent, and keys created since are picked up too.
        FWatch.RearmAll();
        // The user's own part of the machine's level (Internet Explorer's per-user options) is this
        // process's to apply: at the first check after logon, and whenever the machine's level changes.
        // Like every level change it runs in a process of its own, unelevated, as this user.
        const TLevel machineLevel = ReadLevel();
        if (FChecks == 0 || machineLevel != FCheckedLevel)
            RunUserLevelProcess();
        TStatusReport report = BuildStatusReport(false);
        // A hidden window follows a level another process applied; an open one keeps the
        // user's choice on the slider.
        if (!IsWindowVisible(Handle()) && report.Level != FLevel)
            RefreshLevel();
        FCheckedLevel = report.Level;
        FSettings = std::move(report.Settings);
        // Values an organization's policy sets are reported, never fought over.
        FDeviations = DriftDeviations(FSettings);
        FCheckedAt = report.CheckedAt;
        ++FChecks;
        SetPropW(Handle(), kChecksProperty, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(FChecks)));
        ShowRestartNote(report.RestartNeeds);
        UpdateDriftView();
        UpdateTrayIcon();
        AnnounceDrift();
    });
}

void TMainForm::ShowRestartNote(unsigned aNeeds) noexcept {
    IgnoringFailure("TMainForm.ShowRestartNote", [&] {
        if (aNeeds)
            SetDlgItemTextW(Handle(), idRestartNote, RestartNoteText(aNeeds).c_str());
        ShowWindow(Control(idRestartNote), aNeeds ? SW_SHOWNA : SW_HIDE);
    });
}

void TMainForm::UpdateDriftView() noexcept {
    IgnoringFailure("TMainForm.UpdateDriftView", [&] {
        const bool on = FCheckedLevel != lOff;
        SetDlgItemTextW(
            Handle(), idStatusLine,
            on ? StatusLineText(FCheckedLevel, JudgedCount(FSettings), FDeviations.size(), FCheckedAt).c_str() : L"");
        ShowWindow(Control(idStatusLine), on ? SW_SHOWNA : SW_HIDE);
        ShowWindow(Control(idStatusDetails), on ? SW_SHOWNA : SW_HIDE);
        // Apply puts the stored level back while another program's changes stand.
        if (Drifting() && IsWindowVisible(Handle()) && FLevel == FCheckedLevel)
            EnableWindow(Control(idButApply), TRUE);
        // The line's place holds its longest text already: nothing moves.
        InvalidateRect(Control(idStatusLine), nullptr, TRUE);
    });
}

void TMainForm::AnnounceDrift() noexcept {
    IgnoringFailure("TMainForm.AnnounceDrift", [&] {
        std::vector<std::wstring> ids;
        if (Drifting())
            for (const TSettingCheck& c : FDeviations)
                ids.push_back(c.Path + L"|" + c.Value);
        if (!FDrift.BalloonDue(ids, IsWindowVisible(Handle()) != FALSE))
            return;
        if (!ShowBalloon(bkDrift, DriftAnnouncementText(FDeviations).c_str(), NIIF_WARNING))
            return;
        FDrift.BalloonShown(ids);
        CountInProperty(Handle(), kWarningsProperty);
    });
}

void TMainForm::UpdateTrayIcon() noexcept {
    IgnoringFailure("TMainForm.UpdateTrayIcon", [&] {
        if (!FTrayVisible)
            return;
        NOTIFYICONDATAW data = TrayData(NIF_ICON | NIF_TIP | NIF_SHOWTIP);
        const UINT dpi = WindowDpi(Handle());
        TUniqueIcon warning;
        if (Drifting())
            warning = LoadWarningIcon(SIZE{SystemMetricForDpi(SM_CXSMICON, dpi), SystemMetricForDpi(SM_CYSMICON, dpi)});
        data.hIcon = warning ? warning.get() : FIconSmall.get();
        const std::wstring tip =
            Drifting() ? FAppTitle + L": " +
                             StatusLineText(FCheckedLevel, JudgedCount(FSettings), FDeviations.size(), FCheckedAt)
                       : FAppTitle;
        CopyText(data.szTip, ARRAYSIZE(data.szTip), tip.c_str());
        Shell_NotifyIconW(NIM_MODIFY, &data);
        // The icon shown before is let go only once the shell shows the new one.
        FWarningIcon = std::move(warning);
    });
}

void TMainForm::StatusDetailsClick() noexcept {
    IgnoringFailure("TMainForm.StatusDetailsClick", [&] {
        // The self-test takes a fresh look at the settings too.
        FDetails.ShowText(DetailsText(FCheckedLevel, FSettings, nullptr), [] {
            const TStatusReport report = BuildStatusReport(true);
            return DetailsText(report.Level, report.Settings, &*report.SelfTest);
        });
    });
}
