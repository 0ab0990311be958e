// The program's only window: the level slider with its texts and the Apply button, and the
// notification-area icon with its menu, reminder balloons and timer.
#pragma once

#include "QVConst.h"
#include "QVDetailsForm.h"
#include "QVDrift.h"
#include "QVFormLayout.h"
#include "QVStatus.h"

#include "../lib/HandleU.h"
#include "../lib/ImageU.h"
#include "../lib/RegWatchU.h"
#include "../lib/WindowU.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

// The notification-area menu's items.
enum : int {
    idN1 = 201, // "Open Quenvar"
    idN2,       // the website
    idHelp1,    // "Help"
    idN4,       // "Exit"
};

// The kinds of text the window uses; each has one font per layout DPI and text size.
enum TFontKind { fkForm, fkLabel, fkLink, fkTitle, fkLevel, fkCount };
struct TFontSet {
    TUniqueGdiObject Fonts[fkCount];
    HFONT Get(TFontKind aKind) const noexcept { return static_cast<HFONT>(Fonts[aKind].get()); }
};

// The texts of one level: the headline and the four notes.
struct TLevelTexts {
    const wchar_t* Title;
    const wchar_t* Notes[4];
};
const TLevelTexts& LevelTexts(TLevel aLevel) noexcept;

// The slider runs from maximum protection at the top (position 0) to off at the bottom (2).
inline int SliderPosition(TLevel aLevel) noexcept {
    return 2 - static_cast<int>(aLevel);
}
TLevel LevelAtPosition(int aPosition) noexcept;

// The reminder balloon for a level and the least time between two of them.
struct TReminderRule {
    const wchar_t* Text;
    DWORD IconFlag; // NIIF_WARNING or NIIF_INFO
    unsigned GapHours;
};
const TReminderRule& ReminderRuleFor(TLevel aLevel) noexcept;

// The balloons the icon shows: the reminder of the protection state, and the warning that settings
// changed behind the program's back.
enum TBalloonKind { bkReminder, bkDrift };

// The balloon's NIIF_ flags for the stock icon anIcon on the system of class aWinVersionClass
// (GetWinVersionClass): the large icon where the system has it (Vista and later); quiet time
// respected where the system has it (Windows 7 and later), by reminders only, since the drift
// warning is about the machine's security.
DWORD BalloonFlags(TBalloonKind aKind, DWORD anIcon, BYTE aWinVersionClass) noexcept;

// How long to wait before the next attempt to add the icon after aFailures failed ones in a row:
// 5 s for the first two minutes, while Explorer is still starting at logon, then once a minute
// until it succeeds. TaskbarCreated adds it at once whenever Explorer comes up.
UINT TrayRetryDelay(unsigned aFailures) noexcept;

// Whether the reminder for aLevel is due at aNow (local time) when the last one is recorded as
// aLastText. Empty or unreadable text counts as due, so that a value that cannot be read back
// (regional format changed) is rewritten instead of stopping reminders for good. Otherwise the
// whole hours between the two moments, in either direction, must reach the level's gap.
bool ReminderDue(TLevel aLevel, const std::wstring& aLastText, const SYSTEMTIME& aNow) noexcept;

class TMainForm : public TWindowBase {
public:
    TMainForm();
    ~TMainForm() override;

    // Creates the window hidden and runs FormCreate. False when the window cannot be made.
    bool Create() noexcept;
    void AfterCreate() noexcept;

    TMode Mode() const noexcept { return FMode; }
    void SetMode(TMode aValue) noexcept;
    TLevel Level() const noexcept { return FLevel; }
    void SetLevel(TLevel aValue) noexcept;
    void RefreshLevel() noexcept;

    // Sees every message the message loop takes from the queue; aHandled true drops it.
    void AppMessage(const MSG& aMsg, bool& aHandled) noexcept;

    // Lays the window out for aDpi (the system's DPI for it) on the monitor it is on, as
    // FitMainForm chooses, and centres it in the work area. Windows' text size setting is read anew.
    void FitToMonitor(UINT aDpi) noexcept;
    // The DPI the window is laid out for now.
    UINT LayoutDpi() const noexcept { return FLayout.Dpi; }

    // The registry watch's events, for the message loop to wait on, and what it calls when one of
    // them is signalled: the watch is armed again and a check is scheduled.
    const std::vector<HANDLE>& WatchEvents() const noexcept { return FWatch.Events(); }
    void WatchSignalled() noexcept;

protected:
    LRESULT WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) override;

