// Where the main window's parts go: the design, its layout for measured texts at one DPI, and the
// DPI and size the window takes on a monitor. Pure: text extents come in through a measure
// function, so tests can feed any texts, DPIs and work areas.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <vector>

// The main window's controls; other processes (the UI tests) find them by these identifiers.
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
    idRestartNote,   // shown while settings written since Windows started wait for a restart
    idStatusLine,    // whether the registry still holds the stored level's settings
    idStatusDetails, // "Details": opens the list of deviations and the self-test
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

// The measure for texts in the fonts of layout DPI aDpi (and the text size in effect).
using TTextMeasureAt = std::function<TTextMeasure(UINT aDpi)>;

// The layout the window takes on a monitor, at the size it needs, and the window's size there.
struct TFormFit {
    TFormLayout Layout;
    SIZE Window{};
};

// The window on a monitor whose work area is aWork, its frame adding aFrame to the client area:
// laid out at aDpi (the system's DPI for it; an unusable one counts as 96) where the window then
// fits the work area, else at the largest smaller DPI at which it does, never below kMinLayoutDpi.
// The window takes as much of the work area as the layout needs, up to all of it. An exception
// from aMeasureAt or a measure it gives passes on.
TFormFit FitMainForm(UINT aDpi, SIZE aFrame, const RECT& aWork, const TTextMeasureAt& aMeasureAt);

// Where a fitted window of size aWindow goes after the display's resolution, the work area or the
// text size changed: where it is (aNow) when it still lies in aWork with that size, else centred.
RECT RefittedWindowRect(const RECT& aNow, SIZE aWindow, const RECT& aWork) noexcept;
// After a change of DPI: the rectangle the system suggests when it lies in aWork and holds
// aWindow, else centred in aWork.
RECT DpiChangedWindowRect(const RECT& aSuggested, SIZE aWindow, const RECT& aWork) noexcept;
