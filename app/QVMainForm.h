// The program's only window: the level slider with its texts and the Apply button, and the
// notification-area icon with its menu, reminder balloons and timer.
#pragma once

#include "QVConst.h"
#include "QVStatus.h"

#include "../lib/HandleU.h"
#include "../lib/ImageU.h"
#include "../lib/RegWatchU.h"
#include "../lib/WindowU.h"

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Control and menu identifiers; other processes (the UI tests) find the controls by them.
enum : int {
    idTitleSecLevel = 101,
    idTitleSecLevelEx,
    idTitleSecLevelUnder,
    idTitleLevelMax,
    idTitleLevelOff,
    idTrackBar1,
    idTitleLevel,
    idLevelNote1,
    idLevelNote2,
    idLevelNote3,
    idLevelNote4,
    idTitleShare,
    idButApply,
    idRestartNote,       // shown while settings written since Windows started wait for a restart
    idStatusLine,        // whether the registry still holds the stored level's settings
    idStatusDetails,     // "Details": opens the list of deviations and the self-test
    idN1 = 201,          // "Open Quenvar"
    idN2,                // the website
    idHelp1,             // "Help"
    idN4,                // "Exit"
    idDetailsText = 301, // the Details window's text
    idDetailsTest,       // "Run self-test"
    idDetailsClose       // "Close"
};

// The window's client size at 96 DPI when every text fits its design place; the layout grows
// from it where texts need more room.
constexpr int kClientWidth = 885;
constexpr int kClientHeight = 614;

// The smallest DPI the window is laid out for when it has to shrink to fit a small work area. The
// Apply button's text is then 8 pixels high; any smaller and it would no longer be legible.
constexpr UINT kMinLayoutDpi = 72;

// Where the window's parts go, in client pixels, at one layout DPI. The panels are drawn, not
// child windows, so the layout gives their rectangles beside the controls'.
struct TControlPlace {
    int Id;
    RECT Rect;
};
struct TFormLayout {
    UINT Dpi = USER_DEFAULT_SCREEN_DPI;
    SIZE Client{};
    RECT Header{}, Logo{}, LevelBox{}, FooterEdge{}, Share{};
    std::vector<RECT> Bullets;
    std::vector<TControlPlace> Controls;
    // The rectangle of control anId; an empty one when the layout does not place it.
    RECT Place(int anId) const noexcept;
};

// The extent of control anId's text in its font at the layout's scale, wrapped within aWrapWidth
// pixels or, for 0, on one line. With aLargest, for a control whose text follows the level, the
// largest of the levels' texts: the layout keeps room for those, so that moving the slider never
// changes its size.
using TTextMeasure = std::function<SIZE(int anId, int aWrapWidth, bool aLargest)>;

// Lays the window out at aDpi. Each label gets the room its measured text needs and at least its
// design size; a taller text pushes what lies below it down, and the level box, the body and the
// window grow with their contents. The level box is a stack of rows (headline, notes), each placed
// below the one above for the text it shows; the box keeps room for every level's largest texts.
// Without aClient the layout's Client is the size it needs. Given a client size (an empty one
// too) it fills that instead: the right-hand parts and the footer keep to its right
// and bottom edges, wrapped texts narrow where it is narrower than needed, and whatever would then
// lie below the footer's edge or beyond the client is cut off there, so that nothing is placed
// outside the client area and Apply stays in view. An exception from aMeasure passes on.
TFormLayout LayoutMainForm(UINT aDpi, const TTextMeasure& aMeasure, std::optional<SIZE> aClient = std::nullopt);

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

// Whether the reminder for aLevel is due at aNow (local time) when the last one is recorded as
// aLastText. Empty or unreadable text counts as due, so that a value that cannot be read back
// (regional format changed) is rewritten instead of stopping reminders for good. Otherwise the
// whole hours between the two moments, in either direction, must reach the level's gap.
bool ReminderDue(TLevel aLevel, const std::wstring& aLastText, const SYSTEMTIME& aNow) noexcept;

