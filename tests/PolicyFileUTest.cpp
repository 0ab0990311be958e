#include "PolicyFileU.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

const wchar_t kOrderKey[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";

// A policy file written out byte by byte, apart from the code under test.
class TFile {
public:
    TFile& Number(std::uint32_t aNumber) {
        for (int shift = 0; shift < 32; shift += 8)
            FBytes.push_back(static_cast<std::uint8_t>(aNumber >> shift));
        return *this;
    }
    TFile& Char(wchar_t aChar) {
        FBytes.push_back(static_cast<std::uint8_t>(aChar & 0xFF));
        FBytes.push_back(static_cast<std::uint8_t>((aChar >> 8) & 0xFF));
        return *this;
    }
    TFile& Text(const std::wstring& aText) {
        for (wchar_t c : aText)
            Char(c);
        return Char(L'\0');
    }
    TFile& Raw(const std::vector<std::uint8_t>& aBytes) {
        FBytes.insert(FBytes.end(), aBytes.begin(), aBytes.end());
        return *this;
    }
    TFile& Header() { return Number(0x67655250).Number(1); }
    // One record whose size field says aSize, whatever the data holds.
    TFile& Record(const std::wstring& aKey, const std::wstring& aValue, std::uint32_t aType,
                  const std::vector<std::uint8_t>& aData, std::uint32_t aSize) {
        Char(L'[').Text(aKey).Char(L';').Text(aValue).Char(L';').Number(aType).Char(L';').Number(aSize).Char(L';');
        return Raw(aData).Char(L']');
    }
    TFile& Record(const std::wstring& aKey, const std::wstring& aValue, std::uint32_t aType,
                  const std::vector<std::uint8_t>& aData) {
        return Record(aKey, aValue, aType, aData, static_cast<std::uint32_t>(aData.size()));
    }
    TFile& Cut(std::size_t aCount) {
        FBytes.resize(FBytes.size() - aCount);
        return *this;
    }
    const std::vector<std::uint8_t>& Bytes() const { return FBytes; }

private:
    std::vector<std::uint8_t> FBytes;
};

// REG_SZ data: the text and its NUL in UTF-16LE.
std::vector<std::uint8_t> Sz(const std::wstring& aText) {
    TFile f;
    f.Text(aText);
    return f.Bytes();
}

TPolicyRecord Record(const std::wstring& aKey, const std::wstring& aValue, const std::wstring& aText = L"x") {
    TPolicyRecord r;
    r.Key = aKey;
    r.Value = aValue;
    r.Type = kRegSz;
    r.Data = Sz(aText);
    return r;
}

TEST(ParsePolicyFile, ReadsEveryRecordOfAValidFile) {
    const std::vector<std::uint8_t> multi = {'P', 0, '2', 0, '5', 0, '6', 0, 0, 0, 0, 0};
    const TFile file = TFile()
                           .Header()
                           .Record(kOrderKey, L"Functions", kRegSz, Sz(L"TLS_AES_256_GCM_SHA384"))
                           .Record(kOrderKey, L"EccCurves", kRegMultiSz, multi)
                           .Record(L"Software\\Policies\\Other", L"Flag", kRegDword, {1, 0, 0, 0})
                           .Record(L"Software\\Policies\\Other", L"**DelVals.", kRegSz, {}, 0);
    std::vector<TPolicyRecord> records;
    ASSERT_TRUE(ParsePolicyFile(file.Bytes(), records));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].Key, kOrderKey);
    EXPECT_EQ(records[0].Value, L"Functions");
    EXPECT_EQ(records[0].Type, kRegSz);
    EXPECT_EQ(records[0].Data, Sz(L"TLS_AES_256_GCM_SHA384"));
    EXPECT_EQ(records[1].Value, L"EccCurves");
    EXPECT_EQ(records[1].Type, kRegMultiSz);
    EXPECT_EQ(records[1].Data, multi);
    EXPECT_EQ(records[2].Key, L"Software\\Policies\\Other");
    EXPECT_EQ(records[2].Type, kRegDword);
    EXPECT_EQ(records[2].Data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(records[3].Value, L"**DelVals.");
    EXPECT_TRUE(records[3].Data.empty());
    EXPECT_EQ(PolicyFileBytes(records), file.Bytes());
}

