// Registry watches on the prefix's real HKCU: a change signals, a signal is armed again, a key that
// is deleted or not yet there is followed through its parent, and nothing signals without a change.
#include "RegWatchU.h"
#include "RegistryU.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

const wchar_t kBase[] = L"Software\\QuenvarWatchTest";
const wchar_t kKey[] = L"Software\\QuenvarWatchTest\\Protocols\\TLS 1.0";

bool Signalled(const TRegistryWatch& aWatch, DWORD aTimeout = 2000) {
    const auto& events = aWatch.Events();
    return WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, aTimeout) <
           WAIT_OBJECT_0 + events.size();
}

class RegWatch : public ::testing::Test {
protected:
    void SetUp() override { DeleteRegKeyTree(HKEY_CURRENT_USER, kBase, true); }
    void TearDown() override { DeleteRegKeyTree(HKEY_CURRENT_USER, kBase, true); }
};

TEST_F(RegWatch, AValueChangeSignalsOnceUntilArmedAgain) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    TRegistryWatch watch;
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kKey, false));
    EXPECT_EQ(watch.ArmedPath(0), kKey);
    EXPECT_FALSE(Signalled(watch, 300));
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 1));
    ASSERT_TRUE(Signalled(watch));
    EXPECT_TRUE(watch.RearmSignalled());
    EXPECT_FALSE(watch.RearmSignalled());
    EXPECT_FALSE(Signalled(watch, 300)); // armed again, and quiet without a change
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    EXPECT_TRUE(Signalled(watch));
}

// The key's registration is made first and its parent's second; a change to the key in the
// instant between them must still wake the watch.
TEST_F(RegWatch, AChangeBetweenTheTwoRegistrationsIsNotLost) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    TRegistryWatch watch;
    int writes = 0;
    watch.SetBetweenRegistrationsHook([&] {
        if (writes++ == 0)
            WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 1);
    });
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kKey, false));
    ASSERT_EQ(writes, 1);
    EXPECT_TRUE(Signalled(watch));
    EXPECT_TRUE(watch.RearmSignalled());
    EXPECT_FALSE(Signalled(watch, 300));
}

TEST_F(RegWatch, ATreeWatchSeesChangesBelow) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    TRegistryWatch watch;
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kBase, true));
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 1));
    EXPECT_TRUE(Signalled(watch));
}

TEST_F(RegWatch, ADeletedKeyIsFollowedThroughItsParentAndPickedUpWhenItReturns) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    TRegistryWatch watch;
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kKey, false));
    ASSERT_TRUE(DeleteRegKeyTree(HKEY_CURRENT_USER, kKey, true));
    ASSERT_TRUE(Signalled(watch));
    watch.RearmSignalled();
    EXPECT_EQ(watch.ArmedPath(0), L"Software\\QuenvarWatchTest\\Protocols");
    EXPECT_FALSE(Signalled(watch, 300)); // armed on the parent, no busy loop
    // A value elsewhere in the parent is no change of the watched key's name.
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, L"Software\\QuenvarWatchTest\\Protocols", L"Other", 1));
    EXPECT_FALSE(Signalled(watch, 300));
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 1));
    ASSERT_TRUE(Signalled(watch));
    watch.RearmSignalled();
    EXPECT_EQ(watch.ArmedPath(0), kKey);
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    EXPECT_TRUE(Signalled(watch));
}

TEST_F(RegWatch, AKeyThatDoesNotExistYetIsWaitedForOnItsNearestAncestor) {
    TRegistryWatch watch;
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kKey, false));
    EXPECT_EQ(watch.ArmedPath(0), L"Software");
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 1));
    ASSERT_TRUE(Signalled(watch));
    // Creating the whole path signals the ancestor once; arming again reaches the key itself.
    watch.RearmSignalled();
    EXPECT_EQ(watch.ArmedPath(0), kKey);
}

// A flood from another thread while the watch is armed again and again: it ends, the watch goes
// quiet, and once armed afresh (as the tray does after each check) the next change is seen. Under
// Wine a registration made while another thread keeps writing can stay silent for good; arming
// again with a new key handle brings it back.
TEST_F(RegWatch, AFloodEndsAndTheWatchArmedAfreshSeesTheNextChange) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    TRegistryWatch watch;
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kKey, false));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; i <= 400; ++i)
            WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", i);
        done = true;
    });
    unsigned wakes = 0;
    while (!done)
        if (Signalled(watch, 100) && watch.RearmSignalled())
            ++wakes;
    writer.join();
    EXPECT_GE(wakes, 1u);
    EXPECT_LE(wakes, 400u); // at most one wake per change: no loop of its own
    for (int i = 0; i < 10 && Signalled(watch, 200); ++i)
        watch.RearmSignalled();
    EXPECT_FALSE(Signalled(watch, 300));
    watch.RearmAll();
    EXPECT_FALSE(Signalled(watch, 300));
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    EXPECT_TRUE(Signalled(watch));
}

TEST_F(RegWatch, WrongTypesAndHugeValuesAreChangesLikeAnyOther) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kKey, L"Enabled", 0));
    TRegistryWatch watch;
    ASSERT_TRUE(watch.Add(HKEY_CURRENT_USER, kKey, false));
    const std::vector<BYTE> huge(1 << 20, 0x5A);
    ASSERT_TRUE(
        WriteRegValue(HKEY_CURRENT_USER, kKey, L"Enabled", static_cast<DWORD>(huge.size()), huge.data(), REG_BINARY));
    EXPECT_TRUE(Signalled(watch));
}

} // namespace
