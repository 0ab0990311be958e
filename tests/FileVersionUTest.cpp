#include "FileVersionU.h"
#include "QVVersion.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

std::wstring Widen(const char* aText) {
    const std::string s(aText);
    return std::wstring(s.begin(), s.end());
}

std::wstring Fixture(const wchar_t* aName) {
    return TestBinDir() + aName + L".dll";
}

TEST(FileVersion, TheProgramItselfIsFoundThroughItsTranslation) {
    TFileVersion v(QuenvarExe());
    ASSERT_TRUE(v.Valid());
    EXPECT_EQ(v.FileName(), QuenvarExe());
    EXPECT_EQ(v.GetTranslationString(), L"040904E4");
    EXPECT_EQ(v.VersionLanguage(), vlUSEnglish);
    EXPECT_EQ(v.VersionCharSet(), vcsMultilingual);
    EXPECT_EQ(v.FileVersion(), Widen(QV_VERSION_TEXT));
    EXPECT_EQ(v.ProductVersion(), Widen(QV_VERSION_TEXT));
    EXPECT_EQ(v.ProductName(), L"Quenvar");
    EXPECT_EQ(v.OriginalFilename(), L"Quenvar.exe");
    EXPECT_EQ(v.SpecialBuild(), L"");
    EXPECT_EQ(v.VersionNum(), static_cast<DWORD>(MAKELONG(QV_VERSION_MINOR, QV_VERSION_MAJOR)));
    EXPECT_EQ(GetFileVersionString(QuenvarExe()), Widen(QV_VERSION_TEXT));
}

TEST(FileVersion, FixedVersionsInBothViews) {
    TFileVersion v(Fixture(L"VerFallback"));
    ASSERT_TRUE(v.Valid());
    ASSERT_NE(v.FixedFileVersion(), nullptr);
    EXPECT_EQ(v.FixedFileVersion()->dwSignature, 0xFEEF04BDu);
    const TLongVersion file = v.FileLongVersion();
    EXPECT_EQ(file.MS, 0x00020003);
    EXPECT_EQ(file.LS, 0x00040005);
    const BYTE fileBytes[8] = {3, 0, 2, 0, 5, 0, 4, 0};
    EXPECT_EQ(std::memcmp(file.All, fileBytes, 8), 0);
    const TLongVersion product = v.ProductLongVersion();
    EXPECT_EQ(product.MS, 0x00070008);
    EXPECT_EQ(product.LS, 0x0009000A);
    EXPECT_EQ(v.VersionNum(), 0x00020003u);
}

// The translation names a language without a string table: values come from the first table.
TEST(FileVersion, ValuesFallBackToTheFirstStringTable) {
    TFileVersion v(Fixture(L"VerFallback"));
    ASSERT_TRUE(v.Valid());
    EXPECT_EQ(v.GetTranslationString(), L"040704B0");
    EXPECT_EQ(v.VersionLanguage(), vlGerman);
    EXPECT_EQ(v.VersionCharSet(), vcsUnicode);
    EXPECT_EQ(v.CompanyName(), L"Premier");
    EXPECT_EQ(v.FileVersion(), L"2.3.4.5-first");
    EXPECT_EQ(v.ProductName(), L"Fallback");
    EXPECT_EQ(v.Comments(), L"");
    EXPECT_EQ(GetFileVersionString(Fixture(L"VerFallback")), L"2.3.4.5-first");
}

TEST(FileVersion, LanguageOutsideTheTableAndCodePage1252) {
    TFileVersion v(Fixture(L"VerSpanish"));
    ASSERT_TRUE(v.Valid());
    ASSERT_NE(v.Translation(), nullptr);
    EXPECT_EQ(*v.Translation(), 0x04E40C0Au);
    EXPECT_EQ(v.VersionLanguage(), vlUnknown);
    EXPECT_EQ(v.VersionCharSet(), vcsMultilingual);
    EXPECT_EQ(v.Comments(), L"Comentario");
    EXPECT_EQ(v.LegalTrademarks(), L"");
}

TEST(FileVersion, LongValueNamesGiveEmptyInsteadOfATruncatedQuery) {
    TFileVersion v(Fixture(L"VerFallback"));
    ASSERT_TRUE(v.Valid());
    EXPECT_EQ(v.GetVerValue(L"CompanyName" + std::wstring(300, L'x')), L"");
    EXPECT_EQ(v.GetVerValue(std::wstring(2000, L'C')), L"");
    EXPECT_EQ(v.GetVerValue(L""), L"");
}

