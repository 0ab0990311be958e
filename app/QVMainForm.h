// The program's only window: the level slider with its texts and the Apply button, and the
// notification-area icon with its menu, reminder balloons and timer.
#pragma once

#include "QVConst.h"

#include "../lib/HandleU.h"
#include "../lib/WindowU.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

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
    idRestartNote, // shown while settings written since Windows started wait for a restart
    idN1 = 201,    // "Open Quenvar"
    idN2,          // the website
    idHelp1,       // "Help"
    idN4           // "Exit"
};

// The window's client size at 96 DPI; every position scales from it.
constexpr int kClientWidth = 885;
constexpr int kClientHeight = 614;

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

protected:
    LRESULT WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) override;

private:
    void FormCreate();
    void CreateControls();
    void LayoutControls(UINT aDpi, bool aCentre);
    void CreateFonts(UINT aDpi);
    void Paint();
    HWND Control(int anId) const noexcept { return GetDlgItem(Handle(), anId); }
    RECT ScaledRect(int aLeft, int aTop, int aWidth, int aHeight) const noexcept;

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
    void ShowBalloon(const wchar_t* aText, DWORD aFlag) noexcept;
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
    UINT FDpi = USER_DEFAULT_SCREEN_DPI;
    std::wstring FAppTitle;

    TUniqueGdiObject FFontForm, FFontLabel, FFontLink, FFontTitle, FFontLevel;
    TUniqueGdiObject FLogo, FShare;
    SIZE FLogoSize{}, FShareSize{};
    TUniqueIcon FIconLarge, FIconSmall;
    TUniqueMenu FMenuTray;
};
