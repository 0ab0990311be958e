// What the fuzz targets share: turning fuzz bytes into the texts the code under test takes, and
// stopping the run when a property fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Little-endian pairs of bytes as UTF-16 code units, one wchar_t each (16 bits on Windows, where
// the code runs); an odd last byte is dropped. Utf16Bytes is the inverse, for seeds.
std::wstring WideFromBytes(const std::uint8_t* aData, std::size_t aSize);
std::string Utf16Bytes(const std::wstring& aText);

// The input cut at its NUL bytes into at most aCount texts; the last one keeps any further NULs.
std::vector<std::string> SplitAtNul(const std::uint8_t* aData, std::size_t aSize, std::size_t aCount);

// Prints what failed and aborts, which libFuzzer reports as a crash with the input that caused it.
[[noreturn]] void PropertyFailed(const char* aWhat);
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            PropertyFailed(#condition);                                                                                \
    } while (0)