// Everything without a readable version resource gives the empty, null and zero results.
TEST(FileVersion, FilesWithoutAVersionResourceAreNotValid) {
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring cases[] = {
        Fixture(L"VerNone"),     TestBinDir() + L"no-such-file.dll", TestBinDir(), std::wstring(windows), L"",
        std::wstring(1000, L'a')};
    for (const auto& name : cases) {
        TFileVersion v(name);
        const std::string shown(name.begin(), name.begin() + std::min<size_t>(name.size(), 60));
        EXPECT_FALSE(v.Valid()) << shown;
        EXPECT_EQ(v.FixedFileVersion(), nullptr) << shown;
        EXPECT_EQ(v.Translation(), nullptr) << shown;
        EXPECT_EQ(v.FileLongVersion().MS, 0) << shown;
        EXPECT_EQ(v.ProductLongVersion().LS, 0) << shown;
        EXPECT_EQ(v.VersionNum(), 0u) << shown;
        EXPECT_EQ(v.FileVersion(), L"") << shown;
        EXPECT_EQ(v.GetTranslationString(), L"") << shown;
        EXPECT_EQ(v.VersionLanguage(), vlUnknown) << shown;
        EXPECT_EQ(v.VersionCharSet(), vcsUnknown) << shown;
        EXPECT_EQ(GetFileVersionString(name), L"") << shown;
    }
}

TEST(FileVersion, RenamingRereadsTheFile) {
    TFileVersion v(Fixture(L"VerFallback"));
    ASSERT_TRUE(v.Valid());
    v.SetFileName(Fixture(L"VerNone"));
    EXPECT_FALSE(v.Valid());
    EXPECT_EQ(v.FileVersion(), L"");
    EXPECT_EQ(v.VersionNum(), 0u);
    v.SetFileName(Fixture(L"VerSpanish"));
    EXPECT_TRUE(v.Valid());
    EXPECT_EQ(v.FileVersion(), L"1.0");
}

TEST(VersionTables, LanguagesAndCodePages) {
    const struct {
        WORD id;
        TVersionLanguage language;
    } languages[] = {{0x0401, vlArabic},        {0x0409, vlUSEnglish},         {0x0414, vlNorwegianBokmel},
                     {0x0421, vlBahasa},        {0x0804, vlSimplifiedChinese}, {0x0809, vlUKEnglish},
                     {0x081A, vlSerboCroatian}, {0x0C0C, vlCanadianFrench},    {0x100C, vlSwissFrench},
                     {0x0000, vlUnknown},       {0x0C0A, vlUnknown},           {0x0422, vlUnknown},
                     {0xFFFF, vlUnknown}};
    for (const auto& c : languages)
        EXPECT_EQ(VersionLanguageOf(c.id), c.language) << c.id;
    const struct {
        WORD codePage;
        TVersionCharSet charSet;
    } charSets[] = {{0, vcsASCII},       {932, vcsJapan},         {949, vcsKorea},
                    {950, vcsTaiwan},    {1200, vcsUnicode},      {1250, vcsEasternEuropean},
                    {1251, vcsCyrillic}, {1252, vcsMultilingual}, {1253, vcsGreek},
                    {1254, vcsTurkish},  {1255, vcsHebrew},       {1256, vcsArabic},
                    {65001, vcsUnknown}, {0xFFFF, vcsUnknown},    {437, vcsUnknown}};
    for (const auto& c : charSets)
        EXPECT_EQ(VersionCharSetOf(c.codePage), c.charSet) << c.codePage;
    EXPECT_EQ(TranslationText(0x04B00409), L"040904B0");
    EXPECT_EQ(TranslationText(0x04E40C0A), L"0C0A04E4");
    EXPECT_EQ(TranslationText(0), L"00000000");
}

// Cut-off and corrupt blocks never read past their end.
TEST(VersionTables, FirstStringTableKeyOfDamagedBlocks) {
    TFileVersion v(Fixture(L"VerFallback"));
    ASSERT_TRUE(v.Valid());
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(Fixture(L"VerFallback").c_str(), &handle);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(Fixture(L"VerFallback").c_str(), 0, size, block.data()));
    EXPECT_EQ(FirstStringTableKey(block.data(), block.size()), L"040C04E4");
    const WORD length = *reinterpret_cast<WORD*>(block.data());
    for (size_t cut = 0; cut < length; ++cut) {
        std::vector<BYTE> part(block.begin(), block.begin() + cut);
        EXPECT_EQ(FirstStringTableKey(part.data(), part.size()), L"") << cut;
    }
    std::vector<BYTE> zeros(64, 0);
    EXPECT_EQ(FirstStringTableKey(zeros.data(), zeros.size()), L"");
    std::vector<BYTE> ones(64, 0xFF);
    EXPECT_EQ(FirstStringTableKey(ones.data(), ones.size()), L"");
    EXPECT_EQ(FirstStringTableKey(nullptr, 100), L"");
}

} // namespace
