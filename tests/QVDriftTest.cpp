// The drift watch's decisions: when a burst of registry changes is checked, and which checks warn
// with a balloon, fed with tick counts and deviation identities made up here.
#include "QVDrift.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One event on the watch: a change at a tick, with what it must ask for, or a check that ran.
struct TWatchEvent {
    enum { Change, Check } Kind;
    DWORD Tick;
    bool CheckNow; // for a change
};

TEST(DriftSchedule, ABurstIsCheckedOnceItIsQuietAndAFloodEveryTenSeconds) {
    const DWORD wrap = 0xFFFFF000; // 4096 ms before the tick count wraps around
    const struct {
        const char* name;
        std::vector<TWatchEvent> events;
    } cases[] = {
        {"one change arms the quiet period", {{TWatchEvent::Change, 1000, false}}},
        {"each change of a burst restarts it",
         {{TWatchEvent::Change, 0, false}, {TWatchEvent::Change, 500, false}, {TWatchEvent::Change, 1900, false}}},
        {"a flood is checked when it has lasted ten seconds, and again ten seconds later",
         {{TWatchEvent::Change, 0, false},
          {TWatchEvent::Change, 4000, false},
          {TWatchEvent::Change, 9999, false},
          {TWatchEvent::Change, 10000, true},
          {TWatchEvent::Check, 10000, false},
          {TWatchEvent::Change, 10500, false},
          {TWatchEvent::Change, 20499, false},
          {TWatchEvent::Change, 20500, true}}},
        {"a check ends the burst: the next change starts a new one",
         {{TWatchEvent::Change, 0, false},
          {TWatchEvent::Check, 2000, false},
          {TWatchEvent::Change, 9000, false},
          {TWatchEvent::Change, 18000, false},
          {TWatchEvent::Change, 19000, true}}},
        {"the tick count's wrap-around counts as time going on",
         {{TWatchEvent::Change, wrap, false},
          {TWatchEvent::Change, 0x00001000, false},
          {TWatchEvent::Change, 0x00001800, true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TDriftPolicy policy;
        for (const TWatchEvent& e : c.events) {
            if (e.Kind == TWatchEvent::Check) {
                policy.Checked();
                EXPECT_FALSE(policy.CheckPending());
                continue;
            }
            const TDriftStep step = policy.Changed(e.Tick);
            EXPECT_EQ(step.CheckNow, e.CheckNow) << "change at " << e.Tick;
            if (!step.CheckNow) {
                EXPECT_EQ(step.Delay, kDriftQuiet) << "change at " << e.Tick;
            }
            EXPECT_TRUE(policy.CheckPending());
        }
    }
}

// One check's deviations as the window sees them, what the policy must decide, and whether the
// window then manages to show the balloon (false: no icon in the notification area yet).
struct TCheck {
    std::vector<std::wstring> Deviations;
    bool Visible;
    bool Due;
    bool Shown;
};

TEST(DriftBalloon, OneBalloonForEachSetOfDeviationsWithSomethingNew) {
    const std::wstring a = L"HKLM\\A|Enabled", b = L"HKLM\\B|Enabled", c = L"HKLM\\C|DisabledByDefault";
    const struct {
        const char* name;
        std::vector<TCheck> checks;
    } cases[] = {
        {"a new set warns once", {{{a}, false, true, true}, {{a}, false, false, false}, {{a}, false, false, false}}},
        {"a setting not warned about warns again",
         {{{a}, false, true, true}, {{a, b}, false, true, true}, {{b, a}, false, false, false}}},
        {"a smaller set is nothing new, and what it dropped is forgotten",
         {{{a, b}, false, true, true},
          {{a}, false, false, false},
          {{a, b}, false, true, true},
          {{b, c}, false, true, true}}},
        {"no balloon while the window is visible, whose status line says it; the set counts as warned",
         {{{a}, true, false, false},
          {{a}, false, false, false},
          {{a, c}, true, false, false},
          {{c}, false, false, false}}},
        {"a balloon that could not be shown is tried again",
         {{{a}, false, true, false}, {{a}, false, true, false}, {{a}, false, true, true}, {{a}, false, false, false}}},
        {"drift that ends forgets what was warned about",
         {{{a}, false, true, true}, {{}, false, false, false}, {{a}, false, true, true}}},
        {"no drift, no balloon, visible or not", {{{}, false, false, false}, {{}, true, false, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TDriftPolicy policy;
        for (size_t i = 0; i < c.checks.size(); ++i) {
            const TCheck& check = c.checks[i];
            const bool due = policy.BalloonDue(check.Deviations, check.Visible);
            EXPECT_EQ(due, check.Due) << "check " << i;
            if (due && check.Shown)
                policy.BalloonShown(check.Deviations);
            if (!due || check.Shown) {
                EXPECT_EQ(policy.Warned(), check.Deviations) << "check " << i;
            }
        }
    }
}

} // namespace
