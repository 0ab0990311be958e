#include "QVDrift.h"

#include <algorithm>

TDriftStep TDriftPolicy::Changed(DWORD aNow) noexcept {
    if (!FCheckPending) {
        FCheckPending = true;
        FFirstChange = aNow;
    }
    if (aNow - FFirstChange >= kDriftLongest)
        return TDriftStep{true, 0};
    return TDriftStep{false, kDriftQuiet};
}

bool TDriftPolicy::BalloonDue(const std::vector<std::wstring>& aDeviations, bool aWindowVisible) {
    if (aDeviations.empty()) {
        FWarned.clear();
        return false;
    }
    const bool fresh = std::any_of(aDeviations.begin(), aDeviations.end(), [&](const std::wstring& anId) {
        return std::find(FWarned.begin(), FWarned.end(), anId) == FWarned.end();
    });
    if (aWindowVisible || !fresh) {
        FWarned = aDeviations;
        return false;
    }
    return true;
}
