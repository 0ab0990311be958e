#include "StringU.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

// The tables are written once in narrow ASCII and run for both character types; the wide run sees
// each byte as its own character.
std::wstring Wide(const std::string& aText) {
    return std::wstring(aText.begin(), aText.end());
}

template <typename C> std::basic_string<C> As(const char* aText);
template <> std::string As<char>(const char* aText) {
    return aText;
}
template <> std::wstring As<wchar_t>(const char* aText) {
    return Wide(aText);
}

std::string Shown(const std::wstring& aText) {
    std::string s;
    for (wchar_t c : aText)
        s += c >= 32 && c < 127 ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
    return s;
}

template <typename C> void CheckTrims() {
    const struct {
        const char* text;
        const char* trimmed;
    } cases[] = {
        {"", ""},           {"   ", ""},        {"\t\r\n \x01\x1f", ""},
        {"x", "x"},         {"  a b  ", "a b"}, {"\ta\tb\r\n", "a\tb"},
        {"\x01x\x1f", "x"}, {"!~", "!~"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrimBlanks(As<C>(c.text)), As<C>(c.trimmed)) << '"' << c.text << '"';
}

TEST(TrimBlanks, BlanksAndControlsAtEitherEnd) {
    CheckTrims<char>();
    CheckTrims<wchar_t>();
}

// Only codes up to the blank go: a no-break space and the bytes of a UTF-8 letter stay.
TEST(TrimBlanks, CharactersAboveAsciiStay) {
    EXPECT_EQ(TrimBlanks(std::wstring(L" \u00A0x\u00A0 ")), L"\u00A0x\u00A0");
    EXPECT_EQ(TrimBlanks(std::wstring(L"\u3000")), L"\u3000");
    EXPECT_EQ(TrimBlanks(std::string(" caf\xC3\xA9 ")), "caf\xC3\xA9");
    EXPECT_EQ(TrimBlanks(std::string("\xA0x\xFF")), "\xA0x\xFF");
}

template <typename C> void CheckAsciiCase() {
    const struct {
        const char* text;
        const char* upper;
    } cases[] = {
        {"", ""},
        {"abcxyz", "ABCXYZ"},
        {"MiXeD 09", "MIXED 09"},
        // The neighbours of the letter ranges.
        {"`{@[", "`{@["},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AsciiUpper(As<C>(c.text)), As<C>(c.upper)) << c.text;
}

TEST(AsciiCase, UpperCasesAsciiLettersOnly) {
    CheckAsciiCase<char>();
    CheckAsciiCase<wchar_t>();
    EXPECT_EQ(AsciiUpper(std::wstring(L"\u00E4\u00F6\u00FC\u00DF\u0131i")), L"\u00E4\u00F6\u00FC\u00DF\u0131I");
    EXPECT_EQ(AsciiUpper(std::string("caf\xC3\xA9")), "CAF\xC3\xA9");
}

TEST(AsciiCase, SameTextAndStartsWith) {
    const struct {
        const wchar_t *a, *b;
        bool same, starts;
    } cases[] = {
        {L"", L"", true, true},
        {L"abc", L"ABC", true, true},
        {L"abc", L"abcd", false, false},
        {L"abcd", L"ABC", false, true},
        {L"x", L"", false, true},
        {L"\u00E4b", L"\u00C4B", false, false}, // non-ASCII letters are compared as they are
        {L"\u00E4b", L"\u00E4B", true, true},
        {L"i", L"\u0130", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameTextAscii(std::wstring(c.a), c.b), c.same) << Shown(c.a) << " / " << Shown(c.b);
        EXPECT_EQ(StartsWithAscii(std::wstring(c.a), c.b), c.starts) << Shown(c.a) << " / " << Shown(c.b);
    }
    EXPECT_TRUE(SameTextAscii(std::string("Quenvar"), "QUENVAR"));
    EXPECT_TRUE(StartsWithAscii(std::string("Bearer x"), "bearer "));
}

template <typename C> void CheckReplaceAll() {
    const struct {
        const char *text, *from, *to, *replaced, *ignoringCase;
    } cases[] = {
        {"", "a", "b", "", ""},
        {"abc", "", "x", "abc", "abc"}, // an empty pattern replaces nothing
        {"xyz", "q", "r", "xyz", "xyz"},
        {"aaa", "aa", "b", "ba", "ba"},  // left to right, without overlaps
        {"aaaa", "aa", "a", "aa", "aa"}, // replaced text is not searched again
        {"a", "a", "aa", "aa", "aa"},
        {"abab", "ab", "", "", ""},
        {"abcabc", "abc", "abcabc", "abcabcabcabc", "abcabcabcabc"},
        {"Hello HELLO hello", "hello", "X", "Hello HELLO X", "X X X"},
        {"aBc", "b", "x", "aBc", "axc"},
        {"path\\\\to\\\\x", "\\\\", "\\", "path\\to\\x", "path\\to\\x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplaceAll(As<C>(c.text), As<C>(c.from), As<C>(c.to)), As<C>(c.replaced)) << c.text << " " << c.from;
        EXPECT_EQ(ReplaceAllIgnoreCase(As<C>(c.text), As<C>(c.from), As<C>(c.to)), As<C>(c.ignoringCase))
            << c.text << " " << c.from;
    }
}

TEST(ReplaceAll, Table) {
    CheckReplaceAll<char>();
    CheckReplaceAll<wchar_t>();
    // Case is ignored for ASCII letters only, and the text around a hit keeps its own case.
    EXPECT_EQ(ReplaceAllIgnoreCase(std::wstring(L"\u00C4a\u00E4A"), L"\u00E4a", L"-"), L"\u00C4a-");
}

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;

template <typename C> void CheckParseDecimal() {
    const struct {
        const char* text;
        std::uint64_t max;
        std::optional<std::uint64_t> value;
    } cases[] = {
        {"", kMax64, std::nullopt},
        {"0", kMax64, 0},
        {"0", 0, 0},
        {"1", 0, std::nullopt},
        {"007", kMax64, 7},
        {"00000000000000000000000000001", 1, 1}, // leading zeros never overflow
        {"255", 255, 255},
        {"256", 255, std::nullopt},
        {"4294967295", kMax32, kMax32},
        {"4294967296", kMax32, std::nullopt},
        {"18446744073709551615", kMax64, kMax64},
        {"18446744073709551616", kMax64, std::nullopt},
        {"18446744073709551620", kMax64, std::nullopt},
        {"99999999999999999999", kMax64, std::nullopt},
        {"184467440737095516150", kMax64, std::nullopt},
        {"+1", kMax64, std::nullopt},
        {"-1", kMax64, std::nullopt},
        {"-0", kMax64, std::nullopt},
        {" 1", kMax64, std::nullopt},
        {"1 ", kMax64, std::nullopt},
        {"1a", kMax64, std::nullopt},
        {"0x10", kMax64, std::nullopt},
        {"1.0", kMax64, std::nullopt},
        {"/", kMax64, std::nullopt}, // the neighbours of the digits
        {":", kMax64, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseDecimal(As<C>(c.text), c.max), c.value) << '"' << c.text << "\" max " << c.max;
}

TEST(ParseDecimal, Table) {
    CheckParseDecimal<char>();
    CheckParseDecimal<wchar_t>();
    // Only the given characters are read.
    EXPECT_EQ(ParseDecimal("123abc", 3, kMax64), 123u);
    EXPECT_EQ(ParseDecimal(L"123", 0, kMax64), std::nullopt);
    // Digits of other scripts are not decimal digits here.
    EXPECT_EQ(ParseDecimal(std::wstring(L"\uFF11"), kMax64), std::nullopt);
    EXPECT_EQ(ParseDecimal(std::wstring(L"\u0661"), kMax64), std::nullopt);
}

template <typename C> void CheckParseInt32() {
    const struct {
        const char* text;
        std::optional<std::int32_t> value;
    } cases[] = {
        {"", std::nullopt},
        {"0", 0},
        {"-0", 0},
        {"+0", 0},
        {"42", 42},
        {"+42", 42},
        {"-42", -42},
        {"0042", 42},
        {"-0042", -42},
        {"2147483647", 2147483647},
        {"+2147483647", 2147483647},
        {"2147483648", std::nullopt},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"-2147483649", std::nullopt},
        {"4294967296", std::nullopt},
        {"-18446744073709551616", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"--1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"- 1", std::nullopt},
        {"1e3", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseInt32(As<C>(c.text)), c.value) << '"' << c.text << '"';
}

TEST(ParseInt32, Table) {
    CheckParseInt32<char>();
    CheckParseInt32<wchar_t>();
}

} // namespace