TEST(ParsePolicyFile, RefusesWhatIsNoPolicyFileAndKeepsTheRecordsBeforeTheFault) {
    const TPolicyRecord first = Record(kOrderKey, L"Functions");
    const auto valid = [&] { return TFile().Header().Record(first.Key, first.Value, first.Type, first.Data); };
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool ok;
        std::size_t records;
    } cases[] = {
        {"empty body", TFile().Header().Bytes(), true, 0},
        {"one record", valid().Bytes(), true, 1},
        {"empty input", {}, false, 0},
        {"header cut short", TFile().Header().Cut(1).Bytes(), false, 0},
        {"wrong signature", TFile().Number(0x67655251).Number(1).Bytes(), false, 0},
        {"signature in the wrong byte order", TFile().Number(0x50526567).Number(1).Bytes(), false, 0},
        {"wrong version", TFile().Number(0x67655250).Number(2).Bytes(), false, 0},
        {"second record cut short", valid().Record(kOrderKey, L"EccCurves", kRegSz, Sz(L"a")).Cut(3).Bytes(), false, 1},
        {"closing bracket missing", valid().Cut(2).Bytes(), false, 0},
        {"size beyond the end", TFile().Header().Record(kOrderKey, L"Functions", kRegSz, Sz(L"a"), 0xFFFFFFF0).Bytes(),
         false, 0},
        {"size one byte beyond the end", valid().Record(kOrderKey, L"V", kRegSz, Sz(L"a"), 7).Bytes(), false, 1},
        {"key without its NUL", TFile().Header().Char(L'[').Char(L'K').Bytes(), false, 0},
        {"semicolon missing after the key", TFile().Header().Char(L'[').Text(L"K").Char(L',').Bytes(), false, 0},
        {"odd byte after the last record", valid().Raw({0}).Bytes(), false, 1},
        {"text between records", valid().Char(L'\n').Bytes(), false, 1},
    };
    for (const auto& c : cases) {
        std::vector<TPolicyRecord> records(3);
        EXPECT_EQ(ParsePolicyFile(c.bytes, records), c.ok) << c.name;
        EXPECT_EQ(records.size(), c.records) << c.name;
        if (!records.empty()) {
            EXPECT_EQ(records[0].Data, first.Data) << c.name;
        }
    }
}

