#include "QVSupport.h"

#include "QVMachine.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const HKEY HKCU = HKEY_CURRENT_USER;

std::string Shown(const std::wstring& aText) {
    std::string s;
    for (wchar_t c : aText.substr(0, 40))
        s.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
    return s;
}

bool AllDigits(const std::wstring& aText) {
    return !aText.empty() && aText.find_first_not_of(L"0123456789") == std::wstring::npos;
}

class Store : public ::testing::Test {
protected:
    TRegistrySandbox FSandbox;
};

TEST_F(Store, RoutinesWorkUnderTheQuenvarKey) {
    EXPECT_TRUE(WriteStoreString(L"SUBID", L"abc"));
    EXPECT_TRUE(WriteStoreInteger(L"Level", -1));
    std::wstring text;
    int number = 0;
    EXPECT_TRUE(ReadRegString(HKCU, L"Software\\Quenvar", L"SUBID", text));
    EXPECT_EQ(text, L"abc");
    EXPECT_TRUE(ReadRegDWord(HKCU, L"Software\\Quenvar", L"Level", number));
    EXPECT_EQ(number, -1);
    EXPECT_EQ(ReadStoreString(L"SUBID"), L"abc");
    EXPECT_EQ(ReadStoreInteger(L"Level"), -1);
    // Mistyped and absent values.
    EXPECT_EQ(ReadStoreString(L"Level"), L"");
    EXPECT_EQ(ReadStoreInteger(L"SUBID"), 0);
    EXPECT_EQ(ReadStoreString(L"Missing"), L"");
    EXPECT_EQ(ReadStoreInteger(L"Missing"), 0);

    EXPECT_TRUE(WriteUserString(L"Software\\Other\\Deep\\", L"V", L"x"));
    EXPECT_TRUE(ReadRegString(HKCU, L"Software\\Other\\Deep", L"V", text));
    EXPECT_TRUE(DeleteUserValue(L"Software\\Other\\Deep\\", L"V"));
    EXPECT_FALSE(ReadRegString(HKCU, L"Software\\Other\\Deep", L"V", text));

    EXPECT_TRUE(WriteRegString(HKCU, L"Software\\Quenvar\\Sub\\Sub", L"x", L"y"));
    EXPECT_TRUE(DeleteUserKeyTree(kStoreKey));
    TUniqueHKey key;
    EXPECT_NE(RegOpenKeyExW(HKCU, L"Software\\Quenvar", 0, KEY_READ, key.put()), ERROR_SUCCESS);
}

// The machine's level as a test writes it: HKLM\SOFTWARE\Quenvar in the 64-bit view, any type.
void WriteMachineValue(DWORD aType, const void* aData, DWORD aSize) {
    TUniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"Level", 0, aType, static_cast<const BYTE*>(aData), aSize), ERROR_SUCCESS);
}

void WriteMachineLevel(int aValue) {
    WriteMachineValue(REG_DWORD, &aValue, sizeof(aValue));
}

TRegValueData MachineLevelValue() {
    TRegKey key;
    TRegValueData data;
    if (key.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_READ | KEY_WOW64_64KEY) != ERROR_SUCCESS ||
        key.Read(L"Level", data) != ERROR_SUCCESS)
        return TRegValueData();
    return data;
}

TRegValueData DWordData(DWORD aValue) {
    TRegValueData data;
    data.Present = true;
    data.Type = REG_DWORD;
    data.Bytes.assign(reinterpret_cast<const BYTE*>(&aValue), reinterpret_cast<const BYTE*>(&aValue) + 4);
    return data;
}

TEST_F(Store, ReadLevelClampsWhatTheMachineStores) {
    EXPECT_EQ(ReadLevel(), lOff); // absent
    const struct {
        int stored;
        TLevel level;
    } cases[] = {{0, lOff}, {1, lOptimal},   {2, lMax},  {3, lMax},
                 {7, lMax}, {INT_MAX, lMax}, {-1, lOff}, {INT_MIN, lOff}};
    for (const auto& c : cases) {
        WriteMachineLevel(c.stored);
        EXPECT_EQ(ReadLevel(), c.level) << c.stored;
    }
    WriteMachineValue(REG_SZ, L"2", 4);
    EXPECT_EQ(ReadLevel(), lOff);
}

