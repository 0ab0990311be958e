#include "MutexU.h"

#include "FallbackU.h"
#include "SecurityU.h"

namespace {

std::wstring GlobalName(const std::wstring& iName) noexcept {
    return ResultOr<std::wstring>("GlobalName", std::wstring(), [&]() -> std::wstring { return L"Global\\" + iName; });
}

} // namespace

TMutex::TMutex(const std::wstring& iName) noexcept {
    IgnoringFailure("TMutex.TMutex", [&] {
        fMName = iName;
        if (fMName.empty())
            return; // an unnamed mutex would be private to this process and coordinate nothing
        fHandle.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, fMName.c_str()));
        if (fHandle)
            return;
        // The DACL must outlive the attributes that point to it. Without a grant the attributes are
        // null and the mutex gets default security.
        const TUniqueAcl dacl = GrantAccessInAcl(nullptr, EveryoneName(), MUTEX_ALL_ACCESS);
        const TUniqueSecurityAttributes attributes = CreateSecurityAttributes(dacl.get());
        fHandle.reset(CreateMutexW(attributes.get(), FALSE, fMName.c_str()));
        if (fHandle)
            SetObjectIntegrityLabel(fMName, SE_KERNEL_OBJECT, SECURITY_MANDATORY_LOW_RID,
                                    SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
    });
}

TMutex::~TMutex() {
    if (fLocked)
        Unlock();
}

bool TMutex::Lock(DWORD timeOut) noexcept {
    const DWORD r = fHandle ? WaitForSingleObject(fHandle.get(), timeOut) : WAIT_FAILED;
    fLocked = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    return fLocked;
}

void TMutex::Unlock() noexcept {
    if (fHandle)
        ReleaseMutex(fHandle.get());
    fLocked = false;
}

TGlobalMutex::TGlobalMutex(const std::wstring& iName) noexcept : TMutex(GlobalName(iName)) {}
