// Named mutexes across threads of one process; the cross-process cases (a second program start,
// a killed owner) run against the real executable in UITest.
#include "MutexU.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <thread>

namespace {

std::wstring UniqueName(const wchar_t* aTag) {
    static int counter = 0;
    return std::wstring(L"QuenvarTestMtx-") + aTag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

bool LockOnOtherThread(TMutex& aMutex, DWORD aTimeout) {
    bool result = true;
    std::thread([&] { result = aMutex.Lock(aTimeout); }).join();
    return result;
}

TEST(TMutex, LocksAndASecondObjectOfTheSameNameOpensTheSameMutex) {
    const std::wstring name = UniqueName(L"same");
    TMutex first(name);
    ASSERT_NE(first.Handle(), nullptr);
    EXPECT_FALSE(first.Locked());
    EXPECT_TRUE(first.Lock(0));
    EXPECT_TRUE(first.Locked());

    TMutex second(name);
    ASSERT_NE(second.Handle(), nullptr);
    // Held by this thread: another thread cannot take it, and a zero time-out returns at once.
    const DWORD start = GetTickCount();
    EXPECT_FALSE(LockOnOtherThread(second, 0));
    EXPECT_LT(GetTickCount() - start, 500u);
    EXPECT_FALSE(LockOnOtherThread(second, 100));

    first.Unlock();
    EXPECT_FALSE(first.Locked());
    EXPECT_TRUE(LockOnOtherThread(second, 0)); // released: another thread takes it at once
}

TEST(TMutex, AMutexWhoseOwnerEndedWithoutReleasingCountsAsAcquired) {
    const std::wstring name = UniqueName(L"abandoned");
    TMutex owner(name);
    EXPECT_TRUE(LockOnOtherThread(owner, 0)); // the thread ends still owning it
    TMutex heir(name);
    EXPECT_TRUE(heir.Lock(1000));
    EXPECT_TRUE(heir.Locked());
}

TEST(TMutex, WithoutAHandleEveryLockFails) {
    TMutex unnamed(L"");
    EXPECT_EQ(unnamed.Handle(), nullptr);
    EXPECT_FALSE(unnamed.Lock(0));
    TMutex invalid(L"Bogus\\Namespace\\QuenvarTest");
    EXPECT_EQ(invalid.Handle(), nullptr);
    EXPECT_FALSE(invalid.Lock(0));
    EXPECT_FALSE(invalid.Locked());
}

TEST(TGlobalMutex, LivesInTheGlobalNamespaceAndGrantsEveryoneFullAccess) {
    const std::wstring name = UniqueName(L"global");
    TGlobalMutex mutex(name);
    EXPECT_EQ(mutex.Name(), L"Global\\" + name);
    ASSERT_NE(mutex.Handle(), nullptr);
    TUniqueKernelHandle opened(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, (L"Global\\" + name).c_str()));
    EXPECT_TRUE(opened);

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(mutex.Handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              ERROR_SUCCESS);
    TUniqueLocal owner(descriptor);
    ASSERT_NE(dacl, nullptr);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    TUniqueSid everyoneOwner(everyone);
    bool granted = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&allowed->SidStart, everyone) &&
            (allowed->Mask & MUTEX_ALL_ACCESS) == MUTEX_ALL_ACCESS)
            granted = true;
    }
    EXPECT_TRUE(granted);
}

} // namespace