// A value deleted at every refresh is the policy's as much as one it sets; other values are not.
TEST(PolicyDecidesValue, SettingAndDeletingDecideOtherRecordsDoNot) {
    const std::wstring ssl = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL";
    const struct {
        const char* name;
        std::vector<TPolicyRecord> records;
        bool decides;
    } cases[] = {
        {"no records", {}, false},
        {"a set", {Record(kOrderKey, L"Functions")}, true},
        {"**del.", {Record(kOrderKey, L"**del.Functions")}, true},
        {"**DelVals of its key", {Record(kOrderKey, L"**DelVals")}, true},
        {"**DelVals of the key above", {Record(ssl, L"**DelVals")}, false},
        {"**soft.", {Record(kOrderKey, L"**soft.Functions")}, false},
        {"another value", {Record(kOrderKey, L"EccCurves"), Record(kOrderKey, L"**del.EccCurves")}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PolicyDecidesValue(c.records, kOrderKey, L"Functions"), c.decides) << c.name;
}

TEST(PolicySetsValue, TheLastRecordOfTheValueDecides) {
    const std::wstring ssl = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL";
    const auto control = [](const std::wstring& aKey, const std::wstring& aCode, const std::wstring& aList) {
        return Record(aKey, aCode, aList);
    };
    const struct {
        const char* name;
        std::vector<TPolicyRecord> records;
        std::wstring key;
        std::wstring value;
        bool sets;
    } cases[] = {
        {"no records", {}, kOrderKey, L"Functions", false},
        {"a set", {Record(kOrderKey, L"Functions")}, kOrderKey, L"Functions", true},
        {"another value of the key", {Record(kOrderKey, L"EccCurves")}, kOrderKey, L"Functions", false},
        {"the value of another key", {Record(ssl, L"Functions")}, kOrderKey, L"Functions", false},
        {"a set, then **del.",
         {Record(kOrderKey, L"Functions"), Record(kOrderKey, L"**del.Functions")},
         kOrderKey,
         L"Functions",
         false},
        {"**del., then a set",
         {Record(kOrderKey, L"**Del.Functions"), Record(kOrderKey, L"Functions")},
         kOrderKey,
         L"Functions",
         true},
        {"**del. of another value",
         {Record(kOrderKey, L"Functions"), Record(kOrderKey, L"**del.EccCurves")},
         kOrderKey,
         L"Functions",
         true},
        {"**del. in another key",
         {Record(kOrderKey, L"Functions"), Record(ssl, L"**del.Functions")},
         kOrderKey,
         L"Functions",
         true},
        {"**DeleteValues naming it",
         {Record(kOrderKey, L"Functions"), control(kOrderKey, L"**DeleteValues", L"EccCurves; functions")},
         kOrderKey,
         L"Functions",
         false},
        {"**DeleteValues naming others",
         {Record(kOrderKey, L"Functions"), control(kOrderKey, L"**DeleteValues", L"EccCurves;Function")},
         kOrderKey,
         L"Functions",
         true},
        {"**DelVals of its key",
         {Record(kOrderKey, L"Functions"), Record(kOrderKey, L"**DelVals")},
         kOrderKey,
         L"Functions",
         false},
        {"**delvals. as list boxes write it, then the set",
         {Record(kOrderKey, L"**delvals."), Record(kOrderKey, L"Functions")},
         kOrderKey,
         L"Functions",
         true},
        {"**DelVals of the key above",
         {Record(kOrderKey, L"Functions"), Record(ssl, L"**DelVals")},
         kOrderKey,
         L"Functions",
         true},
        {"**DeleteKeys naming its key below the record's",
         {Record(kOrderKey, L"Functions"), control(ssl, L"**DeleteKeys ", L"00010002")},
         kOrderKey,
         L"Functions",
         false},
        {"**DeleteKeys naming a key above by its full path",
         {Record(kOrderKey, L"Functions"),
          control(L"Software\\Policies", L"**DeleteKeys", L"Software\\Policies\\Microsoft\\Cryptography")},
         kOrderKey,
         L"Functions",
         false},
        {"**DeleteKeys naming a sibling whose name it begins",
         {Record(kOrderKey, L"Functions"), control(ssl, L"**DeleteKeys", L"0001000;000100021")},
         kOrderKey,
         L"Functions",
         true},
        {"**soft. sets only where nothing is",
         {Record(kOrderKey, L"**soft.Functions")},
         kOrderKey,
         L"Functions",
         false},
        {"**SecureKey changes nothing",
         {Record(kOrderKey, L"Functions"), Record(kOrderKey, L"**SecureKey=1")},
         kOrderKey,
         L"Functions",
         true},
        {"asked with HKLM\\ and another case",
         {Record(kOrderKey, L"Functions")},
         L"HKLM\\software\\policies\\microsoft\\cryptography\\configuration\\ssl\\00010002",
         L"FUNCTIONS",
         true},
        {"asked with a leading backslash",
         {Record(kOrderKey, L"Functions")},
         std::wstring(L"\\") + kOrderKey,
         L"functions",
         true},
        {"recorded with a leading backslash and another case",
         {Record(L"\\software\\POLICIES\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002", L"fUNCTIONS")},
         kOrderKey,
         L"Functions",
         true},
        {"a value name with a trailing blank is another value",
         {Record(kOrderKey, L"Functions ")},
         kOrderKey,
         L"Functions",
         false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PolicySetsValue(c.records, c.key, c.value), c.sets) << c.name;
}

TEST(PolicyKeyOf, DropsTheRootAndOuterBackslashes) {
    EXPECT_EQ(PolicyKeyOf(L"HKLM\\Software\\A\\"), L"SOFTWARE\\A");
    EXPECT_EQ(PolicyKeyOf(L"HKEY_LOCAL_MACHINE\\Software\\a"), L"SOFTWARE\\A");
    EXPECT_EQ(PolicyKeyOf(L"\\\\Software"), L"SOFTWARE");
    EXPECT_EQ(PolicyKeyOf(L"\\HKLM\\\\Software"), L"SOFTWARE");
    EXPECT_EQ(PolicyKeyOf(L"HKLMX\\Software"), L"HKLMX\\SOFTWARE");
    EXPECT_EQ(PolicyKeyOf(L"\\"), L"");
}

} // namespace
