#include "FallbackU.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

TEST(FallbackU, EverySwallowedFailureIsCountedAndTheFallbackReturned) {
    const std::uint64_t before = SwallowedCount();

    EXPECT_EQ(ResultOr("Test.Raises", 7, []() -> int { throw std::runtime_error("broken"); }), 7);
    EXPECT_EQ(SwallowedCount(), before + 1);
    EXPECT_EQ(ResultOr("Test.RaisesAnything", std::string("fallback"), []() -> std::string { throw 42; }),
              "fallback");
    EXPECT_EQ(SwallowedCount(), before + 2);
    IgnoringFailure("Test.Ignored", [] { throw std::logic_error("dropped"); });
    EXPECT_EQ(SwallowedCount(), before + 3);

    // A hand-written catch reports through the same routine.
    try {
        throw std::out_of_range("by hand");
    } catch (...) {
        NoteCurrentSwallowed("Test.ByHand");
    }
    EXPECT_EQ(SwallowedCount(), before + 4);
}

TEST(FallbackU, CallsThatSucceedLeaveNoTrace) {
    const std::uint64_t before = SwallowedCount();
    EXPECT_EQ(ResultOr("Test.Fine", 0, [] { return 5; }), 5);
    int ran = 0;
    IgnoringFailure("Test.FineToo", [&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(SwallowedCount(), before);
}
