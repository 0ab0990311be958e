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

// Copies a key tree of the prefix aside and, when destroyed, puts it back as it was: whatever is at
// its place then is deleted first, and a tree that did not exist is only deleted. The copy lives
// under HKEY_CURRENT_USER\Software\QuenvarTests. aView (KEY_WOW64_64KEY or 0) is the registry view
// of aPath; it is passed on every key opened below it, since WOW64 does not carry it over from a
// parent handle.
class TKeyTreeGuard {
public:
    TKeyTreeGuard(HKEY aRoot, const std::wstring& aPath, REGSAM aView = 0);
    ~TKeyTreeGuard();
    TKeyTreeGuard(const TKeyTreeGuard&) = delete;
    TKeyTreeGuard& operator=(const TKeyTreeGuard&) = delete;

private:
    HKEY FRoot;
    std::wstring FPath;
    REGSAM FView;
    std::wstring FCopy;
    bool FExisted = false;
};

// Saves one value, whatever its type, and puts it back (or deletes it again) when destroyed.
class TValueGuard {
public:
    TValueGuard(HKEY aRoot, const std::wstring& aPath, const std::wstring& aName);
    ~TValueGuard();
    TValueGuard(const TValueGuard&) = delete;
    TValueGuard& operator=(const TValueGuard&) = delete;

private:
    HKEY FRoot;
    std::wstring FPath;
    std::wstring FName;
    DWORD FType = REG_NONE;
    std::vector<BYTE> FData;
    bool FExisted = false;
};

// The folder of the running test program, with a trailing backslash: the build's bin folder.
std::wstring TestBinDir();

// The Quenvar.exe of this build, of the test program's own architecture.
std::wstring QuenvarExe();

// True when the user's WinINet cache holds an entry for aURL.
bool InUrlCache(const std::wstring& aURL);

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

// The system's pending-rename list (replacements and deletions at the next start). It is
// machine-wide, and a TRegistrySandbox hides it (it redirects HKEY_LOCAL_MACHINE, the system does
// not): tests that use it run outside one and take their entries out again.
class TPendingRenames {
public:
    static std::vector<std::wstring> Read() {
        std::vector<std::wstring> items;
        TUniqueHKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return items;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), kValue, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return items;
        std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
        RegQueryValueExW(key.get(), kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
        data.resize(size / sizeof(wchar_t));
        for (size_t start = 0; start < data.size();) {
            const size_t end = data.find(L'\0', start);
            items.push_back(data.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
            if (end == std::wstring::npos)
                break;
            start = end + 1;
        }
        return items;
    }
    static bool Mentions(const std::wstring& aPath) {
        for (const auto& item : Read())
            if (item.find(aPath) != std::wstring::npos)
                return true;
        return false;
    }
    // Removes the pairs whose source mentions aPath.
    static void Forget(const std::wstring& aPath) {
        std::vector<std::wstring> items = Read();
        std::wstring data;
        for (size_t i = 0; i + 1 < items.size(); i += 2) {
            if (items[i].find(aPath) != std::wstring::npos)
                continue;
            data += items[i] + L'\0' + items[i + 1] + L'\0';
        }
        TUniqueHKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS)
            return;
        if (data.empty()) {
            RegDeleteValueW(key.get(), kValue);
            return;
        }
        data += L'\0';
        RegSetValueExW(key.get(), kValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    }

private:
    static constexpr const wchar_t* kKey = L"System\\CurrentControlSet\\Control\\Session Manager";
    static constexpr const wchar_t* kValue = L"PendingFileRenameOperations";
};
