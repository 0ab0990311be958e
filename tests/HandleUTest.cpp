#include "HandleU.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// Every kind below makes real resources of its own and tells whether one is still open. A closed
// value is only checked before anything new is opened, so it cannot have been handed out again.

// Event handles, made through DuplicateHandle's out-parameter.
struct TEventKind {
    static constexpr const char* kName = "Event";
    using TOwner = TUniqueKernelHandle;
    static HANDLE Invalid() { return nullptr; }
    static bool Open(HANDLE* aOut) {
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const BOOL ok =
            DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), aOut, 0, FALSE, DUPLICATE_SAME_ACCESS);
        CloseHandle(event);
        return ok != FALSE;
    }
    static bool IsClosed(HANDLE aHandle) {
        DWORD flags = 0;
        return !GetHandleInformation(aHandle, &flags) && GetLastError() == ERROR_INVALID_HANDLE;
    }
};

// Temporary files, deleted by the system when closed.
struct TFileKind {
    static constexpr const char* kName = "File";
    using TOwner = TUniqueFile;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Open(HANDLE* aOut) {
        wchar_t folder[MAX_PATH], name[MAX_PATH];
        if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"qvh", 0, name))
            return false;
        *aOut = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        return *aOut != INVALID_HANDLE_VALUE;
    }
    static bool IsClosed(HANDLE aHandle) { return TEventKind::IsClosed(aHandle); }
};

// Registry keys opened below a predefined root.
struct TKeyKind {
    static constexpr const char* kName = "Key";
    using TOwner = TUniqueHKey;
    static HKEY Invalid() { return nullptr; }
    static bool Open(HKEY* aOut) {
        return RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, aOut) == ERROR_SUCCESS;
    }
    static bool IsClosed(HKEY aKey) {
        DWORD subkeys = 0;
        return RegQueryInfoKeyW(aKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr) == ERROR_INVALID_HANDLE;
    }
};

// A kind of the template's own, whose close is counted and always overwrites the last error, and
// whose invalid value is neither NULL nor INVALID_HANDLE_VALUE.
std::vector<int> ClosedCounters;
int NextCounter = 0;

struct TCountingTraits {
    using type = int;
    static type invalid() noexcept { return -1; }
    static void close(type h) noexcept {
        ClosedCounters.push_back(h);
        SetLastError(ERROR_GEN_FAILURE);
    }
};

struct TCountingKind {
    static constexpr const char* kName = "Counting";
    using TOwner = TUniqueHandle<TCountingTraits>;
    static int Invalid() { return -1; }
    static bool Open(int* aOut) {
        *aOut = NextCounter++;
        return true;
    }
    static bool IsClosed(int aValue) { return std::count(ClosedCounters.begin(), ClosedCounters.end(), aValue) == 1; }
};

template <typename K> class HandleOwner : public ::testing::Test {
protected:
    using TOwner = typename K::TOwner;
    using TValue = typename TOwner::pointer;

    static TValue Make() {
        TValue value = K::Invalid();
        EXPECT_TRUE(K::Open(&value));
        EXPECT_NE(value, K::Invalid());
        return value;
    }
};

using TKinds = ::testing::Types<TEventKind, TFileKind, TKeyKind, TCountingKind>;
struct TKindNames {
    template <typename K> static std::string GetName(int) { return K::kName; }
};
TYPED_TEST_SUITE(HandleOwner, TKinds, TKindNames);

TYPED_TEST(HandleOwner, EmptyOwnerHoldsTheKindsInvalidValue) {
    using TOwner = typename TestFixture::TOwner;
    const TOwner empty;
    EXPECT_EQ(empty.get(), TypeParam::Invalid());
    EXPECT_FALSE(empty.valid());
    EXPECT_FALSE(static_cast<bool>(empty));
    const TOwner explicitlyEmpty(TypeParam::Invalid());
    EXPECT_FALSE(explicitlyEmpty.valid());
}

