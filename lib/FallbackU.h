// The one way a failure is deliberately swallowed: routines that are promised never to raise run
// their body through these, and so do steps whose failure only means falling back to a default.
// Every swallowed exception, here or in a hand-written catch at an OS boundary, goes through
// NoteSwallowed, which leaves a trace and counts it. Standard C++ only.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

// Records that a failure was swallowed at aPlace (a routine's name, "TThread.ThreadProc"), with
// aWhat from the exception when it had one: one line to the debugger's output on Windows
// (OutputDebugStringW, which DebugView shows), to stderr elsewhere, and one more in the count.
// Never raises.
void NoteSwallowed(const char* aPlace, const char* aWhat = nullptr) noexcept;
// The exception being handled, noted as swallowed at aPlace; for use inside a catch block.
void NoteCurrentSwallowed(const char* aPlace) noexcept;
// How many failures were swallowed in this process so far.
std::uint64_t SwallowedCount() noexcept;

// aCall's result, or aFallback when aCall raises.
template <typename T, typename F> T ResultOr(const char* aPlace, T aFallback, F&& aCall) noexcept {
    try {
        return std::forward<F>(aCall)();
    } catch (...) {
        NoteCurrentSwallowed(aPlace);
        return aFallback;
    }
}

// Runs aCall; whatever it raises is dropped.
template <typename F> void IgnoringFailure(const char* aPlace, F&& aCall) noexcept {
    try {
        std::forward<F>(aCall)();
    } catch (...) {
        NoteCurrentSwallowed(aPlace);
    }
}
