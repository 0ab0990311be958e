#include "SecurityU.h"

#include "FallbackU.h"
#include "PlatformU.h"

#include <memory>
#include <mutex>

namespace {

using TAddMandatoryAce = BOOL(WINAPI*)(PACL, DWORD, DWORD, DWORD, PSID);

const DWORD kFileAclSize = 1024;
const DWORD kLabelAclSize = 64;

struct TObjectSecurity {
    std::once_flag FOnce;
    std::mutex FNameLock; // guards FEveryoneName, which DoneObjectSecurity clears
    std::wstring FEveryoneName = L"Everyone";
    TUniqueSid FWorldSid;
    std::unique_ptr<DWORD[]> FFileAcl; // kFileAclSize bytes, DWORD-aligned as an ACL must be
    TUniqueSecurityAttributes FFileAttributes;
    TUniqueModule FAdvapi;
    TAddMandatoryAce FAddMandatoryAce = nullptr;
};

TObjectSecurity& State() {
    static TObjectSecurity state;
    return state;
}

void SetEveryoneName(const std::wstring& aName) {
    TObjectSecurity& s = State();
    std::lock_guard<std::mutex> lock(s.FNameLock);
    s.FEveryoneName = aName;
}

// The account name the system reports for aSid; empty when it cannot be looked up.
std::wstring AccountNameOf(PSID aSid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLen = ARRAYSIZE(name);
    DWORD domainLen = ARRAYSIZE(domain);
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, aSid, name, &nameLen, domain, &domainLen, &use))
        return std::wstring();
    return std::wstring(name, nameLen);
}

// The one-ACE file ACL: FILE_ALL_ACCESS for aSid, inherited by folders and files below.
std::unique_ptr<DWORD[]> MakeFileAcl(PSID aSid) {
    auto acl = std::make_unique<DWORD[]>(kFileAclSize / sizeof(DWORD));
    auto* pacl = reinterpret_cast<PACL>(acl.get());
    if (!InitializeAcl(pacl, kFileAclSize, ACL_REVISION))
        return nullptr;
    const DWORD sidLen = GetLengthSid(aSid);
    const DWORD aceSize = offsetof(ACCESS_ALLOWED_ACE, SidStart) + sidLen;
    auto ace = std::make_unique<DWORD[]>((aceSize + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* pace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace.get());
    pace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    pace->Header.AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    pace->Header.AceSize = static_cast<WORD>(aceSize);
    pace->Mask = FILE_ALL_ACCESS;
    if (!CopySid(sidLen, &pace->SidStart, aSid))
        return nullptr;
    if (!AddAce(pacl, ACL_REVISION, 0, pace, aceSize))
        return nullptr;
    return acl;
}

void MakeObjectSecurity() noexcept {
    TObjectSecurity& s = State();
    IgnoringFailure("MakeObjectSecurity", [&] {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        if (AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, s.FWorldSid.put())) {
            const std::wstring name = AccountNameOf(s.FWorldSid.get());
            if (!name.empty())
                SetEveryoneName(name);
            s.FFileAcl = MakeFileAcl(s.FWorldSid.get());
            if (s.FFileAcl)
                s.FFileAttributes = CreateSecurityAttributes(reinterpret_cast<PACL>(s.FFileAcl.get()));
        }
        // Present only from Vista on; without it integrity labels count as unsupported.
        s.FAdvapi.reset(LoadLibraryW(L"advapi32.dll"));
        if (s.FAdvapi)
            s.FAddMandatoryAce = reinterpret_cast<TAddMandatoryAce>(
                reinterpret_cast<void*>(GetProcAddress(s.FAdvapi.get(), "AddMandatoryAce")));
    });
}

} // namespace

std::wstring EveryoneName() {
    InitObjectSecurity();
    TObjectSecurity& s = State();
    std::lock_guard<std::mutex> lock(s.FNameLock);
    return s.FEveryoneName;
}

void InitObjectSecurity() noexcept {
    IgnoringFailure("InitObjectSecurity", [&] { std::call_once(State().FOnce, MakeObjectSecurity); });
}

SECURITY_ATTRIBUTES* GetEveryoneFileSecurityAttributes() noexcept {
    InitObjectSecurity();
    return State().FFileAttributes.get();
}