TEST_F(Store, TheLevelIsTheMachinesLevelValueAndIsReadBackAsStored) {
    EXPECT_EQ(ReadStoredLevel(), 0); // absent
    for (const TLevel level : {lMax, lOptimal, lOff}) {
        EXPECT_TRUE(WriteLevel(level));
        EXPECT_EQ(MachineLevelValue(), DWordData(level));
        EXPECT_EQ(ReadStoredLevel(), level);
    }
    // The user's store is not the level's home any more.
    int number = 0;
    EXPECT_FALSE(ReadRegDWord(HKCU, L"Software\\Quenvar", L"Level", number));
    // Another program's number stays what it is; only ReadLevel clamps it.
    WriteMachineLevel(7);
    EXPECT_EQ(ReadStoredLevel(), 7);
    EXPECT_EQ(ReadLevel(), lMax);
    EXPECT_TRUE(DeleteMachineLevel());
    EXPECT_FALSE(MachineLevelValue().Present);
    TUniqueHKey key;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()), ERROR_SUCCESS);
}

TEST(StoredLevel, TheMachinesValueWinsAndOnlyAReadableOldOneMigrates) {
    TRegValueData text;
    text.Present = true;
    text.Type = REG_SZ;
    text.Bytes = {'2', 0, 0, 0};
    const TRegValueData absent;
    const struct {
        const char* what;
        TRegValueData machine, old;
        int value;
        bool migrate;
    } cases[] = {
        {"nothing anywhere", absent, absent, 0, false},
        {"machine only", DWordData(1), absent, 1, false},
        {"machine beats old", DWordData(1), DWordData(2), 1, false},
        {"machine out of range, as stored", DWordData(9), DWordData(1), 9, false},
        {"machine mistyped is no level, old ignored", text, DWordData(2), 0, false},
        {"old only", absent, DWordData(2), 2, true},
        {"old out of range, clamped", absent, DWordData(7), 2, true},
        {"old negative, clamped", absent, DWordData(0xFFFFFFFF), 0, true},
        {"old mistyped is no level", absent, text, 0, false},
    };
    for (const auto& c : cases) {
        const TStoredLevel level = StoredLevelOf(c.machine, c.old);
        EXPECT_EQ(level.Value, c.value) << c.what;
        EXPECT_EQ(level.Migrate, c.migrate) << c.what;
    }
}

// A machine an earlier version levelled holds the level only in the user's store: the first read
// moves it to the machine and nothing is lost.
TEST_F(Store, AnOldPerUserLevelMovesToTheMachineOnce) {
    ASSERT_TRUE(WriteStoreInteger(L"Level", 7));
    EXPECT_EQ(ReadStoredLevel(), lMax);
    EXPECT_EQ(MachineLevelValue(), DWordData(lMax));
    int number = 0;
    EXPECT_FALSE(ReadRegDWord(HKCU, L"Software\\Quenvar", L"Level", number));
    // From then on the machine's value counts, whatever a user's store says.
    ASSERT_TRUE(WriteStoreInteger(L"Level", 1));
    EXPECT_EQ(ReadLevel(), lMax);
    EXPECT_EQ(ReadStoreInteger(L"Level"), 1);
}

TEST_F(Store, AMistypedLevelMigratesNothingAndOverwritesNothing) {
    // A mistyped old value: no level, nothing written to the machine, the value left.
    ASSERT_TRUE(WriteStoreString(L"Level", L"2"));
    EXPECT_EQ(ReadLevel(), lOff);
    EXPECT_FALSE(MachineLevelValue().Present);
    EXPECT_EQ(ReadStoreString(L"Level"), L"2");
    // A mistyped machine value: Off, and the old per-user value neither read nor moved over it.
    WriteMachineValue(REG_SZ, L"2", 4);
    ASSERT_TRUE(WriteStoreInteger(L"Level", 2));
    EXPECT_EQ(ReadLevel(), lOff);
    EXPECT_EQ(MachineLevelValue().Type, DWORD(REG_SZ));
    EXPECT_EQ(ReadStoreInteger(L"Level"), 2);
}

