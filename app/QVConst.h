// Enumerations shared by the program's units.
#pragma once

#include <cstdint>

// The security level the user picks on the slider.
enum TLevel : std::uint8_t { lOff = 0, lOptimal = 1, lMax = 2 };

// Whether the main window is shown or hidden in the notification area.
enum TMode : std::uint8_t { mNormal = 0, mTray = 1 };

// What closing the main window does: hide it to the tray, or end the program.
enum TCloseState : std::uint8_t { csUI = 0, csApp = 1 };

// The kernel mutexes. The window-and-tray instance is one per logon session, so that every user
// logged on through fast user switching or Remote Desktop gets a tray; the updater and a level
// change are one per machine, whoever runs them.
constexpr wchar_t kInstanceMutexName[] = L"Local\\QuenvarMtx";
constexpr wchar_t kUpdateMutexName[] = L"Global\\QuenvarMtx_UPD";
constexpr wchar_t kLevelMutexName[] = L"Global\\QuenvarMtx_LVL";
