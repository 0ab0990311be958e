#include "SecurityU.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <thread>
#include <vector>

namespace {

struct TWellKnownSid {
    explicit TWellKnownSid(WELL_KNOWN_SID_TYPE aType) {
        DWORD size = sizeof(FBuffer);
        EXPECT_TRUE(CreateWellKnownSid(aType, nullptr, FBuffer, &size));
    }
    PSID get() { return FBuffer; }
    DWORD FBuffer[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
};

struct TAceView {
    BYTE type = 0xFF;
    BYTE flags = 0;
    WORD size = 0;
    ACCESS_MASK mask = 0;
};

// The first allow/deny ACE of anAcl naming aSid; type 0xFF when there is none.
TAceView FindAce(PACL anAcl, PSID aSid) {
    TAceView view;
    if (!anAcl)
        return view;
    for (DWORD i = 0; i < anAcl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(anAcl, i, &ace))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE && allowed->Header.AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        if (EqualSid(&allowed->SidStart, aSid)) {
            view.type = allowed->Header.AceType;
            view.flags = allowed->Header.AceFlags;
            view.size = allowed->Header.AceSize;
            view.mask = allowed->Mask;
            return view;
        }
    }
    return view;
}

// A self-relative descriptor from SDDL text, owned by LocalFree.
TUniqueSecurityDescriptor FromSddl(const wchar_t* aText) {
    TUniqueSecurityDescriptor sd;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(aText, SDDL_REVISION_1, sd.put(), nullptr));
    return sd;
}

// Runs first, while nothing has made the process-wide state yet: every racing thread must get the
// same, fully made attributes.
TEST(ObjectSecurity, ConcurrentFirstUseMakesTheSharedAttributesOnce) {
    std::vector<SECURITY_ATTRIBUTES*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = GetEveryoneFileSecurityAttributes(); });
    for (auto& t : threads)
        t.join();
    ASSERT_NE(seen[0], nullptr);
    for (auto* p : seen) {
        ASSERT_EQ(p, seen[0]);
        BOOL present = FALSE, defaulted = TRUE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(p->lpSecurityDescriptor, &present, &dacl, &defaulted));
        EXPECT_NE(dacl, nullptr);
    }
}

TEST(ObjectSecurity, SharedFileAclIsOneInheritableFullAccessAceForTheWorldSid) {
    SECURITY_ATTRIBUTES* sa = GetEveryoneFileSecurityAttributes();
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(sa, GetEveryoneFileSecurityAttributes());
    EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(sa->bInheritHandle);
    EXPECT_TRUE(IsValidSecurityDescriptor(sa->lpSecurityDescriptor));

    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AclRevision, ACL_REVISION);
    EXPECT_EQ(dacl->AclSize, 1024);
    ASSERT_EQ(dacl->AceCount, 1);

    void* raw = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &raw));
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    TWellKnownSid world(WinWorldSid);
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace->Header.AceSize, 8 + GetLengthSid(world.get()));
    EXPECT_EQ(ace->Mask, 0x001F01FFu);
    EXPECT_TRUE(EqualSid(&ace->SidStart, world.get()));
}

TEST(ObjectSecurity, EveryoneNameIsTheNameTheSystemReportsForTheWorldSid) {
    TWellKnownSid world(WinWorldSid);
    wchar_t name[256], domain[256];
    DWORD nameLen = 256, domainLen = 256;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(nullptr, world.get(), name, &nameLen, domain, &domainLen, &use));
    EXPECT_EQ(EveryoneName(), std::wstring(name));
}

