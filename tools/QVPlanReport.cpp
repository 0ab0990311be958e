// Prints what each level writes on the Windows versions that matter: the number of settings, and
// the suite and group orders. A figure for release notes and reviews, not a test:
//   wine build/x86_64/bin/QVPlanReport.exe
#include "QVPlan.h"

#include <cstdio>

namespace {

struct TNamedSystem {
    const char* name;
    TOSVersion os;
};

const TNamedSystem kSystems[] = {
    {"Windows 7 SP1", {6, 1, 7601, true}},
    {"Windows 10 1607", {10, 0, 14393, true}},
    {"Windows 10 22H2", {10, 0, 19045, true, 6456}},
    {"Windows 11 23H2", {10, 0, 22631, true, 4460}},
    {"Windows 11 24H2 before ML-KEM", {10, 0, 26100, true, 8000, false, true}},
    {"Windows 11 24H2 with ML-KEM", {10, 0, 26100, true, 8514, false, true}},
    {"Server 2016", {10, 0, 14393, true, 0, true}},
    {"Server 2025", {10, 0, 26100, true, 8514, true, true}},
};

} // namespace

int wmain() {
    for (const TNamedSystem& system : kSystems)
        for (const TLevel level : {lOptimal, lMax}) {
            const std::vector<TPlannedSetting> plan = SecurityLevelPlan(level, system.os);
            std::printf("%s, %s: %u settings\n", system.name, level == lMax ? "Maximum" : "Optimal",
                        static_cast<unsigned>(plan.size()));
            for (const TPlannedSetting& s : plan)
                if (s.Kind == skSuiteList || s.Kind == skGroupList)
                    std::printf("  %ls: %ls\n", s.Value.c_str(), s.Text.c_str());
        }
    return 0;
}
