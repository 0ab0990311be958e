// The drift watch's decisions, without a window: when a burst of registry changes is checked, and
// which set of deviations is worth a balloon. Tick counts and deviation identities go in, decisions
// come out; the window keeps the timers and the notification-area calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Registry changes are checked once things have been quiet for a moment, so that a program that
// writes twenty values causes one check; a flood that never pauses is checked every few seconds.
constexpr UINT kDriftQuiet = 2000;
constexpr DWORD kDriftLongest = 10000;

// What a registry change asks for: the check at once, or the timer (re)armed for Delay ms.
struct TDriftStep {
    bool CheckNow = false;
    UINT Delay = 0;
};

class TDriftPolicy {
public:
    // A watched key changed at aNow (GetTickCount; its wrap-around is harmless). Each change
    // restarts the quiet period; a burst that has lasted kDriftLongest since its first change is
    // checked at once.
    TDriftStep Changed(DWORD aNow) noexcept;
    // A check runs: the next change starts a new burst.
    void Checked() noexcept { FCheckPending = false; }
    bool CheckPending() const noexcept { return FCheckPending; }

    // Whether a check that found aDeviations (their identities; empty when nothing deviates or the
    // level is Off) warns with a balloon. One balloon for each set that holds a setting not warned
    // about before. None while the window is visible, whose status line says it already: the set
    // then counts as warned, as does a set with nothing new. Drift that ends forgets what was
    // warned about. On true the caller shows the balloon and, once it is shown, reports it with
    // BalloonShown; one that could not be shown (no icon yet) leaves the set unwarned, so that the
    // next check tries again.
    bool BalloonDue(const std::vector<std::wstring>& aDeviations, bool aWindowVisible);
    void BalloonShown(const std::vector<std::wstring>& aDeviations) { FWarned = aDeviations; }
    const std::vector<std::wstring>& Warned() const noexcept { return FWarned; }

private:
    bool FCheckPending = false;
    DWORD FFirstChange = 0;
    std::vector<std::wstring> FWarned;
};