TEST(ObjectSecurity, CreateSecurityAttributesWrapsTheGivenDacl) {
    EXPECT_FALSE(CreateSecurityAttributes(nullptr));
    FreeSecurityAttributes(nullptr);

    TUniqueAcl acl = GrantAccessInAcl(nullptr, EveryoneName(), GENERIC_READ);
    ASSERT_TRUE(acl);
    TUniqueSecurityAttributes sa = CreateSecurityAttributes(acl.get());
    ASSERT_TRUE(sa);
    EXPECT_EQ(sa.get()->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(sa.get()->bInheritHandle);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sa.get()->lpSecurityDescriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(dacl, acl.get());
    FreeSecurityAttributes(sa.release());
}

// The way the instance mutex is secured: a fresh ACL from the grant, read back from the object.
TEST(ObjectSecurity, GrantAccessInAclBuildsTheMutexDaclByName) {
    TUniqueAcl acl = GrantAccessInAcl(nullptr, EveryoneName(), MUTEX_ALL_ACCESS);
    ASSERT_TRUE(acl);
    TWellKnownSid world(WinWorldSid);
    const TAceView ace = FindAce(acl.get(), world.get());
    EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace.flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(ace.mask, 0x001F0001u);

    TUniqueSecurityAttributes sa = CreateSecurityAttributes(acl.get());
    const std::wstring name = L"QVSecurityTestMutex" + std::to_wstring(GetCurrentProcessId());
    TUniqueKernelHandle mutex(CreateMutexW(sa.get(), FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    PACL dacl = nullptr;
    TUniqueSecurityDescriptor sd;
    ASSERT_EQ(GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, sd.put()),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(FindAce(dacl, world.get()).mask, 0x001F0001u);
}

TEST(ObjectSecurity, GrantAccessInAclKeepsTheExistingEntries) {
    TUniqueSecurityDescriptor sd = FromSddl(L"D:(A;;GR;;;SY)(D;;GW;;;BA)");
    BOOL present = FALSE, defaulted = FALSE;
    PACL existing = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.get(), &present, &existing, &defaulted));
    TUniqueAcl merged = GrantAccessInAcl(existing, EveryoneName(), FILE_GENERIC_READ);
    ASSERT_TRUE(merged);
    TWellKnownSid system(WinLocalSystemSid), admins(WinBuiltinAdministratorsSid), world(WinWorldSid);
    EXPECT_EQ(FindAce(merged.get(), system.get()).type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(FindAce(merged.get(), admins.get()).type, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(FindAce(merged.get(), world.get()).mask, static_cast<ACCESS_MASK>(FILE_GENERIC_READ));
    // The input is left as it was.
    EXPECT_EQ(FindAce(existing, world.get()).type, 0xFF);
}

TEST(ObjectSecurity, GrantAccessInAclRefusesAnUnknownTrustee) {
    EXPECT_FALSE(GrantAccessInAcl(nullptr, L"No Such Account 8f3a", GENERIC_ALL));
}

TEST(ObjectSecurity, GrantAccessInSecurityDescriptorMergesAndKeepsTheRest) {
    TUniqueSecurityDescriptor input = FromSddl(L"O:SYG:BAD:P(A;;GR;;;SY)");
    TUniqueSecurityDescriptor result = GrantAccessInSecurityDescriptor(input.get(), EveryoneName());
    ASSERT_TRUE(result);
    EXPECT_TRUE(IsValidSecurityDescriptor(result.get()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(result.get(), &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);

    TWellKnownSid system(WinLocalSystemSid), admins(WinBuiltinAdministratorsSid), world(WinWorldSid);
    PSID owner = nullptr, group = nullptr;
    BOOL ownerDefaulted = FALSE, groupDefaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(result.get(), &owner, &ownerDefaulted));
    ASSERT_TRUE(GetSecurityDescriptorGroup(result.get(), &group, &groupDefaulted));
    EXPECT_TRUE(owner && EqualSid(owner, system.get()));
    EXPECT_TRUE(group && EqualSid(group, admins.get()));

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(result.get(), &present, &dacl, &defaulted));
    EXPECT_EQ(FindAce(dacl, system.get()).type, ACCESS_ALLOWED_ACE_TYPE);
    const TAceView granted = FindAce(dacl, world.get());
    EXPECT_EQ(granted.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(granted.mask, static_cast<ACCESS_MASK>(GENERIC_ALL));
}

TEST(ObjectSecurity, GrantAccessInSecurityDescriptorFailuresGiveNull) {
    TUniqueSecurityDescriptor input = FromSddl(L"D:(A;;GR;;;SY)");
    EXPECT_FALSE(GrantAccessInSecurityDescriptor(input.get(), L"No Such Account 8f3a"));
    EXPECT_FALSE(GrantAccessInSecurityDescriptor(nullptr, EveryoneName()));
    SECURITY_DESCRIPTOR absolute;
    ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_FALSE(GrantAccessInSecurityDescriptor(&absolute, EveryoneName()));
}

// Opening up an existing file: read its descriptor, merge the grant, write it back, read it again.
// Wine keeps no file DACL of its own: it maps the DACL to the Unix mode bits and back, so the
// world's write access is what shows the grant arrived.
TEST(ObjectSecurity, GrantAccessInSecurityDescriptorOpensUpAnExistingFile) {
    wchar_t temp[MAX_PATH], file[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    ASSERT_NE(GetTempFileNameW(temp, L"qvs", 0, file), 0u);
    DWORD size = 0;
    GetFileSecurityW(file, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    ASSERT_GT(size, 0u);
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    ASSERT_TRUE(GetFileSecurityW(file, DACL_SECURITY_INFORMATION, buffer.data(), size, &size));
    BOOL present = FALSE, defaulted = FALSE;
    PACL before = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &before, &defaulted));
    TWellKnownSid world(WinWorldSid);
    ASSERT_NE(FindAce(before, world.get()).mask & FILE_WRITE_DATA, static_cast<ACCESS_MASK>(FILE_WRITE_DATA));
    TUniqueSecurityDescriptor opened = GrantAccessInSecurityDescriptor(buffer.data(), EveryoneName());
    ASSERT_TRUE(opened);
    ASSERT_TRUE(SetFileSecurityW(file, DACL_SECURITY_INFORMATION, opened.get()));

    PACL dacl = nullptr;
    TUniqueSecurityDescriptor back;
    ASSERT_EQ(GetNamedSecurityInfoW(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    back.put()),
              static_cast<DWORD>(ERROR_SUCCESS));
    const TAceView ace = FindAce(dacl, world.get());
    EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace.mask & FILE_GENERIC_WRITE, static_cast<ACCESS_MASK>(FILE_GENERIC_WRITE));
    DeleteFileW(file);
}

// The mandatory label ACE of the object's SACL; false when there is none.
bool ReadLabel(HANDLE anObject, DWORD& aRid, DWORD& aPolicy) {
    PACL sacl = nullptr;
    TUniqueSecurityDescriptor sd;
    if (GetSecurityInfo(anObject, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &sacl,
                        sd.put()) != ERROR_SUCCESS ||
        !sacl)
        return false;
    for (DWORD i = 0; i < sacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(sacl, i, &raw))
            continue;
        auto* ace = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(raw);
        if (ace->Header.AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        PSID sid = &ace->SidStart;
        aRid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
        aPolicy = ace->Mask;
        return true;
    }
    return false;
}

// Wine accepts a label on a kernel object but keeps none, so only the result can be checked
// there; on Windows the label is read back from the object.
TEST(ObjectSecurity, SetObjectIntegrityLabelPutsALowLabelOnANamedMutex) {
    const std::wstring name = L"QVSecurityTestLabel" + std::to_wstring(GetCurrentProcessId());
    TUniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(SetObjectIntegrityLabel(name, SE_KERNEL_OBJECT, SECURITY_MANDATORY_LOW_RID,
                                        SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    DWORD rid = 0, policy = 0;
    if (!ReadLabel(mutex.get(), rid, policy))
        return;
    EXPECT_EQ(rid, static_cast<DWORD>(SECURITY_MANDATORY_LOW_RID));
    EXPECT_EQ(policy, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
}

TEST(ObjectSecurity, SetObjectIntegrityLabelReportsTheErrorOfAMissingObject) {
    SetLastError(0);
    EXPECT_FALSE(SetObjectIntegrityLabel(L"C:\\QVNoSuchFolder\\no-such-file.txt", SE_FILE_OBJECT,
                                         SECURITY_MANDATORY_LOW_RID, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << error;
}

// Last in this program: releases the process-wide state for good.
TEST(ObjectSecurity, DoneObjectSecurityReleasesEverythingAndClearsTheName) {
    ASSERT_NE(GetEveryoneFileSecurityAttributes(), nullptr);
    DoneObjectSecurity();
    EXPECT_EQ(GetEveryoneFileSecurityAttributes(), nullptr);
    EXPECT_EQ(EveryoneName(), L"");
    DoneObjectSecurity();
}

} // namespace
