// Small text helpers in standard C++ only, for wide and narrow strings alike: trimming, ASCII case,
// replacing and decimal numbers. The token code and the vendor's service build this header
// natively; the Windows code pages live in TextU.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace StringDetail {

// Keeps a parameter out of template deduction, so that a literal can stand for the second string.
template <typename T> struct TSame { using type = T; };

} // namespace StringDetail

template <typename C> using TSameString = typename StringDetail::TSame<std::basic_string<C>>::type;

// Without the characters up to and including the blank (controls and " ") at either end. Compared
// as unsigned, so that the bytes of a UTF-8 or ANSI letter in a signed char are kept.
template <typename C> std::basic_string<C> TrimBlanks(const std::basic_string<C>& aText) {
    using TCode = std::make_unsigned_t<C>;
    const auto blank = [](C c) { return static_cast<TCode>(c) <= TCode(' '); };
    size_t first = 0, last = aText.size();
    while (first < last && blank(aText[first]))
        ++first;
    while (last > first && blank(aText[last - 1]))
        --last;
    return aText.substr(first, last - first);
}

// ASCII letters upper-cased, everything else unchanged: the case-insensitive key of a name.
template <typename C> std::basic_string<C> AsciiUpper(std::basic_string<C> aText) {
    for (C& c : aText)
        if (c >= C('a') && c <= C('z'))
            c = static_cast<C>(c - C('a') + C('A'));
    return aText;
}

template <typename C> bool SameTextAscii(const std::basic_string<C>& a, const TSameString<C>& b) {
    return a.size() == b.size() && AsciiUpper(a) == AsciiUpper(b);
}

// Whether aText begins with aPrefix, ASCII letter case ignored.
template <typename C> bool StartsWithAscii(const std::basic_string<C>& aText, const TSameString<C>& aPrefix) {
    return aText.size() >= aPrefix.size() && SameTextAscii(aText.substr(0, aPrefix.size()), aPrefix);
}

namespace StringDetail {

template <typename C>
std::basic_string<C> ReplaceAllIn(const std::basic_string<C>& aText, const std::basic_string<C>& aSearched,
                                  const std::basic_string<C>& aFrom, const std::basic_string<C>& aTo) {
    if (aFrom.empty())
        return aText;
    std::basic_string<C> result;
    result.reserve(aText.size());
    size_t start = 0;
    for (;;) {
        const size_t hit = aSearched.find(aFrom, start);
        if (hit == std::basic_string<C>::npos)
            break;
        result.append(aText, start, hit - start);
        result += aTo;
        start = hit + aFrom.size();
    }
    result.append(aText, start, std::basic_string<C>::npos);
    return result;
}

} // namespace StringDetail

// Every occurrence of aFrom replaced by aTo, left to right without overlaps; an empty aFrom
// replaces nothing.
template <typename C>
std::basic_string<C> ReplaceAll(const std::basic_string<C>& aText, const TSameString<C>& aFrom,
                                const TSameString<C>& aTo) {
    return StringDetail::ReplaceAllIn(aText, aText, aFrom, aTo);
}

// ReplaceAll with aFrom compared without ASCII letter case.
template <typename C>
std::basic_string<C> ReplaceAllIgnoreCase(const std::basic_string<C>& aText, const TSameString<C>& aFrom,
                                          const TSameString<C>& aTo) {
    return StringDetail::ReplaceAllIn(aText, AsciiUpper(aText), AsciiUpper(aFrom), aTo);
}

// The number the aLength characters at aText spell in decimal digits only (no sign, no blanks, at
// least one digit) when it is at most aMax; nothing otherwise, also for digits that would overflow.
template <typename C> std::optional<std::uint64_t> ParseDecimal(const C* aText, size_t aLength, std::uint64_t aMax) {
    if (aLength == 0)
        return std::nullopt;
    std::uint64_t value = 0;
    for (size_t i = 0; i < aLength; ++i) {
        const C c = aText[i];
        if (c < C('0') || c > C('9'))
            return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - C('0'));
        if (digit > aMax || value > (aMax - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

template <typename C> std::optional<std::uint64_t> ParseDecimal(const std::basic_string<C>& aText, std::uint64_t aMax) {
    return ParseDecimal(aText.data(), aText.size(), aMax);
}

// A decimal integer with an optional "+" or "-" in front that fits 32 bits; nothing otherwise.
// Allocates nothing.
template <typename C> std::optional<std::int32_t> ParseInt32(const std::basic_string<C>& aText) {
    const bool signed_ = !aText.empty() && (aText[0] == C('+') || aText[0] == C('-'));
    const bool negative = signed_ && aText[0] == C('-');
    const size_t first = signed_ ? 1 : 0;
    const std::optional<std::uint64_t> magnitude =
        ParseDecimal(aText.data() + first, aText.size() - first, negative ? 0x80000000u : 0x7FFFFFFFu);
    if (!magnitude)
        return std::nullopt;
    const auto v = static_cast<std::int64_t>(*magnitude);
    return static_cast<std::int32_t>(negative ? -v : v);
}