TUniqueSecurityAttributes CreateSecurityAttributes(PACL aDacl) noexcept {
    if (!aDacl)
        return TUniqueSecurityAttributes();
    TUniqueSecurityDescriptor descriptor(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor || !InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(descriptor.get(), TRUE, aDacl, FALSE))
        return TUniqueSecurityAttributes();
    auto* record = static_cast<SECURITY_ATTRIBUTES*>(LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
    if (!record)
        return TUniqueSecurityAttributes();
    record->nLength = sizeof(SECURITY_ATTRIBUTES);
    record->lpSecurityDescriptor = descriptor.release();
    record->bInheritHandle = FALSE;
    return TUniqueSecurityAttributes(record);
}

void FreeSecurityAttributes(SECURITY_ATTRIBUTES* anAttributes) noexcept {
    if (anAttributes)
        TSecurityAttributesTraits::close(anAttributes);
}

TUniqueAcl GrantAccessInAcl(PACL anAcl, const std::wstring& aTrustee, DWORD aMask) noexcept {
    return ResultOr<TUniqueAcl>("GrantAccessInAcl", TUniqueAcl(), [&]() -> TUniqueAcl {
        InitObjectSecurity();
        std::wstring trustee = aTrustee; // the API takes a writable string
        EXPLICIT_ACCESS_W entry{};
        BuildExplicitAccessWithNameW(&entry, trustee.data(), aMask, GRANT_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
        TUniqueAcl result;
        if (SetEntriesInAclW(1, &entry, anAcl, result.put()) != ERROR_SUCCESS)
            return TUniqueAcl();
        return result;
    });
}

TUniqueSecurityDescriptor GrantAccessInSecurityDescriptor(PSECURITY_DESCRIPTOR aDescriptor,
                                                          const std::wstring& aTrustee) noexcept {
    return ResultOr<TUniqueSecurityDescriptor>(
        "GrantAccessInSecurityDescriptor", TUniqueSecurityDescriptor(), [&]() -> TUniqueSecurityDescriptor {
            InitObjectSecurity();
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            PACL dacl = nullptr;
            if (!aDescriptor || !GetSecurityDescriptorDacl(aDescriptor, &present, &dacl, &defaulted))
                return TUniqueSecurityDescriptor();
            TUniqueAcl newDacl = GrantAccessInAcl(dacl, aTrustee, GENERIC_ALL);
            if (!newDacl)
                return TUniqueSecurityDescriptor();

            // Self-relative to absolute: the first call reports the sizes of the parts.
            DWORD sdSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
            MakeAbsoluteSD(aDescriptor, nullptr, &sdSize, nullptr, &daclSize, nullptr, &saclSize, nullptr, &ownerSize,
                           nullptr, &groupSize);
            if (sdSize < SECURITY_DESCRIPTOR_MIN_LENGTH)
                sdSize = SECURITY_DESCRIPTOR_MIN_LENGTH;
            auto part = [](DWORD aSize) { return std::make_unique<DWORD[]>(aSize / sizeof(DWORD) + 1); };
            auto absolute = part(sdSize), oldDacl = part(daclSize), sacl = part(saclSize), owner = part(ownerSize),
                 group = part(groupSize);
            if (!InitializeSecurityDescriptor(absolute.get(), SECURITY_DESCRIPTOR_REVISION))
                return TUniqueSecurityDescriptor();
            if (!MakeAbsoluteSD(aDescriptor, absolute.get(), &sdSize, reinterpret_cast<PACL>(oldDacl.get()), &daclSize,
                                reinterpret_cast<PACL>(sacl.get()), &saclSize, owner.get(), &ownerSize, group.get(),
                                &groupSize))
                return TUniqueSecurityDescriptor();
            if (!SetSecurityDescriptorDacl(absolute.get(), present, newDacl.get(), defaulted))
                return TUniqueSecurityDescriptor();

            DWORD size = 0;
            MakeSelfRelativeSD(absolute.get(), nullptr, &size);
            if (size == 0)
                return TUniqueSecurityDescriptor();
            TUniqueSecurityDescriptor result(LocalAlloc(LPTR, size));
            if (!result || !MakeSelfRelativeSD(absolute.get(), result.get(), &size))
                return TUniqueSecurityDescriptor();
            return result;
        });
}

bool SetObjectIntegrityLabel(const std::wstring& aName, SE_OBJECT_TYPE aType, DWORD aRid, DWORD aPolicy) noexcept {
    return ResultOr<bool>("SetObjectIntegrityLabel", false, [&]() -> bool {
        InitObjectSecurity();
        const TAddMandatoryAce addMandatoryAce = State().FAddMandatoryAce;
        if (GetWinVersionClass() < 9 || !addMandatoryAce)
            return true;
        DWORD acl[kLabelAclSize / sizeof(DWORD)];
        auto* pacl = reinterpret_cast<PACL>(acl);
        if (!InitializeAcl(pacl, kLabelAclSize, ACL_REVISION))
            return false;
        DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
        SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
        if (!InitializeSid(sid, &label, 1))
            return false;
        *GetSidSubAuthority(sid, 0) = aRid;
        if (!addMandatoryAce(pacl, ACL_REVISION_DS, 0, aPolicy, sid))
            return false;
        std::wstring name = aName; // the API takes a writable string
        const DWORD status =
            SetNamedSecurityInfoW(name.data(), aType, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, pacl);
        if (status != ERROR_SUCCESS) {
            SetLastError(status);
            return false;
        }
        return true;
    });
}

void DoneObjectSecurity() noexcept {
    IgnoringFailure("DoneObjectSecurity", [&] {
        TObjectSecurity& s = State();
        s.FWorldSid.reset();
        s.FFileAttributes.reset();
        s.FFileAcl.reset();
        s.FAddMandatoryAce = nullptr;
        s.FAdvapi.reset();
        SetEveryoneName(std::wstring());
    });
}