TEST(EmbeddedConfig, LinesFromEveryEncodingAndLineEnd) {
    const struct {
        std::string bytes;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"", {}},
        {std::string("\0CFG_ID=10", 10), {}},
        {"\r\n\r\n", {L"", L""}},
        {"CFG_ID=10\r\nHIT_URL=http://h/\r\n", {L"CFG_ID=10", L"HIT_URL=http://h/"}},
        {"CFG_ID=10", {L"CFG_ID=10"}},
        {"a\rb\nc\r\nd\n\re", {L"a", L"b", L"c", L"d", L"", L"e"}},
        {std::string("A=1\r\nB=2\0C=3\r\n", 14), {L"A=1", L"B=2"}},
        {"\xEF\xBB\xBFN=\xC3\xBC\xE6\x97\xA5", {L"N=\u00FC\u65E5"}},
        {std::string("\xFF\xFEN\0=\0\xFC\0\r\0\n\0X\0", 14), {L"N=\u00FC", L"X"}},
        {std::string("\xFF\xFEN\0=\0\0\0X\0", 10), {L"N="}},
        {std::string("\xFE\xFF\0N\0=\x65\xE5", 8), {L"N=\u65E5"}},
        {std::string("\xFF\xFEN\0=", 5), {L"N"}}, // odd trailing byte dropped
        {"N=x\xFC", {L"N=x\u00FC"}},              // ANSI code page 1252
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConfigLines(c.bytes), c.lines) << Shown(std::wstring(c.bytes.begin(), c.bytes.end()));
}