// The Details view: the settings that differ from the stored level and, on demand, the self-test.
// Closing it only hides it.
class TDetailsForm : public TWindowBase {
public:
    ~TDetailsForm() override;
    // Shows the window with aText, creating it on first use.
    void ShowText(const std::wstring& aText, const std::function<std::wstring()>& aSelfTest) noexcept;

protected:
    LRESULT WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) override;

private:
    std::function<std::wstring()> FSelfTest;
    void Arrange() noexcept;
};

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

    // Lays the window out for aDpi (the system's DPI for it; an unusable one counts as 96) on the
    // monitor it is on: at that DPI where the window then fits the monitor's work area, else at the
    // largest smaller layout DPI at which it does, never below kMinLayoutDpi; there the window
    // takes as much of the work area as it needs, up to all of it. The window is centred in the
    // work area. Windows' text size setting is read anew.
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

    void FormCreate();
    void CreateControls();
    TFontSet MakeFonts(UINT aDpi) const;
    SIZE MeasureControl(HDC aDC, const TFontSet& aFonts, int anId, int aWrapWidth, bool aLargest) const;
    TFormLayout LayoutWith(UINT aDpi, const TFontSet& aFonts, std::optional<SIZE> aClient) const;
    TFit ComputeFit(UINT aDpi, SIZE aFrame, const RECT& aWork) const;
    void Adopt(TFit&& aFit, const RECT& aWindow, const RECT& aWork);
    void PlaceControls(bool aNewFonts);
    void DisplayChanged() noexcept;
    void DpiChanged(UINT aDpi, const RECT& aSuggested) noexcept;
    bool DpiScaledSize(UINT aDpi, SIZE& aSize) const noexcept;
    void Paint();
    HWND Control(int anId) const noexcept { return GetDlgItem(Handle(), anId); }

    void ShowNormal() noexcept;
    void ShowTray() noexcept;
    void TrackBar1Change() noexcept;
    void ButApplyClick() noexcept;
    void FormClose() noexcept;
    void TitleSecLevelUnderClick() noexcept;
    void ImgShareClick() noexcept;
    void TrayIconClick() noexcept;
    void N1Click() noexcept;
    void N2Click() noexcept;
    void Help1Click() noexcept;
    void N4Click() noexcept;
    void Timer1Timer() noexcept;
    void CheckReminder();
    void StartWatch() noexcept;
    void ScheduleDriftCheck() noexcept;
    void CheckDrift() noexcept;
    void UpdateDriftView() noexcept;
    void AnnounceDrift() noexcept;
    void UpdateTrayIcon() noexcept;
    void StatusDetailsClick() noexcept;
    bool Drifting() const noexcept { return FCheckedLevel != lOff && !FDeviations.empty(); }
    bool ShowBalloon(const wchar_t* aText, DWORD aFlag) noexcept;
    void ShowTrayMenu(POINT aWhere) noexcept;
    bool AddTrayIcon() noexcept;
    void RemoveTrayIcon() noexcept;
    NOTIFYICONDATAW TrayData(UINT aFlags) const noexcept;
    bool OnSetCursor(HWND aTarget, UINT aHitTest) noexcept;

    TMode FMode = mNormal;
    TCloseState FCloseState = csUI;
    TLevel FLevel = lOff;
    UINT WMMain = 0;
    UINT FTaskbarCreated = 0;
    bool FRefresh = true;
    bool FTrayVisible = false;
    UINT FTextScale = 100;
    std::wstring FAppTitle;

    TFormLayout FLayout;
    TFontSet FFonts;
    TResourceImage FLogo{nullptr, L"LOGO", RT_RCDATA}, FShare{nullptr, L"SHARE", RT_RCDATA};
    TUniqueIcon FIconLarge, FIconSmall;
    TUniqueMenu FMenuTray;

    // The drift watch: the last check's level and settings, the deviations last warned about
    // (by identity), and the debounce of a burst of changes.
    TRegistryWatch FWatch;
    TLevel FCheckedLevel = lOff;
    std::vector<TSettingCheck> FSettings;
    std::vector<TSettingCheck> FDeviations;
    std::wstring FCheckedAt;
    std::vector<std::wstring> FWarned;
    bool FCheckPending = false;
    DWORD FFirstChange = 0;
    unsigned FChecks = 0;
    TDetailsForm FDetails;
};
