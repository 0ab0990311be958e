// A small base for top-level windows: a static window procedure binds the C++ object to its
// window on WM_NCCREATE and unbinds it on WM_NCDESTROY; no exception ever reaches user32.
// Also the per-monitor DPI helpers the windows use.
#pragma once

#include <windows.h>

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

// The window's DPI (GetDpiForWindow, Windows 10 1607 and later), else the screen's logical DPI.
UINT WindowDpi(HWND aWnd) noexcept;

// Scales a length given at 96 DPI to aDpi, rounding to the nearest pixel.
int ScaleToDpi(int aValue, UINT aDpi) noexcept;

// The outer size of a window with the given styles whose client area is aClientWidth x
// aClientHeight at aDpi (AdjustWindowRectExForDpi where the system has it).
SIZE WindowSizeForClient(int aClientWidth, int aClientHeight, DWORD aStyle, DWORD anExStyle, UINT aDpi) noexcept;
