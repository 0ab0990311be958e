// Helpers shared by the test programs: registry isolation and running the real executable.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <string>
#include <vector>

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

// Registers tests' UrlRecorder.exe as the http URL handler of the prefix (HKCR\http\shell) for its
// lifetime, so pages the program opens through the shell are recorded instead of shown; the
// previous handler is put back afterwards.
class TUrlRecorder {
public:
    TUrlRecorder();
    ~TUrlRecorder();
    TUrlRecorder(const TUrlRecorder&) = delete;
    TUrlRecorder& operator=(const TUrlRecorder&) = delete;

    // The URLs recorded so far, once at least aCount arrived or aTimeoutMs passed.
    std::vector<std::wstring> WaitForUrls(size_t aCount, DWORD aTimeoutMs = 10000) const;
    // Forgets what was recorded.
    void Clear() const;

private:
    std::wstring FLog;
    std::wstring FBackupPath;
    bool FSaved = false;
};
