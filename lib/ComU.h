// COM on the calling thread for the lifetime of one scope.
#pragma once

#include <windows.h>
#include <objbase.h>

// Initialises COM with aFlags; only a successful initialisation (S_OK or S_FALSE) is balanced, so
// a thread that already runs COM in another apartment keeps it untouched.
class TComScope {
public:
    explicit TComScope(DWORD aFlags = COINIT_APARTMENTTHREADED) noexcept
        : FInitialised(SUCCEEDED(CoInitializeEx(nullptr, aFlags))) {}
    ~TComScope() {
        if (FInitialised)
            CoUninitialize();
    }
    TComScope(const TComScope&) = delete;
    TComScope& operator=(const TComScope&) = delete;

private:
    bool FInitialised;
};

// The shell may hand a request to a COM or DDE handler: what ShellExecuteW's callers initialise.
constexpr DWORD kShellComFlags = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE;
