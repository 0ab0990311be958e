// System DLLs bound on first use. The program imports the DLLs it needs only for some of its work
// (WinINet, SChannel, CNG, WIC, COM…) through delay-import libraries (cmake/QVDelayImport.cmake):
// nothing of them is loaded until one of their functions is first called. This unit is what the
// delay-load helper of the runtime asks on that first call: it loads the DLL from the system
// folder only, and when that fails it binds the function to a stand-in that fails the way the
// function itself reports failure, so the callers' error paths run instead of a crash.
#pragma once

#include <windows.h>

// Loads the system DLL aName (a bare file name) from the system folder, never from the
// application's folder or the current directory. The caller owns the reference (FreeLibrary);
// null with the loader's error as the last-error value when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* aName) noexcept;

// The stand-in bound to the delay-imported function aProcName when its DLL or the function is
// missing: it returns the function's failure value (FALSE, null, an error HRESULT, NTSTATUS or
// SECURITY_STATUS, 0) with ERROR_MOD_NOT_FOUND as the last-error value. Null for a function that
// has no stand-in; every function the program delay-imports has one.
FARPROC DelayLoadFailureStub(const char* aProcName) noexcept;
