// Named kernel mutexes that every account and integrity level can open: the creator gives the
// mutex a DACL granting Everyone full access and a low integrity label, so that an elevated
// process never leaves a mutex behind that a normal one cannot open. Should the grant itself
// fail, the mutex is created with default security.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <string>

class TMutex {
public:
    // Opens the mutex iName if it exists, otherwise creates it (not owned) with the open
    // security described above. Never raises: when neither works the handle stays empty and
    // every Lock fails; so it does for an empty name.
    explicit TMutex(const std::wstring& iName) noexcept;
    // Releases the mutex if this object still holds it, then closes the handle.
    virtual ~TMutex();
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    // Waits up to timeOut ms. True when the calling thread now owns the mutex, also when its
    // previous owner died without releasing it (WAIT_ABANDONED).
    bool Lock(DWORD timeOut) noexcept;
    // Releases one ownership taken by Lock; must run on the thread that locked.
    void Unlock() noexcept;

    const std::wstring& Name() const noexcept { return fMName; }
    HANDLE Handle() const noexcept { return fHandle.get(); }
    bool Locked() const noexcept { return fLocked; }

private:
    std::wstring fMName;
    TUniqueKernelHandle fHandle;
    bool fLocked = false;
};

// A mutex in the namespace shared by all logged-on users: "Global\" followed by iName.
class TGlobalMutex : public TMutex {
public:
    explicit TGlobalMutex(const std::wstring& iName) noexcept;
};