TYPED_TEST(HandleOwner, DestructionClosesOnce) {
    using TOwner = typename TestFixture::TOwner;
    const auto value = TestFixture::Make();
    {
        const TOwner owner(value);
        EXPECT_TRUE(owner.valid());
        EXPECT_TRUE(static_cast<bool>(owner));
        EXPECT_EQ(owner.get(), value);
        EXPECT_FALSE(TypeParam::IsClosed(value));
    }
    EXPECT_TRUE(TypeParam::IsClosed(value));
}

TYPED_TEST(HandleOwner, MoveConstructionTransfersOwnership) {
    using TOwner = typename TestFixture::TOwner;
    const auto value = TestFixture::Make();
    TOwner source(value);
    {
        TOwner target(std::move(source));
        EXPECT_EQ(target.get(), value);
        EXPECT_EQ(source.get(), TypeParam::Invalid());
        EXPECT_FALSE(source.valid());
        EXPECT_FALSE(TypeParam::IsClosed(value));
    }
    EXPECT_TRUE(TypeParam::IsClosed(value));
}

TYPED_TEST(HandleOwner, MoveAssignmentClosesTheOldValue) {
    using TOwner = typename TestFixture::TOwner;
    const auto oldValue = TestFixture::Make();
    const auto newValue = TestFixture::Make();
    TOwner target(oldValue);
    {
        TOwner source(newValue);
        target = std::move(source);
        EXPECT_TRUE(TypeParam::IsClosed(oldValue));
        EXPECT_EQ(target.get(), newValue);
        EXPECT_EQ(source.get(), TypeParam::Invalid());
    }
    EXPECT_FALSE(TypeParam::IsClosed(newValue));
    // Assigned to itself, an owner keeps its value open.
    TOwner& same = target;
    target = std::move(same);
    EXPECT_EQ(target.get(), newValue);
    EXPECT_FALSE(TypeParam::IsClosed(newValue));
    target = TOwner();
    EXPECT_TRUE(TypeParam::IsClosed(newValue));
}

TYPED_TEST(HandleOwner, ResetKeepsTheLastError) {
    using TOwner = typename TestFixture::TOwner;
    const auto first = TestFixture::Make();
    const auto second = TestFixture::Make();
    TOwner owner(first);
    SetLastError(1234);
    owner.reset(second);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(owner.get(), second);
    SetLastError(5678);
    owner.reset();
    EXPECT_EQ(GetLastError(), 5678u);
    EXPECT_EQ(owner.get(), TypeParam::Invalid());
    // Nothing to close: nothing happens.
    SetLastError(4321);
    owner.reset();
    EXPECT_EQ(GetLastError(), 4321u);
    // Destruction goes through reset too.
    const auto third = TestFixture::Make();
    {
        const TOwner scoped(third);
        SetLastError(8765);
    }
    EXPECT_EQ(GetLastError(), 8765u);
    EXPECT_TRUE(TypeParam::IsClosed(first));
    EXPECT_TRUE(TypeParam::IsClosed(second));
    EXPECT_TRUE(TypeParam::IsClosed(third));
}

TYPED_TEST(HandleOwner, PutClosesThePreviousValueAndExposesTheField) {
    using TOwner = typename TestFixture::TOwner;
    const auto previous = TestFixture::Make();
    TOwner owner(previous);
    auto* field = owner.put();
    EXPECT_TRUE(TypeParam::IsClosed(previous));
    EXPECT_EQ(*field, TypeParam::Invalid());
    EXPECT_FALSE(owner.valid());
    // The Win32 call fills the owner's own field.
    ASSERT_TRUE(TypeParam::Open(owner.put()));
    const auto filled = owner.get();
    EXPECT_NE(filled, TypeParam::Invalid());
    EXPECT_EQ(owner.put(), field);
    EXPECT_TRUE(TypeParam::IsClosed(filled));
}