private:
    // A layout with its fonts, and the window size it needs on one monitor.
    struct TFit {
        TFormLayout Layout;
        TFontSet Fonts;
        SIZE Window{};
    };

    // Set-up and layout.
    void FormCreate();
    void CreateControls();
    TFontSet MakeFonts(UINT aDpi) const;
    SIZE MeasureControl(HDC aDC, const TFontSet& aFonts, int anId, int aWrapWidth, bool aLargest) const;
    TTextMeasure MeasureWith(HDC aDC, const TFontSet& aFonts) const;
    TFit ComputeFit(UINT aDpi, SIZE aFrame, const RECT& aWork) const;
    void Adopt(TFit&& aFit, const RECT& aWindow, const RECT& aWork);
    void PlaceControls(bool aNewFonts);
    void DisplayChanged() noexcept;
    void DpiChanged(UINT aDpi, const RECT& aSuggested) noexcept;
    bool DpiScaledSize(UINT aDpi, SIZE& aSize) const noexcept;
    void Paint();
    HWND Control(int anId) const noexcept { return GetDlgItem(Handle(), anId); }

    // What the user does.
    void ShowNormal() noexcept;
    void ShowTray() noexcept;
    void TrackBar1Change() noexcept;
    void ButApplyClick() noexcept;
    void FormClose() noexcept;
    void TitleSecLevelUnderClick() noexcept;
    void ImgShareClick() noexcept;
    void TrayIconClick() noexcept;
    void StatusDetailsClick() noexcept;
    void N1Click() noexcept;
    void N2Click() noexcept;
    void Help1Click() noexcept;
    void N4Click() noexcept;
    void Timer1Timer() noexcept;
    void DriftTimerTimer() noexcept;
    void TrayRetryTimer() noexcept;
    void BalloonClick() noexcept;
    void EndSession() noexcept;
    void CheckReminder();

    // The drift watch.
    void StartWatch() noexcept;
    void ScheduleDriftCheck() noexcept;
    void CheckDrift() noexcept;
    // Says what settings written since Windows started still wait for (TTakesEffect bits).
    void ShowRestartNote(unsigned aNeeds) noexcept;
    void UpdateDriftView() noexcept;
    void AnnounceDrift() noexcept;
    bool Drifting() const noexcept { return FCheckedLevel != lOff && !FDeviations.empty(); }

    // The notification area.
    void UpdateTrayIcon() noexcept;
    bool ShowBalloon(TBalloonKind aKind, const wchar_t* aText, DWORD anIcon) noexcept;
    void ShowTrayMenu(POINT aWhere) noexcept;
    // Adds the icon, or schedules the next attempt (TrayRetryDelay) when the shell refuses it.
    bool AddTrayIcon() noexcept;
    void RemoveTrayIcon() noexcept;
    void RegisterRestart() noexcept;
    NOTIFYICONDATAW TrayData(UINT aFlags) const noexcept;

    // The messages WndProc dispatches, one handler each; a message a handler leaves goes to Default.
    LRESULT Default(UINT aMsg, WPARAM wParam, LPARAM lParam) { return TWindowBase::WndProc(aMsg, wParam, lParam); }
    LRESULT OnCreate();
    LRESULT OnPaint();
    LRESULT OnCtlColorStatic(WPARAM wParam, LPARAM lParam);
    LRESULT OnSetCursor(WPARAM wParam, LPARAM lParam);
    LRESULT OnLButtonUp(WPARAM wParam, LPARAM lParam);
    LRESULT OnVScroll(WPARAM wParam, LPARAM lParam);
    LRESULT OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnClose();
    LRESULT OnQueryEndSession();
    LRESULT OnEndSession(WPARAM wParam);
    LRESULT OnTimer(WPARAM wParam);
    // After Apply: once the SETLEVEL process ends, opens the level's page where that process ran
    // elevated (it leaves the page to this unelevated window then).
    void LevelProcessTimer() noexcept;
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetMinMaxInfo(LPARAM lParam);
    LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetDpiScaledSize(WPARAM wParam, LPARAM lParam);
    LRESULT OnDisplayChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnSettingChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy();
    LRESULT OnOtherMessage(UINT aMsg, WPARAM wParam, LPARAM lParam);

    TMode FMode = mNormal;
    TCloseState FCloseState = csUI;
    TLevel FLevel = lOff;
    UINT WMMain = 0;
    UINT FTaskbarCreated = 0;
    bool FRefresh = true;
    // From the first switch to tray mode on, the icon belongs in the notification area until the
    // program ends; FTrayVisible says whether the shell has it now.
    bool FTrayWanted = false;
    bool FTrayVisible = false;
    unsigned FTrayFailures = 0;
    UINT FTextScale = 100;
    std::wstring FAppTitle;

    TFormLayout FLayout;
    TFontSet FFonts;
    TResourceImage FLogo{nullptr, L"LOGO", RT_RCDATA}, FShare{nullptr, L"SHARE", RT_RCDATA};
    TUniqueIcon FIconLarge, FIconSmall;
    TUniqueKernelHandle FLevelProcess; // the SETLEVEL process Apply started, until it ends
    TLevel FAppliedLevel = lOff;       // the level it was started for
    // The icon's image while settings differ; the shell keeps its own copy.
    TUniqueIcon FWarningIcon;
    TUniqueMenu FMenuTray;

    // The drift watch: the last check's level and settings, and the decisions on when to check
    // and when to warn.
    TRegistryWatch FWatch;
    TDriftPolicy FDrift;
    TLevel FCheckedLevel = lOff;
    std::vector<TSettingCheck> FSettings;
    std::vector<TSettingCheck> FDeviations;
    std::wstring FCheckedAt;
    unsigned FChecks = 0;
    TDetailsForm FDetails;
};
