// Helpers shared by the test programs: registry isolation and running the real executable.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <string>

// Redirects HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE of this process to fresh scratch keys for
// the sandbox's lifetime, then removes the scratch keys. Only this process is redirected.
class TRegistrySandbox {
public:
    TRegistrySandbox();
    ~TRegistrySandbox();
    TRegistrySandbox(const TRegistrySandbox&) = delete;
    TRegistrySandbox& operator=(const TRegistrySandbox&) = delete;

private:
    std::wstring FRootPath;
    TUniqueHKey FUser;
    TUniqueHKey FMachine;
};

// The folder of the running test program, with a trailing backslash: the build's bin folder.
std::wstring TestBinDir();

// The x86_64 Quenvar.exe of this build.
std::wstring QuenvarExe();

// Runs aCommandLine and waits up to aTimeoutMs. Returns the exit code, or -1 when the process
// could not be started or did not end in time (it is then terminated).
long RunProcess(const std::wstring& aCommandLine, DWORD aTimeoutMs = 30000);