TEST(EmbeddedConfig, ValueLookup) {
    const std::wstring longValue(100000, L'v');
    const std::vector<std::wstring> lines = {L"CFG_ID=10",      L"HIT_URL",      L"=x",     L"HIT_URL=a=b",
                                             L"HIT_URL=second", L" SPACED = v ", L"Empty=", L"Long=" + longValue};
    const struct {
        const wchar_t* name;
        std::wstring expected;
    } cases[] = {
        {L"CFG_ID", L"10"},    {L"cfg_id", L"10"},   {L"Cfg_Id", L"10"},   {L"CFG", L"dflt"},
        {L"CFG_ID=", L"dflt"}, {L"HIT_URL", L"a=b"}, {L"", L"x"},          {L"SPACED", L"dflt"},
        {L" SPACED ", L" v "}, {L"EMPTY", L""},      {L"Long", longValue}, {L"Missing", L"dflt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConfigValueIn(lines, c.name, L"dflt"), c.expected) << Shown(c.name);
    EXPECT_EQ(ConfigValueIn({}, L"CFG_ID", L"1"), L"1");
    EXPECT_EQ(ConfigValueIn(ConfigLines("\r\n\r\n"), L"CFG_ID", L"1"), L"1");
}

// The test program carries no "CONFIG" resource.
TEST(EmbeddedConfig, MissingResourceRaisesAndLookupsGiveDefaults) {
    EXPECT_EQ(GetConfigValue(L"CFG_ID", L"1"), L"1");
    EXPECT_THROW(LoadEmbeddedConfig(), EConfigMissing);
    EXPECT_EQ(GetConfigValue(L"CFG_ID", L"1"), L"1");
    FreeEmbeddedConfig();
    FreeEmbeddedConfig();
    EXPECT_EQ(GetConfigValue(L"HIT_URL", L"d"), L"d");
}

class Identity : public ::testing::Test {
protected:
    TRegistrySandbox FSandbox;
};

TEST_F(Identity, FirstRecordStoresAUidThatLaterRecordsReuse) {
    const TCfgWS first;
    EXPECT_TRUE(AllDigits(first.UID)) << Shown(first.UID);
    EXPECT_EQ(ReadStoreString(L"UID"), first.UID);
    const TCfgWS second;
    EXPECT_EQ(second.UID, first.UID);
    // No configuration loaded and no version resource in the test program: the defaults.
    EXPECT_EQ(first.CFG, L"1");
    EXPECT_EQ(first.VER, L"QUENVAR=0.0.0.0");
    EXPECT_EQ(first.CLS, L"");
    EXPECT_EQ(first.SUBID, L"0");
}

TEST_F(Identity, EmptyUidIsReplacedAndSubidIsTakenAsStored) {
    ASSERT_TRUE(WriteStoreString(L"UID", L""));
    ASSERT_TRUE(WriteStoreString(L"SUBID", L""));
    const TCfgWS a;
    EXPECT_TRUE(AllDigits(a.UID));
    EXPECT_EQ(ReadStoreString(L"UID"), a.UID);
    EXPECT_EQ(a.SUBID, L"0");
    ASSERT_TRUE(WriteStoreString(L"UID", L"12345"));
    ASSERT_TRUE(WriteStoreString(L"SUBID", L"partner 7"));
    const TCfgWS b;
    EXPECT_EQ(b.UID, L"12345");
    EXPECT_EQ(b.SUBID, L"partner 7");
}

TEST(Hash, TableAndKnownValues) {
    EXPECT_EQ(kHashTable[0], 0x1C168B5871CE07A8u);
    EXPECT_EQ(kHashTable[1], 0x684CC31B839CC2F4u);
    EXPECT_EQ(kHashTable[2], 0x95A4703905DFB202u);
    EXPECT_EQ(kHashTable[3], 0x7A25C7F8322DA7BCu);
    EXPECT_EQ(kHashTable[255], 0x1E2D2FADFC380BB4u);
    EXPECT_EQ(std::set<std::uint64_t>(kHashTable.begin(), kHashTable.end()).size(), kHashTable.size());

    const std::uint64_t k = 1427630199u;
    EXPECT_EQ(HashString64(L""), 1u);
    EXPECT_EQ(HashString64(std::wstring(1, L'\0')), k ^ kHashTable[0]);
    EXPECT_EQ(HashString64(L"\x01\x02"), ((k ^ kHashTable[1]) * k) ^ kHashTable[2]);
    // Two characters, three UTF-8 bytes: C3 BC then 41.
    const std::uint64_t umlautA = ((((k ^ kHashTable[0xC3]) * k) ^ kHashTable[0xBC]) * k) ^ kHashTable[0x41];
    EXPECT_EQ(HashString64(L"\u00FCA"), umlautA);
    EXPECT_NE(HashString64(L"ab"), HashString64(L"ba"));
}

TEST(Hash, Utf8OfMatchesTheSystemAndReplacesLoneSurrogates) {
    const std::wstring valid[] = {L"", L"abc", L"\u00FC\u00DF", L"\u65E5\u672C", L"\U0001F600x", L"\u07FF\u0800\uFFFF"};
    for (const auto& text : valid) {
        std::string expected(text.size() * 4, '\0');
        const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), expected.data(),
                                          static_cast<int>(expected.size()), nullptr, nullptr);
        expected.resize(n);
        EXPECT_EQ(Utf8Of(text), expected) << Shown(text);
    }
    EXPECT_EQ(Utf8Of(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8Of(std::wstring{L'a', wchar_t(0xDC00), L'b'}), "a\xEF\xBF\xBD"
                                                                 "b");
}

TEST(UID, SeedAndNumber) {
    const GUID guid = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(UIDSeed(guid, 42), L"0123456789ABCDEF0123456789ABCDEF42");
    EXPECT_EQ(UIDSeed(guid, 0), L"0123456789ABCDEF0123456789ABCDEF0");
    EXPECT_EQ(UIDSeed(GUID{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, 4294967295u),
              std::wstring(32, L'F') + L"4294967295");

    // Both signs of the hash occur among these seeds; the UID is always its magnitude.
    bool sawNegative = false, sawPositive = false;
    for (int i = 0; i < 64; ++i) {
        const std::wstring seed = UIDSeed(guid, static_cast<DWORD>(i));
        const std::uint64_t h = HashString64(seed);
        const bool negative = static_cast<std::int64_t>(h) < 0;
        (negative ? sawNegative : sawPositive) = true;
        EXPECT_EQ(UIDFromSeed(seed), std::to_wstring(negative ? 0 - h : h));
    }
    EXPECT_TRUE(sawNegative);
    EXPECT_TRUE(sawPositive);

    const std::wstring a = GenerateUID(), b = GenerateUID();
    EXPECT_TRUE(AllDigits(a)) << Shown(a);
    EXPECT_TRUE(AllDigits(b)) << Shown(b);
    EXPECT_NE(a, b);
    EXPECT_LE(a.size(), 19u);
}

TEST(ProtectionPage, UrlPerLevel) {
    EXPECT_EQ(ProtectionPageUrl(lOff), std::wstring(kProductWebsite) + L"Protection-off.aspx");
    EXPECT_EQ(ProtectionPageUrl(lOptimal), std::wstring(kProductWebsite) + L"Protection.aspx");
    EXPECT_EQ(ProtectionPageUrl(lMax), std::wstring(kProductWebsite) + L"Protection.aspx");
    EXPECT_EQ(ProtectionPageUrl(3), L"");
    EXPECT_EQ(ProtectionPageUrl(-1), L"");
    EXPECT_EQ(std::wstring(kProductWebsite).rfind(L"http://", 0), 0u);
}

// The window-and-tray lock is per logon session, so that every session gets its instance; the
// updater and the level change stay one per machine.
TEST(ProgramLocks, TheInstanceLockIsPerSessionTheOthersPerMachine) {
    EXPECT_STREQ(kInstanceMutexName, L"Local\\QuenvarMtx");
    EXPECT_STREQ(kUpdateMutexName, L"Global\\QuenvarMtx_UPD");
    EXPECT_STREQ(kLevelMutexName, L"Global\\QuenvarMtx_LVL");
}

TEST(RunningInstance, AProcessRunsTheProgramWhenItsImageHasTheProgramsPathOrFileName) {
    const std::wstring program = L"C:\\Program Files (x86)\\Quenvar\\Quenvar.exe";
    const struct {
        const wchar_t* image;
        bool ours;
    } cases[] = {
        {L"C:\\Program Files (x86)\\Quenvar\\Quenvar.exe", true},
        {L"c:\\PROGRAM FILES (X86)\\quenvar\\QUENVAR.EXE", true},
        {L"C:\\PROGRA~2\\Quenvar\\Quenvar.exe", true}, // another spelling of the folder
        {L"D:\\Portable\\Quenvar.exe", true},          // a copy elsewhere holds the same session lock
        {L"C:\\Windows\\explorer.exe", false},         // a folder window captioned "Quenvar"
        {L"C:\\Program Files (x86)\\Quenvar\\Quenvar.old.exe", false},
        {L"C:\\Program Files (x86)\\Quenvar\\QuenvarTest.exe", false},
        {L"C:\\Program Files (x86)\\Quenvar", false},
        {L"Quenvar.ex", false},
        {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsProgramImage(c.image, program), c.ours) << Shown(c.image);
    EXPECT_FALSE(IsProgramImage(L"", L""));
    EXPECT_FALSE(IsProgramImage(program, L""));
}

TEST(RunningInstance, ThisProcessHasAFullImagePathOfItsOwnFile) {
    const std::wstring image = OwnProgramImage();
    EXPECT_NE(image.find(L'\\'), std::wstring::npos) << Shown(image);
    EXPECT_TRUE(IsProgramImage(image, L"X:\\QVSupportTest.exe")) << Shown(image);
}

} // namespace