TYPED_TEST(HandleOwner, ReleaseGivesUpOwnershipWithoutClosing) {
    using TOwner = typename TestFixture::TOwner;
    const auto value = TestFixture::Make();
    typename TestFixture::TValue released = TypeParam::Invalid();
    {
        TOwner owner(value);
        released = owner.release();
        EXPECT_EQ(owner.get(), TypeParam::Invalid());
        EXPECT_FALSE(owner.valid());
    }
    EXPECT_EQ(released, value);
    EXPECT_FALSE(TypeParam::IsClosed(value));
    TOwner(released).reset();
    EXPECT_TRUE(TypeParam::IsClosed(value));
}

TEST(HandleOwnerCounting, EachValueIsClosedExactlyOnce) {
    ClosedCounters.clear();
    {
        TUniqueHandle<TCountingTraits> a(9100), b(9200), c;
        c = std::move(a);
        b.reset(9300);
        a = std::move(c);
        (void)b.put();
    }
    EXPECT_EQ(ClosedCounters, (std::vector<int>{9200, 9300, 9100}));
}

// A failed open leaves an owner that is not valid: NULL for kernel handles and keys,
// INVALID_HANDLE_VALUE for files and searches.
TEST(HandleOwnerInvalid, FailedOpensPerKind) {
    const TUniqueKernelHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, L"QuenvarTests-no-such-event"));
    EXPECT_EQ(event.get(), nullptr);
    EXPECT_FALSE(event.valid());

    const TUniqueFile file(CreateFileW(L"C:\\no-such-folder-qv\\x.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(TUniqueFile().get(), INVALID_HANDLE_VALUE);

    WIN32_FIND_DATAW data;
    const TUniqueFind search(FindFirstFileW(L"C:\\no-such-folder-qv\\*", &data));
    EXPECT_EQ(search.get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(search.valid());
    EXPECT_EQ(TUniqueFind().get(), INVALID_HANDLE_VALUE);

    TUniqueHKey key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\QuenvarTests-no-such-key", 0, KEY_READ, key.put()),
              ERROR_SUCCESS);
    EXPECT_FALSE(key.valid());
    EXPECT_EQ(TUniqueHKey().get(), nullptr);
    EXPECT_EQ(TUniqueModule().get(), nullptr);
}

TEST(HandleOwnerRegistry, PredefinedRootsAreNeverClosed) {
    const struct {
        const char* name;
        HKEY root;
        bool queryable;
    } roots[] = {
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, true},
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER, true},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, true},
        {"HKEY_USERS", HKEY_USERS, true},
        {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG, true},
        {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA, false},
        {"HKEY_DYN_DATA", HKEY_DYN_DATA, false},
        {"HKEY_CURRENT_USER_LOCAL_SETTINGS", HKEY_CURRENT_USER_LOCAL_SETTINGS, false},
        {"HKEY_PERFORMANCE_TEXT", HKEY_PERFORMANCE_TEXT, false},
        {"HKEY_PERFORMANCE_NLSTEXT", HKEY_PERFORMANCE_NLSTEXT, false},
    };
    for (const auto& r : roots) {
        EXPECT_TRUE(TRegKeyTraits::isPredefined(r.root)) << r.name;
        {
            TUniqueHKey owner(r.root);
            EXPECT_TRUE(owner.valid()) << r.name;
            TUniqueHKey moved(std::move(owner));
            moved.reset();
        }
        if (r.queryable) {
            DWORD subkeys = 0;
            EXPECT_EQ(RegQueryInfoKeyW(r.root, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr),
                      ERROR_SUCCESS)
                << r.name;
        }
    }
    // A key this process opened is not a root, and its owner closes it.
    HKEY opened = nullptr;
    {
        TUniqueHKey owner;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, owner.put()), ERROR_SUCCESS);
        opened = owner.get();
        EXPECT_FALSE(TRegKeyTraits::isPredefined(opened));
    }
    EXPECT_TRUE(TKeyKind::IsClosed(opened));
}

} // namespace
