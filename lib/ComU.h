// COM on the calling thread for the lifetime of one scope, and a VARIANT that clears itself.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

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

// A VARIANT cleared (its BSTR or interface released) when it goes out of scope.
class TVariant {
public:
    TVariant() noexcept { VariantInit(&FValue); }
    ~TVariant() { VariantClear(&FValue); }
    TVariant(const TVariant&) = delete;
    TVariant& operator=(const TVariant&) = delete;
    VARIANT* get() noexcept { return &FValue; }
    VARIANT& operator*() noexcept { return FValue; }

private:
    VARIANT FValue;
};
