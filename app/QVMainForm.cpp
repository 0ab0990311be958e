#include "QVMainForm.h"

#include "QVSettings.h"
#include "QVSupport.h"
#include "QVUpdate.h"

#include "../lib/FileU.h"
#include "../lib/ImageU.h"
#include "../lib/PlatformU.h"

#include <commctrl.h>
#include <windowsx.h>

#include <cstdint>
#include <optional>

namespace {

const wchar_t kClassName[] = L"TQuenvarMainForm";
const wchar_t kCaption[] = L"Quenvar";
const wchar_t kMainMessage[] = L"QV_MainWM";
const wchar_t kLastBalloonValue[] = L"LastBaloon";

const COLORREF kHeaderColour = RGB(0x19, 0x79, 0xCA);
const COLORREF kTitleColour = RGB(0x00, 0x33, 0x99);
const COLORREF kLinkColour = RGB(0x00, 0x66, 0xCC);

const UINT kTrayCallback = WM_APP + 1;
const UINT kTrayId = 1;
const UINT_PTR kTimerId = 1;
const UINT kTimerInterval = 600000;
const UINT kBalloonTimeout = 10000;

const DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

// Places at 96 DPI in the window's client area. The panels are drawn, not separate windows, so
// the positions of their contents are given here with the panel's own offset added.
const RECT kHeader{0, 0, kClientWidth, 58};
const RECT kLogo{24, 12, 24 + 213, 12 + 37};
const int kBodyTop = 58;
const RECT kLevelBox{248, kBodyTop + 172, 248 + 565, kBodyTop + 172 + 277};
const int kFooterTop = kBodyTop + 505;
const RECT kShare{15, kFooterTop + 16, 15 + 18, kFooterTop + 16 + 17};
const int kBulletTops[4] = {60, 112, 160, 212};

enum TFontKind { fkForm, fkLabel, fkLink, fkTitle, fkLevel };

struct TPlace {
    int Id;
    const wchar_t* Class;
    DWORD Style;
    int Left, Top, Width, Height; // a width of 0 sizes the control to its text
    TFontKind Font;
};

const DWORD kLabel = WS_CHILD | WS_VISIBLE | SS_NOPREFIX;
const DWORD kAutoLabel = kLabel | SS_LEFTNOWORDWRAP;
const DWORD kWrapLabel = kLabel | SS_LEFT;

const TPlace kPlaces[] = {
    {idTitleSecLevel, WC_STATICW, kAutoLabel, 20, kBodyTop + 14, 0, 0, fkTitle},
    {idTitleSecLevelEx, WC_STATICW, kWrapLabel, 20, kBodyTop + 61, 821, 45, fkLabel},
    {idTitleSecLevelUnder, WC_STATICW, (kAutoLabel & ~WS_VISIBLE) | SS_NOTIFY, 20, kBodyTop + 100, 0, 0, fkLink},
    {idTitleLevelMax, WC_STATICW, kAutoLabel, 44, kBodyTop + 148, 0, 0, fkLabel},
    {idTitleLevelOff, WC_STATICW, kAutoLabel, 65, kBodyTop + 434, 0, 0, fkLabel},
    {idTrackBar1, TRACKBAR_CLASSW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | TBS_VERT | TBS_BOTH | TBS_AUTOTICKS, 92,
     kBodyTop + 182, 45, 237, fkForm},
    {idTitleLevel, WC_STATICW, kAutoLabel, kLevelBox.left + 20, kLevelBox.top + 17, 0, 0, fkLevel},
    {idLevelNote1, WC_STATICW, kWrapLabel, kLevelBox.left + 52, kLevelBox.top + 52, 493, 46, fkLabel},
    {idLevelNote2, WC_STATICW, kWrapLabel, kLevelBox.left + 52, kLevelBox.top + 104, 493, 42, fkLabel},
    {idLevelNote3, WC_STATICW, kWrapLabel, kLevelBox.left + 52, kLevelBox.top + 152, 489, 46, fkLabel},
    {idLevelNote4, WC_STATICW, kWrapLabel, kLevelBox.left + 52, kLevelBox.top + 204, 485, 61, fkLabel},
    {idTitleShare, WC_STATICW, kAutoLabel | SS_NOTIFY, 44, kFooterTop + 12, 0, 0, fkLink},
    {idButApply, WC_BUTTONW, WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, 784, kFooterTop + 10, 79,
     25, fkForm},
    {idRestartNote, WC_STATICW, kAutoLabel & ~WS_VISIBLE, 300, kFooterTop + 14, 0, 0, fkLabel},
};

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
    return name.empty() ? std::wstring(kCaption) : name;
}

