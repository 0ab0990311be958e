// A small base for top-level windows: a static window procedure binds the C++ object to its
// window on WM_NCCREATE and unbinds it on WM_NCDESTROY; no exception ever reaches user32.
// Also the per-monitor DPI helpers the windows use.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class TWindowBase {
public:
    TWindowBase() = default;
    TWindowBase(const TWindowBase&) = delete;
    TWindowBase& operator=(const TWindowBase&) = delete;
    // Destroys a window still alive. Messages arriving during that destruction see only the
    // default procedure: a derived class that wants its WM_DESTROY handling destroys the window
    // in its own destructor.
    virtual ~TWindowBase();

    HWND Handle() const noexcept { return FHandle; }

protected:
    // Registers the class aClass (window procedure and instance filled in here) unless it is
    // registered already, then creates the window, hidden. False when either step fails.
    bool CreateWnd(WNDCLASSEXW aClass, DWORD anExStyle, const wchar_t* aCaption, DWORD aStyle) noexcept;

    // Destroys the window now, with the derived class's handlers still in place.
    void DestroyWnd() noexcept;

    // The window's message handler; the default passes everything to DefWindowProcW. An
    // exception thrown here is swallowed and the message gets the default processing.
    virtual LRESULT WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK StaticWndProc(HWND aWnd, UINT aMsg, WPARAM wParam, LPARAM lParam) noexcept;
    HWND FHandle = nullptr;
};

// The device context of a window's client area (GetDC), released again when the owner goes.
class TWindowDC {
public:
    explicit TWindowDC(HWND aWnd) noexcept : FWnd(aWnd), FDC(GetDC(aWnd)) {}
    ~TWindowDC() {
        if (FDC)
            ReleaseDC(FWnd, FDC);
    }
    TWindowDC(const TWindowDC&) = delete;
    TWindowDC& operator=(const TWindowDC&) = delete;

    HDC get() const noexcept { return FDC; }
    explicit operator bool() const noexcept { return FDC != nullptr; }

private:
    HWND FWnd;
    HDC FDC;
};

// The painting DC of a WM_PAINT (BeginPaint), ended again when the owner goes; null when
// BeginPaint failed.
class TPaintDC {
public:
    explicit TPaintDC(HWND aWnd) noexcept : FWnd(aWnd), FDC(BeginPaint(aWnd, &FPaint)) {}
    ~TPaintDC() {
        if (FDC)
            EndPaint(FWnd, &FPaint);
    }
    TPaintDC(const TPaintDC&) = delete;
    TPaintDC& operator=(const TPaintDC&) = delete;

    HDC get() const noexcept { return FDC; }
    explicit operator bool() const noexcept { return FDC != nullptr; }

private:
    HWND FWnd;
    PAINTSTRUCT FPaint{};
    HDC FDC;
};

// Selects anObject into aDC for the owner's lifetime and then puts back the object it replaced.
// Nothing is selected when either is null or the selection fails.
class TSelectObject {
public:
    TSelectObject(HDC aDC, HGDIOBJ anObject) noexcept
        : FDC(aDC), FOld(aDC && anObject ? SelectObject(aDC, anObject) : nullptr) {}
    ~TSelectObject() {
        if (FOld && FOld != HGDI_ERROR)
            SelectObject(FDC, FOld);
    }
    TSelectObject(const TSelectObject&) = delete;
    TSelectObject& operator=(const TSelectObject&) = delete;

private:
    HDC FDC;
    HGDIOBJ FOld;
};

// The highest DPI Windows' display scaling offers (500 %).
constexpr UINT kMaxUsableDpi = 480;

// aDpi when it lies within 96..kMaxUsableDpi, the range Windows' display scaling offers, else 96.
// Wine takes the DPI from LogPixels in the registry unchecked, so 1, 10000 or 0xFFFFFFFF reach
// programs there.
UINT UsableDpi(UINT aDpi) noexcept;

// The window's DPI (GetDpiForWindow, Windows 10 1607 and later), else the screen's logical DPI,
// made usable by UsableDpi. A null aWnd gives the screen's.
UINT WindowDpi(HWND aWnd) noexcept;

// Scales a length given at 96 DPI to aDpi, rounding to the nearest pixel.
int ScaleToDpi(int aValue, UINT aDpi) noexcept;

// GetSystemMetricsForDpi where the system has it, else GetSystemMetrics (the system's DPI).
int SystemMetricForDpi(int anIndex, UINT aDpi) noexcept;

// The outer size of a window with the given styles whose client area is aClientWidth x
// aClientHeight at aDpi (AdjustWindowRectExForDpi where the system has it).
SIZE WindowSizeForClient(int aClientWidth, int aClientHeight, DWORD aStyle, DWORD anExStyle, UINT aDpi) noexcept;

// What a window's frame adds to its client area, read from the window itself: its rectangle less
// its client rectangle. This holds for the frame the system really draws, whatever DPI that is
// drawn for. {0, 0} when aWnd is no window.
SIZE WindowFrameSize(HWND aWnd) noexcept;

// The work area (the monitor less task bars) of the monitor nearest to aWnd, or to aRect.
RECT WorkAreaOf(HWND aWnd) noexcept;
RECT WorkAreaOf(const RECT& aRect) noexcept;

// A rectangle of aSize centred in anArea. Where aSize is larger than anArea, that side is
// anArea's whole side.
RECT CentredRect(SIZE aSize, const RECT& anArea) noexcept;

// True when aRect lies wholly inside anArea.
bool RectInside(const RECT& aRect, const RECT& anArea) noexcept;

// The largest DPI from aMinDpi to aDpi at which aSizeAt(dpi) fits into anAvailable, or aMinDpi
// when none does. aSizeAt must grow with the DPI; it may grow in steps (wrapped text gains whole
// lines), so the search measures rather than computes. An exception from aSizeAt passes on.
UINT LargestFittingDpi(UINT aDpi, UINT aMinDpi, SIZE anAvailable, const std::function<SIZE(UINT)>& aSizeAt);

// Windows' text size setting ("Make text bigger", Windows 10 and later): the per-user
// TextScaleFactor in percent, clamped to the 100..225 the setting offers; 100 when it is absent.
UINT TextScalePercent() noexcept;

// The extent of aText in aFont as a static control draws it: wrapped at word breaks within
// aWrapWidth pixels, or on one line when aWrapWidth is 0. An empty text measures as one blank, so
// that an empty label still has a line's height. {0, 0} when aDC is null.
SIZE MeasureText(HDC aDC, HFONT aFont, const std::wstring& aText, int aWrapWidth) noexcept;
