#include "MutexU.h"

#include "SecurityU.h"

namespace {

// Attributes whose DACL grants Everyone MUTEX_ALL_ACCESS. aDacl receives the ACL, which must
// outlive the attributes. When the grant cannot be made the descriptor carries a null DACL,
// which also grants every access; null attributes (default security) only when no descriptor
// can be made at all.
TUniqueSecurityAttributes CreateMutexSecurity(TUniqueAcl& aDacl) noexcept {
    try {
        TUniqueSecurityDescriptor descriptor(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
        if (!descriptor)
            return TUniqueSecurityAttributes();
        InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION);
        aDacl = GrantAccessInAcl(nullptr, EveryoneName(), MUTEX_ALL_ACCESS);
        SetSecurityDescriptorDacl(descriptor.get(), TRUE, aDacl.get(), FALSE);
        auto* record = static_cast<SECURITY_ATTRIBUTES*>(LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
        if (!record)
            return TUniqueSecurityAttributes();
        record->nLength = sizeof(SECURITY_ATTRIBUTES);
        record->lpSecurityDescriptor = descriptor.release();
        record->bInheritHandle = FALSE;
        return TUniqueSecurityAttributes(record);
    } catch (...) {
        return TUniqueSecurityAttributes();
    }
}

std::wstring GlobalName(const std::wstring& iName) noexcept {
    try {
        return L"Global\\" + iName;
    } catch (...) {
        return std::wstring();
    }
}

} // namespace

TMutex::TMutex(const std::wstring& iName) noexcept {
    try {
        fMName = iName;
        if (fMName.empty())
            return; // an unnamed mutex would be private to this process and coordinate nothing
        fHandle.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, fMName.c_str()));
        if (fHandle)
            return;
        TUniqueAcl dacl;
        TUniqueSecurityAttributes attributes = CreateMutexSecurity(dacl);
        fHandle.reset(CreateMutexW(attributes.get(), FALSE, fMName.c_str()));
        FreeSecurityAttributes(attributes.release());
        if (fHandle)
            SetObjectIntegrityLabel(fMName, SE_KERNEL_OBJECT, SECURITY_MANDATORY_LOW_RID,
                                    SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
    } catch (...) {
    }
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