void OpenWebPage(const std::wstring& aPage) noexcept {
    try {
        const std::wstring address = kProductWebsite + aPage;
        ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    } catch (...) {
    }
}

void CopyText(wchar_t* aDest, size_t aCapacity, const wchar_t* aText) noexcept {
    lstrcpynW(aDest, aText, static_cast<int>(aCapacity));
}

} // namespace

const TLevelTexts& LevelTexts(TLevel aLevel) noexcept {
    return kLevelTexts[aLevel <= lMax ? aLevel : lMax];
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

bool ReminderDue(TLevel aLevel, const std::wstring& aLastText, const SYSTEMTIME& aNow) noexcept {
    try {
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
    } catch (...) {
        return true;
    }
}

TMainForm::TMainForm() = default;

TMainForm::~TMainForm() {
    DestroyWnd();
}

bool TMainForm::Create() noexcept {
    try {
        FAppTitle = ApplicationTitle();
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        FIconLarge.reset(static_cast<HICON>(LoadImageW(instance, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                       GetSystemMetrics(SM_CYICON), 0)));
        FIconSmall.reset(static_cast<HICON>(LoadImageW(instance, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                       GetSystemMetrics(SM_CYSMICON), 0)));
        FLogo = LoadImageResource(instance, L"LOGO", RT_RCDATA, FLogoSize);
        FShare = LoadImageResource(instance, L"SHARE", RT_RCDATA, FShareSize);

        WNDCLASSEXW wc{};
        wc.hInstance = instance;
        wc.hIcon = FIconLarge.get();
        wc.hIconSm = FIconSmall.get();
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kClassName;
        return CreateWnd(wc, 0, kCaption, kStyle);
    } catch (...) {
        return false;
    }
}

void TMainForm::AfterCreate() noexcept {
    EnableWindow(Control(idButApply), FALSE);
}

void TMainForm::FormCreate() {
    SetWindowTextW(Handle(), kCaption);
    FCloseState = csUI;
    FRefresh = true;
    CreateControls();
    SetDlgItemTextW(Handle(), idTitleSecLevel, L"Select Security Level");
    SetDlgItemTextW(Handle(), idTitleSecLevelEx, kSecLevelText);
    SetDlgItemTextW(Handle(), idTitleSecLevelUnder, L"Learn more");
    SetDlgItemTextW(Handle(), idTitleShare, L"Recommend this app");
    SetDlgItemTextW(Handle(), idRestartNote, L"Some changes take effect after the next restart");
    LayoutControls(WindowDpi(Handle()), true);
    WMMain = RegisterWindowMessageW(kMainMessage);
    RefreshLevel();
    // The daily hit and update check: blocks this thread for the HTTP exchange, never raises.
    CheckForUpdate();
}

void TMainForm::CreateControls() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    static const wchar_t* const kInitialTexts[] = {L"Maximum Protection", L"Switched Off", L"Apply"};
    for (const TPlace& p : kPlaces) {
        const wchar_t* text = L"";
        if (p.Id == idTitleLevelMax)
            text = kInitialTexts[0];
        else if (p.Id == idTitleLevelOff)
            text = kInitialTexts[1];
        else if (p.Id == idButApply)
            text = kInitialTexts[2];
        CreateWindowExW(0, p.Class, text, p.Style, 0, 0, 0, 0, Handle(),
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(p.Id)), instance, nullptr);
    }
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

