#include "FallbackU.h"

#include <atomic>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#endif

namespace {

std::atomic<std::uint64_t> gSwallowed{0};

#ifdef _WIN32
// The trace line's text in UTF-16: place and message are ASCII in practice; any other byte shows
// as U+FFFD rather than being guessed at.
std::wstring WideTrace(const std::string& aLine) {
    std::wstring wide;
    wide.reserve(aLine.size());
    for (unsigned char c : aLine)
        wide.push_back(c < 0x80 ? static_cast<wchar_t>(c) : L'\xFFFD');
    return wide;
}
#endif

} // namespace

void NoteSwallowed(const char* aPlace, const char* aWhat) noexcept {
    gSwallowed.fetch_add(1, std::memory_order_relaxed);
    try {
        std::string line = "failure swallowed in ";
        line += aPlace ? aPlace : "?";
        if (aWhat && *aWhat) {
            line += ": ";
            line += aWhat;
        }
        line += "\n";
#ifdef _WIN32
        OutputDebugStringW(WideTrace(line).c_str());
#else
        std::fputs(line.c_str(), stderr);
#endif
    } catch (...) {
        // Out of memory for the line itself: the count above still holds it.
    }
}

void NoteCurrentSwallowed(const char* aPlace) noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        NoteSwallowed(aPlace, e.what());
    } catch (...) {
        NoteSwallowed(aPlace, nullptr);
    }
}

std::uint64_t SwallowedCount() noexcept {
    return gSwallowed.load(std::memory_order_relaxed);
}
