#include "QVSupport.h"
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

TEST_F(Store, ReadLevelClampsWhatIsStored) {
    EXPECT_EQ(ReadLevel(), lOff); // absent
    const struct {
        int stored;
        TLevel level;
    } cases[] = {{0, lOff}, {1, lOptimal},   {2, lMax},  {3, lMax},
                 {7, lMax}, {INT_MAX, lMax}, {-1, lOff}, {INT_MIN, lOff}};
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteStoreInteger(L"Level", c.stored));
        EXPECT_EQ(ReadLevel(), c.level) << c.stored;
    }
    ASSERT_TRUE(WriteStoreString(L"Level", L"2"));
    EXPECT_EQ(ReadLevel(), lOff);
}

TEST_F(Store, TheLevelIsTheStoresLevelValueAndIsReadBackAsStored) {
    EXPECT_EQ(ReadStoredLevel(), 0); // absent
    for (const TLevel level : {lMax, lOptimal, lOff}) {
        EXPECT_TRUE(WriteLevel(level));
        int number = -1;
        EXPECT_TRUE(ReadRegDWord(HKCU, L"Software\\Quenvar", L"Level", number));
        EXPECT_EQ(number, level);
        EXPECT_EQ(ReadStoredLevel(), level);
    }
    // Another program's number stays what it is; only ReadLevel clamps it.
    ASSERT_TRUE(WriteRegDWord(HKCU, L"Software\\Quenvar", L"Level", 7));
    EXPECT_EQ(ReadStoredLevel(), 7);
    EXPECT_EQ(ReadLevel(), lMax);
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

TDateTimeFormat UsFormat() {
    TDateTimeFormat f;
    f.ShortDate = L"M/d/yyyy";
    f.LongTime = L"h:mm:ss tt";
    f.AM = L"AM";
    f.PM = L"PM";
    f.ShortMonths = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun", L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    f.LongMonths = {L"January", L"February", L"March",     L"April",   L"May",      L"June",
                    L"July",    L"August",   L"September", L"October", L"November", L"December"};
    f.ShortDays = {L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat", L"Sun"};
    f.LongDays = {L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday", L"Sunday"};
    return f;
}

TDateTimeFormat GermanFormat() {
    TDateTimeFormat f = UsFormat();
    f.ShortDate = L"dd.MM.yyyy";
    f.LongTime = L"HH:mm:ss";
    f.AM = f.PM = L"";
    f.ShortMonths[2] = L"M\u00E4r";
    f.LongMonths[2] = L"M\u00E4rz";
    return f;
}

TDateTimeFormat NamedFormat() {
    TDateTimeFormat f = UsFormat();
    f.ShortDate = L"ddd, d MMMM yy 'at'";
    f.LongTime = L"H'h'mm''ss";
    return f;
}

SYSTEMTIME Moment(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t{};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    return t;
}

bool SameMoment(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

TEST(StoreDate, TextsInThreeFormats) {
    const struct {
        TDateTimeFormat format;
        SYSTEMTIME moment;
        const wchar_t* text;
    } cases[] = {
        {UsFormat(), Moment(2026, 12, 9, 23, 5, 7), L"12/9/2026 11:05:07 PM"},
        {UsFormat(), Moment(2026, 1, 2, 0, 0, 1), L"1/2/2026 12:00:01 AM"},
        {UsFormat(), Moment(2026, 7, 4, 12, 30, 0), L"7/4/2026 12:30:00 PM"},
        {UsFormat(), Moment(2024, 2, 29, 0, 0, 0), L"2/29/2024"},
        {GermanFormat(), Moment(2026, 12, 9, 23, 5, 7), L"09.12.2026 23:05:07"},
        {GermanFormat(), Moment(2026, 3, 1, 0, 0, 0), L"01.03.2026"},
        {NamedFormat(), Moment(2026, 12, 9, 8, 5, 7), L"Wed, 9 December 26 at 8h05'07"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatStoreDateTime(c.moment, c.format), c.text);
        const auto back = ParseStoreDateTime(c.text, c.format);
        ASSERT_TRUE(back.has_value()) << Shown(c.text);
        EXPECT_TRUE(SameMoment(*back, c.moment)) << Shown(c.text);
    }
}

// A text that does not fit the current format is reported unreadable, never as some other date.
TEST(StoreDate, UnreadableTexts) {
    const struct {
        TDateTimeFormat format;
        const wchar_t* text;
    } cases[] = {
        {UsFormat(), L"09.12.2026 23:05:07"}, // written in German, read in US format
        {GermanFormat(), L"12/9/2026 11:05:07 PM"},
        {GermanFormat(), L"12/9/2026"},
        {UsFormat(), L""},
        {UsFormat(), L"garbage"},
        {UsFormat(), L"13/1/2026"},
        {UsFormat(), L"2/30/2026"},
        {UsFormat(), L"2/29/2025"},
        {UsFormat(), L"1/1/2026 13:00:00 PM"},
        {UsFormat(), L"1/1/2026 1:60:00 PM"},
        {UsFormat(), L"1/1/2026 1:00:00"},
        {UsFormat(), L"1/1/2026 1:00:00 PM trailing"},
        {UsFormat(), L"1/1/2026  1:00:00 PM"},
        {GermanFormat(), L"09.12.2026 24:00:00"},
        {GermanFormat(), L"09.12.1500"},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ParseStoreDateTime(c.text, c.format).has_value()) << Shown(c.text);
}

TEST(StoreDate, RoundTripInTheUsersFormat) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    now.wMilliseconds = 0;
    const std::wstring text = DateTimeToStoreText(now);
    EXPECT_FALSE(text.empty());
    const auto back = StoreTextToDateTime(text);
    ASSERT_TRUE(back.has_value()) << Shown(text);
    EXPECT_TRUE(SameMoment(*back, now)) << Shown(text);
    const SYSTEMTIME midnight = Moment(2026, 12, 9, 0, 0, 0);
    EXPECT_EQ(DateTimeToStoreText(midnight).find(L' '), std::wstring::npos);
    EXPECT_TRUE(SameMoment(*StoreTextToDateTime(DateTimeToStoreText(midnight)), midnight));
    EXPECT_FALSE(StoreTextToDateTime(L"not a date").has_value());
}

} // namespace
