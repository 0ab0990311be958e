// The one way a failure is deliberately swallowed: routines that are promised never to raise run
// their body through these, and so do steps whose failure only means falling back to a default.
// Standard C++ only.
#pragma once

#include <utility>

// aCall's result, or aFallback when aCall raises.
template <typename T, typename F> T ResultOr(T aFallback, F&& aCall) noexcept {
    try {
        return std::forward<F>(aCall)();
    } catch (...) {
        return aFallback;
    }
}

// Runs aCall; whatever it raises is dropped.
template <typename F> void IgnoringFailure(F&& aCall) noexcept {
    try {
        std::forward<F>(aCall)();
    } catch (...) {
    }
}
