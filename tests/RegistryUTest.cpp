#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

const HKEY HKCU = HKEY_CURRENT_USER;

bool KeyExists(const std::wstring& aPath) {
    TUniqueHKey key;
    return RegOpenKeyExW(HKCU, aPath.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Writes a value with the raw API, so the routines under test read data they did not write.
void PutRaw(const std::wstring& aPath, const wchar_t* aName, DWORD aType, const void* aData, DWORD aSize) {
    TUniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKCU, aPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), aName, 0, aType, static_cast<const BYTE*>(aData), aSize), ERROR_SUCCESS);
}

DWORD GetRawType(const std::wstring& aPath, const wchar_t* aName, std::vector<BYTE>* aData = nullptr) {
    TUniqueHKey key;
    if (RegOpenKeyExW(HKCU, aPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return REG_NONE;
    DWORD type = REG_NONE;
    BYTE buffer[256];
    DWORD size = sizeof(buffer);
    if (RegQueryValueExW(key.get(), aName, nullptr, &type, buffer, &size) != ERROR_SUCCESS)
        return REG_NONE;
    if (aData)
        aData->assign(buffer, buffer + size);
    return type;
}

class RegistryUTest : public ::testing::Test {
protected:
    TRegistrySandbox FSandbox;
};

TEST_F(RegistryUTest, WriteCreatesEveryMissingKeyAlongThePath) {
    ASSERT_FALSE(KeyExists(L"Software\\A"));
    EXPECT_TRUE(WriteRegString(HKCU, L"Software\\A\\B\\C\\", L"Name", L"value"));
    EXPECT_TRUE(KeyExists(L"Software\\A\\B\\C"));
    std::wstring text;
    EXPECT_TRUE(ReadRegString(HKCU, L"Software\\A\\B\\C", L"Name", text));
    EXPECT_EQ(text, L"value");
}

TEST_F(RegistryUTest, StringsRoundTripAsRegSzWithTerminator) {
    const std::wstring text = L"Gr\u00FC\u00DFe \u65E5\u672C";
    ASSERT_TRUE(WriteRegString(HKCU, L"Software\\T", L"S", text));
    std::vector<BYTE> raw;
    ASSERT_EQ(GetRawType(L"Software\\T", L"S", &raw), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw.size(), (text.size() + 1) * sizeof(wchar_t));
    std::wstring back;
    EXPECT_TRUE(ReadRegString(HKCU, L"Software\\T", L"S", back));
    EXPECT_EQ(back, text);
}

TEST_F(RegistryUTest, DWordsAreSignedThirtyTwoBitPatterns) {
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\T", L"Minus", -1));
    std::vector<BYTE> raw;
    ASSERT_EQ(GetRawType(L"Software\\T", L"Minus", &raw), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(raw, (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));

    const DWORD high = 0x80000000u;
    PutRaw(L"Software\\T", L"High", REG_DWORD, &high, sizeof(high));
    int value = 0;
    EXPECT_TRUE(ReadRegDWord(HKCU, L"Software\\T", L"Minus", value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(ReadRegDWord(HKCU, L"Software\\T", L"High", value));
    EXPECT_EQ(value, INT_MIN);
}

// A read succeeds only for exactly the expected type; otherwise the out value is 0 or empty.
TEST_F(RegistryUTest, ReadsOfAnyOtherTypeFailAndLeaveZeroOrEmpty) {
    const wchar_t sz[] = L"12";
    const wchar_t expand[] = L"%TEMP%";
    const wchar_t multi[] = L"a\0b\0";
    const ULONGLONG qword = 5;
    const BYTE binary[] = {1, 0, 0, 0};
    const DWORD dword = 7;
    PutRaw(L"Software\\T", L"sz", REG_SZ, sz, sizeof(sz));
    PutRaw(L"Software\\T", L"expand", REG_EXPAND_SZ, expand, sizeof(expand));
    PutRaw(L"Software\\T", L"multi", REG_MULTI_SZ, multi, sizeof(multi));
    PutRaw(L"Software\\T", L"qword", REG_QWORD, &qword, sizeof(qword));
    PutRaw(L"Software\\T", L"binary", REG_BINARY, binary, sizeof(binary));
    PutRaw(L"Software\\T", L"dword", REG_DWORD, &dword, sizeof(dword));

    for (const wchar_t* name : {L"sz", L"expand", L"multi", L"qword", L"binary", L"missing"}) {
        int value = 99;
        EXPECT_FALSE(ReadRegDWord(HKCU, L"Software\\T", name, value)) << name;
        EXPECT_EQ(value, 0) << name;
    }
    for (const wchar_t* name : {L"dword", L"expand", L"multi", L"qword", L"binary", L"missing"}) {
        std::wstring text = L"stale";
        EXPECT_FALSE(ReadRegString(HKCU, L"Software\\T", name, text)) << name;
        EXPECT_EQ(text, L"") << name;
    }
    std::wstring text = L"stale";
    EXPECT_FALSE(ReadRegString(HKCU, L"Software\\Missing", L"sz", text));
    EXPECT_EQ(text, L"");
    std::vector<BYTE> data{1, 2};
    EXPECT_FALSE(ReadRegValue(HKCU, L"Software\\T", L"sz", REG_DWORD, data));
    EXPECT_TRUE(data.empty());
}

TEST_F(RegistryUTest, TerminatorOnlyOrEmptyRegSzReadsAsEmptyText) {
    const wchar_t terminator[] = L"";
    PutRaw(L"Software\\T", L"two", REG_SZ, terminator, 2);
    PutRaw(L"Software\\T", L"zero", REG_SZ, terminator, 0);
    for (const wchar_t* name : {L"two", L"zero"}) {
        std::wstring text = L"stale";
        EXPECT_TRUE(ReadRegString(HKCU, L"Software\\T", name, text)) << name;
        EXPECT_EQ(text, L"") << name;
    }
}

TEST_F(RegistryUTest, EmptyValueNameAddressesTheDefaultValue) {
    ASSERT_TRUE(WriteRegString(HKCU, L"Software\\T", L"", L"default"));
    std::vector<BYTE> raw;
    EXPECT_EQ(GetRawType(L"Software\\T", nullptr, &raw), static_cast<DWORD>(REG_SZ));
    std::wstring text;
    EXPECT_TRUE(ReadRegString(HKCU, L"Software\\T", L"", text));
    EXPECT_EQ(text, L"default");
    EXPECT_TRUE(DeleteRegValue(HKCU, L"Software\\T", L""));
    EXPECT_EQ(GetRawType(L"Software\\T", nullptr), static_cast<DWORD>(REG_NONE));
    EXPECT_TRUE(KeyExists(L"Software\\T"));
}

TEST_F(RegistryUTest, DeleteValueRemovesOnlyThatValue) {
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\T", L"a", 1));
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\T", L"b", 2));
    EXPECT_TRUE(DeleteRegValue(HKCU, L"Software\\T", L"a"));
    EXPECT_FALSE(DeleteRegValue(HKCU, L"Software\\T", L"a"));
    EXPECT_FALSE(DeleteRegValue(HKCU, L"Software\\Missing", L"a"));
    int value = 0;
    EXPECT_TRUE(ReadRegDWord(HKCU, L"Software\\T", L"b", value));
    EXPECT_EQ(value, 2);
}

TEST_F(RegistryUTest, DeleteKeyPathForms) {
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\Quenvar", L"v", 1));
    EXPECT_TRUE(DeleteRegKeyPath(HKCU, L"Software\\Quenvar"));
    EXPECT_FALSE(KeyExists(L"Software\\Quenvar"));
    EXPECT_TRUE(KeyExists(L"Software"));

    // The trailing backslash leaves an empty child name: the key the parent path names goes.
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\Quenvar", L"v", 1));
    EXPECT_TRUE(DeleteRegKeyPath(HKCU, L"Software\\Quenvar\\"));
    EXPECT_FALSE(KeyExists(L"Software\\Quenvar"));
    EXPECT_TRUE(KeyExists(L"Software"));

    ASSERT_TRUE(WriteRegDWord(HKCU, L"Quenvar", L"v", 1));
    EXPECT_FALSE(DeleteRegKeyPath(HKCU, L"Quenvar"));
    EXPECT_TRUE(KeyExists(L"Quenvar"));

    EXPECT_FALSE(DeleteRegKeyPath(HKCU, L"Software\\Missing"));
    EXPECT_FALSE(DeleteRegKeyPath(HKCU, L"Missing\\Child"));

    // A key with subkeys is not deleted without recursion.
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\P\\C", L"v", 1));
    EXPECT_FALSE(DeleteRegKeyPath(HKCU, L"Software\\P"));
    EXPECT_TRUE(KeyExists(L"Software\\P\\C"));
}

TEST_F(RegistryUTest, DeleteKeyTreeRemovesThreeLevelsAndTheKeyItself) {
    for (const wchar_t* path : {L"Software\\Tree\\A\\A1\\A11", L"Software\\Tree\\A\\A2", L"Software\\Tree\\B\\B1\\B11",
                                L"Software\\Tree\\B\\B1\\B12", L"Software\\Tree\\C"})
        ASSERT_TRUE(WriteRegString(HKCU, path, L"v", L"x"));
    ASSERT_TRUE(WriteRegString(HKCU, L"Software\\Tree", L"v", L"x"));
    ASSERT_TRUE(WriteRegString(HKCU, L"Software\\Sibling", L"v", L"x"));

    EXPECT_TRUE(DeleteRegKeyTree(HKCU, L"Software\\Tree\\", true));
    EXPECT_FALSE(KeyExists(L"Software\\Tree"));
    EXPECT_TRUE(KeyExists(L"Software\\Sibling"));
}

TEST_F(RegistryUTest, DeleteKeyTreeRefusesPathsWithoutBackslashAndNeedsRecursionForChildren) {
    ASSERT_TRUE(WriteRegString(HKCU, L"Top\\Child", L"v", L"x"));
    EXPECT_FALSE(DeleteRegKeyTree(HKCU, L"Top", true));
    EXPECT_TRUE(KeyExists(L"Top\\Child"));

    EXPECT_FALSE(DeleteRegKeyTree(HKCU, L"Top\\", false));
    EXPECT_TRUE(KeyExists(L"Top\\Child"));
    EXPECT_TRUE(DeleteRegKeyTree(HKCU, L"Top\\Child", false));
    EXPECT_FALSE(KeyExists(L"Top\\Child"));

    EXPECT_FALSE(DeleteRegKeyTree(HKCU, L"Software\\Missing", true));
}

// A 32-bit process on 64-bit Windows deletes through RegDeleteKeyExW, bound at run time.
TEST_F(RegistryUTest, DeleteUnderWow64GoesThroughTheLazilyBoundFunction) {
    const bool saved = RunningUnderWow64;
    RunningUnderWow64 = true;
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\W\\X\\Y", L"v", 1));
    const bool deleted = DeleteRegKeyTree(HKCU, L"Software\\W", true);
    RunningUnderWow64 = saved;
    EXPECT_TRUE(deleted);
    EXPECT_FALSE(KeyExists(L"Software\\W"));
}

TEST(RegistryUStartup, Wow64FlagMatchesTheProcess) {
    // On 64-bit Windows (and Wine) a 32-bit build runs under WOW64 and a 64-bit one never; the
    // start-up flag agrees with the query.
    EXPECT_EQ(IsWow64(), sizeof(void*) == 4);
    EXPECT_EQ(RunningUnderWow64, IsWow64());
}

// A hive under HKEY_USERS that is not this process's user: a scratch key named like a SID, removed
// again afterwards. No sandbox here: the override replaces HKEY_CURRENT_USER's mapping itself.
class CurrentUserOverrideTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_USERS, FSid.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, FHive.put(), nullptr),
            ERROR_SUCCESS);
    }
    void TearDown() override {
        FHive.reset();
        RegDeleteTreeW(HKEY_USERS, FSid.c_str());
        RegDeleteKeyW(HKEY_USERS, FSid.c_str());
        RegDeleteTreeW(HKCU, L"Software\\QuenvarOverrideTest");
        RegDeleteKeyW(HKCU, L"Software\\QuenvarOverrideTest");
    }
    const std::wstring FSid = L"S-1-5-21-4242-4242-4242-" + std::to_wstring(GetCurrentProcessId());
    TUniqueHKey FHive;
};

TEST_F(CurrentUserOverrideTest, TheCurrentUserIsTheNamedHiveForTheObjectsLifetime) {
    std::wstring text;
    {
        const TCurrentUserOverride user(FSid);
        ASSERT_TRUE(user.Active());
        EXPECT_TRUE(WriteRegString(HKCU, L"Software\\QuenvarOverrideTest", L"Name", L"theirs"));
        EXPECT_TRUE(ReadRegString(HKCU, L"Software\\QuenvarOverrideTest", L"Name", text));
        EXPECT_EQ(text, L"theirs");
    }
    EXPECT_TRUE(ReadRegString(HKEY_USERS, FSid + L"\\Software\\QuenvarOverrideTest", L"Name", text));
    EXPECT_EQ(text, L"theirs");
    // Afterwards HKEY_CURRENT_USER is this process's user again, which never had the value.
    EXPECT_FALSE(ReadRegString(HKCU, L"Software\\QuenvarOverrideTest", L"Name", text));
}

TEST_F(CurrentUserOverrideTest, TextsThatNameNoLoadedHiveMapNothing) {
    const std::wstring cases[] = {
        L"", L"not a SID", L"S-1-5-21-4242-4242-4242", L"S-1-5-21-4243-1-2-3", FSid + L"\\Software", L"..\\" + FSid};
    for (const std::wstring& sid : cases) {
        const TCurrentUserOverride user(sid);
        EXPECT_FALSE(user.Active()) << "SID text: " << std::string(sid.begin(), sid.end());
        EXPECT_TRUE(WriteRegString(HKCU, L"Software\\QuenvarOverrideTest", L"Name", L"mine"));
    }
    TUniqueHKey key;
    EXPECT_NE(RegOpenKeyExW(FHive.get(), L"Software\\QuenvarOverrideTest", 0, KEY_READ, key.put()), ERROR_SUCCESS);
}

} // namespace