void TMainForm::CreateFonts(UINT aDpi) {
    auto font = [aDpi](int aHeight, int aWeight, bool anUnderline) {
        return TUniqueGdiObject(CreateFontW(ScaleToDpi(aHeight, aDpi), 0, 0, 0, aWeight, FALSE, anUnderline, FALSE,
                                            ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                            DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
    };
    FFontForm = font(-11, FW_NORMAL, false);
    FFontLabel = font(-16, FW_NORMAL, false);
    FFontLink = font(-16, FW_NORMAL, true);
    FFontTitle = font(-21, FW_BOLD, false);
    FFontLevel = font(-17, FW_BOLD, false);
}

RECT TMainForm::ScaledRect(int aLeft, int aTop, int aWidth, int aHeight) const noexcept {
    const int left = ScaleToDpi(aLeft, FDpi), top = ScaleToDpi(aTop, FDpi);
    return RECT{left, top, left + ScaleToDpi(aWidth, FDpi), top + ScaleToDpi(aHeight, FDpi)};
}

// Positions every control for aDpi, sizing the auto-size labels to their texts, and gives the
// window, when aCentre is set, its client size centred on its monitor.
void TMainForm::LayoutControls(UINT aDpi, bool aCentre) {
    FDpi = aDpi;
    CreateFonts(aDpi);
    HDC dc = GetDC(Handle());
    for (const TPlace& p : kPlaces) {
        HWND control = Control(p.Id);
        HGDIOBJ font = p.Font == fkForm    ? FFontForm.get()
                       : p.Font == fkLink  ? FFontLink.get()
                       : p.Font == fkTitle ? FFontTitle.get()
                       : p.Font == fkLevel ? FFontLevel.get()
                                           : FFontLabel.get();
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        RECT r = ScaledRect(p.Left, p.Top, p.Width, p.Height);
        if (p.Width == 0 && dc) {
            const int length = GetWindowTextLengthW(control);
            std::wstring text(static_cast<size_t>(length) + 1, L'\0');
            GetWindowTextW(control, text.data(), length + 1);
            text.resize(static_cast<size_t>(length));
            HGDIOBJ old = SelectObject(dc, font);
            RECT extent{0, 0, 0, 0};
            DrawTextW(dc, text.empty() ? L" " : text.c_str(), -1, &extent, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
            SelectObject(dc, old);
            r.right = r.left + extent.right;
            r.bottom = r.top + extent.bottom;
        }
        SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (dc)
        ReleaseDC(Handle(), dc);
    InvalidateRect(Handle(), nullptr, TRUE);
    if (!aCentre)
        return;
    const SIZE outer =
        WindowSizeForClient(ScaleToDpi(kClientWidth, aDpi), ScaleToDpi(kClientHeight, aDpi), kStyle, 0, aDpi);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(Handle(), MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    // A window larger than the work area keeps its caption and left edge on the screen.
    const LONG left = work.left + (work.right - work.left - outer.cx) / 2;
    const LONG top = work.top + (work.bottom - work.top - outer.cy) / 2;
    SetWindowPos(Handle(), nullptr, left > work.left ? left : work.left, top > work.top ? top : work.top, outer.cx,
                 outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TMainForm::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Handle(), &ps);
    if (!dc)
        return;
    RECT header = ScaledRect(kHeader.left, kHeader.top, kHeader.right - kHeader.left, kHeader.bottom - kHeader.top);
    TUniqueGdiObject headerBrush(CreateSolidBrush(kHeaderColour));
    FillRect(dc, &header, static_cast<HBRUSH>(headerBrush.get()));
    DrawAlphaBitmap(dc, static_cast<HBITMAP>(FLogo.get()), FLogoSize,
                    ScaledRect(kLogo.left, kLogo.top, kLogo.right - kLogo.left, kLogo.bottom - kLogo.top));

    // The level box's flat frame and the footer's top edge.
    RECT box =
        ScaledRect(kLevelBox.left, kLevelBox.top, kLevelBox.right - kLevelBox.left, kLevelBox.bottom - kLevelBox.top);
    FrameRect(dc, &box, GetSysColorBrush(COLOR_BTNSHADOW));
    RECT edge = ScaledRect(0, kFooterTop, kClientWidth, 1);
    edge.bottom = edge.top + 1;
    FillRect(dc, &edge, GetSysColorBrush(COLOR_BTNSHADOW));

    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(BLACK_BRUSH));
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
    for (int top : kBulletTops) {
        const RECT b = ScaledRect(kLevelBox.left + 24, kLevelBox.top + top, 13, 9);
        Ellipse(dc, b.left, b.top, b.right, b.bottom);
    }
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);

    DrawAlphaBitmap(dc, static_cast<HBITMAP>(FShare.get()), FShareSize,
                    ScaledRect(kShare.left, kShare.top, kShare.right - kShare.left, kShare.bottom - kShare.top));
    EndPaint(Handle(), &ps);
}

void TMainForm::SetMode(TMode aValue) noexcept {
    FMode = aValue;
    if (aValue == mNormal)
        ShowNormal();
    else
        ShowTray();
}

void TMainForm::SetLevel(TLevel aValue) noexcept {
    try {
        FLevel = aValue <= lMax ? aValue : lMax;
        const TLevelTexts& texts = LevelTexts(FLevel);
        SetDlgItemTextW(Handle(), idTitleLevel, texts.Title);
        for (int i = 0; i < 4; ++i)
            SetDlgItemTextW(Handle(), idLevelNote1 + i, texts.Notes[i]);

        // The headline sizes itself to its text.
        HWND title = Control(idTitleLevel);
        HDC dc = GetDC(Handle());
        if (title && dc) {
            HGDIOBJ old = SelectObject(dc, FFontLevel.get());
            RECT extent{0, 0, 0, 0};
            DrawTextW(dc, texts.Title, -1, &extent, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
            SelectObject(dc, old);
            SetWindowPos(title, nullptr, 0, 0, extent.right, extent.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            InvalidateRect(title, nullptr, TRUE);
        }
        if (dc)
            ReleaseDC(Handle(), dc);
    } catch (...) {
    }
}

void TMainForm::RefreshLevel() noexcept {
    try {
        SetLevel(ReadLevel());
        SendMessageW(Control(idTrackBar1), TBM_SETPOS, TRUE, SliderPosition(FLevel));
        ShowWindow(Control(idRestartNote), RestartPending() ? SW_SHOWNA : SW_HIDE);
    } catch (...) {
    }
}

void TMainForm::ShowNormal() noexcept {
    try {
        if (FRefresh)
            RefreshLevel();
        ShowWindow(Handle(), SW_SHOWNORMAL);
        SetForegroundWindow(Handle());
    } catch (...) {
    }
}

void TMainForm::ShowTray() noexcept {
    try {
        ShowWindow(Handle(), SW_HIDE);
        if (!FTrayVisible)
            AddTrayIcon();
        if (FRefresh)
            RefreshLevel();
        EnableWindow(Control(idButApply), FALSE);
    } catch (...) {
    }
}

void TMainForm::TrackBar1Change() noexcept {
    try {
        const TLevel shown = LevelAtPosition(static_cast<int>(SendMessageW(Control(idTrackBar1), TBM_GETPOS, 0, 0)));
        HWND apply = Control(idButApply);
        if (shown != FLevel && !IsWindowEnabled(apply))
            EnableWindow(apply, TRUE);
        SetLevel(shown);
    } catch (...) {
    }
}

void TMainForm::ButApplyClick() noexcept {
    try {
        const std::wstring parameters = L"/SETLEVEL \"" + std::to_wstring(static_cast<int>(FLevel)) + L"\"";
        const std::wstring exe = GetAppFileName();
        if (GetWinVersionClass() < 9)
            ShellExecuteW(nullptr, L"open", exe.c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL);
        else
            ShellExecuteRunAs(exe, parameters, nullptr, std::wstring());
    } catch (...) {
    }
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

void TMainForm::Timer1Timer() noexcept {
    try {
        CheckReminder();
    } catch (...) {
    }
}

void TMainForm::CheckReminder() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (!ReminderDue(FLevel, ReadStoreString(kLastBalloonValue), now))
        return;
    const TReminderRule& rule = ReminderRuleFor(FLevel);
    ShowBalloon(rule.Text, rule.IconFlag);
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

bool TMainForm::AddTrayIcon() noexcept {
    NOTIFYICONDATAW data = TrayData(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
    data.uCallbackMessage = kTrayCallback;
    data.hIcon = FIconSmall.get();
    CopyText(data.szTip, ARRAYSIZE(data.szTip), FAppTitle.c_str());
    if (!Shell_NotifyIconW(NIM_ADD, &data))
        return false;
    FTrayVisible = true;
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
    return true;
}

void TMainForm::RemoveTrayIcon() noexcept {
    if (!FTrayVisible)
        return;
    NOTIFYICONDATAW data = TrayData(0);
    Shell_NotifyIconW(NIM_DELETE, &data);
    FTrayVisible = false;
}

// Without the icon in the notification area there is nothing to attach a balloon to.
void TMainForm::ShowBalloon(const wchar_t* aText, DWORD aFlag) noexcept {
    if (!FTrayVisible)
        return;
    NOTIFYICONDATAW data = TrayData(NIF_INFO);
    CopyText(data.szInfoTitle, ARRAYSIZE(data.szInfoTitle), kCaption);
    CopyText(data.szInfo, ARRAYSIZE(data.szInfo), aText);
    data.dwInfoFlags = aFlag;
    data.uTimeout = kBalloonTimeout;
    Shell_NotifyIconW(NIM_MODIFY, &data);
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

bool TMainForm::OnSetCursor(HWND aTarget, UINT aHitTest) noexcept {
    bool hand = aTarget == Control(idTitleShare) || aTarget == Control(idTitleSecLevelUnder);
    if (!hand && aTarget == Handle() && aHitTest == HTCLIENT) {
        POINT pt;
        GetCursorPos(&pt);
        ScreenToClient(Handle(), &pt);
        const RECT share = ScaledRect(kShare.left, kShare.top, kShare.right - kShare.left, kShare.bottom - kShare.top);
        hand = PtInRect(&share, pt) != FALSE;
    }
    if (hand)
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return hand;
}

void TMainForm::AppMessage(const MSG& aMsg, bool& aHandled) noexcept {
    aHandled = false;
    if (WMMain != 0 && aMsg.message == WMMain && aMsg.wParam == 0) {
        if (FMode == mTray)
            SetMode(mNormal);
        aHandled = true;
    }
}

LRESULT TMainForm::WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) {
    switch (aMsg) {
    case WM_CREATE:
        try {
            FTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
            FormCreate();
        } catch (...) {
        }
        return 0;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        SetTextColor(dc, id == idTitleSecLevel                              ? kTitleColour
                         : id == idTitleShare || id == idTitleSecLevelUnder ? kLinkColour
                                                                            : GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR:
        if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam)))
            return TRUE;
        break;
    case WM_LBUTTONUP: {
        const POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        const RECT share = ScaledRect(kShare.left, kShare.top, kShare.right - kShare.left, kShare.bottom - kShare.top);
        if (PtInRect(&share, pt))
            ImgShareClick();
        return 0;
    }
    case WM_VSCROLL:
        if (reinterpret_cast<HWND>(lParam) == Control(idTrackBar1)) {
            TrackBar1Change();
            return 0;
        }
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case idButApply:
            if (HIWORD(wParam) == BN_CLICKED)
                ButApplyClick();
            return 0;
        case idTitleShare:
            if (HIWORD(wParam) == STN_CLICKED)
                ImgShareClick();
            return 0;
        case idTitleSecLevelUnder:
            if (HIWORD(wParam) == STN_CLICKED)
                TitleSecLevelUnderClick();
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
        break;
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_MINIMIZE:
            SetMode(mTray);
            return 0;
        case SC_CLOSE:
            SetMode(mTray);
            OpenProtectionPage(FLevel);
            return 0;
        }
        break;
    case WM_CLOSE:
        FormClose();
        return 0;
    case WM_TIMER:
        if (wParam == kTimerId)
            Timer1Timer();
        return 0;
    case kTrayCallback:
        // NOTIFYICON_VERSION_4: the event is in the low word of lParam, the anchor point in wParam.
        switch (LOWORD(lParam)) {
        case WM_LBUTTONUP:
        case NIN_KEYSELECT:
            TrayIconClick();
            break;
        case WM_CONTEXTMENU:
            ShowTrayMenu(POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
            break;
        }
        return 0;
    case WM_DPICHANGED: {
        LayoutControls(HIWORD(wParam), false);
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(Handle(), nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_DESTROY:
        KillTimer(Handle(), kTimerId);
        RemoveTrayIcon();
        PostQuitMessage(0);
        return 0;
    default:
        // After a restart of the shell every notification-area icon must be added again.
        if (FTaskbarCreated != 0 && aMsg == FTaskbarCreated && FTrayVisible) {
            FTrayVisible = false;
            AddTrayIcon();
            return 0;
        }
        break;
    }
    return TWindowBase::WndProc(aMsg, wParam, lParam);
}
