// Drives the real Quenvar.exe's window from another process, as the UI tests do: starts and stops
// the program, finds its window, moves the slider, clicks, and looks at the screen.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Polls aCondition every 50 ms until it holds or aTimeoutMs passed; whether it held.
bool WaitFor(const std::function<bool()>& aCondition, DWORD aTimeoutMs);

// Quenvar's main windows, of one process or (aPid 0) of any other than this one.
std::vector<HWND> MainWindows(DWORD aPid = 0);

// Ends every running Quenvar with a main window: WM_QUIT, and after 5 seconds without an end,
// TerminateProcess.
void StopRunningInstances();

// The text of the control anId of aWindow, read with a time-out.
std::wstring ControlText(HWND aWindow, int anId);

// A control's rectangle in its parent's client coordinates.
RECT ControlRect(HWND aWindow, int anId);

// A Quenvar.exe (or a copy at anExe) started with anArgs; stopped (WM_QUIT, else terminated) when
// destroyed.
class TQuenvar {
public:
    explicit TQuenvar(const std::wstring& anArgs, const std::wstring& anExe = std::wstring());
    ~TQuenvar() { Stop(); }
    TQuenvar(const TQuenvar&) = delete;
    TQuenvar& operator=(const TQuenvar&) = delete;

    DWORD Pid() const { return FPid; }
    HANDLE Process() const { return FProcess.get(); }
    bool Running() const { return FProcess && WaitForSingleObject(FProcess.get(), 0) == WAIT_TIMEOUT; }
    bool Ended(DWORD aTimeoutMs) const {
        return FProcess && WaitForSingleObject(FProcess.get(), aTimeoutMs) == WAIT_OBJECT_0;
    }

    // The process's main window once it exists (and, with aVisible, is shown); null on time-out.
    HWND Window(bool aVisible, DWORD aTimeoutMs = 20000) const;

    void Kill();
    void Stop();

private:
    TUniqueKernelHandle FProcess;
    DWORD FPid = 0;
};

// Moves the slider as a user would: the position, then the notification the window acts on.
void MoveSlider(HWND aWindow, int aPosition);
int SliderPos(HWND aWindow);
bool ApplyEnabled(HWND aWindow);

// Presses and releases the left mouse button at aPoint (screen coordinates) through the system's
// input queue, so the click reaches whatever window really lies there.
void ClickAt(POINT aPoint);

// The client area as it is on the screen, 32-bit pixels, top-down.
class TScreenShot {
public:
    explicit TScreenShot(HWND aWindow);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // The colour at client pixel (aX, aY); CLR_INVALID outside the client area.
    COLORREF At(int aX, int aY) const;
    // Writes a BMP file, for a person to look at when a check fails.
    void Save(const std::wstring& aPath) const;

private:
    int FWidth = 0, FHeight = 0;
    std::vector<DWORD> FPixels;
};
