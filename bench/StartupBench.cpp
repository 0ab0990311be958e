// Times a program's start to its idle point, for Quenvar.exe in window mode and in tray mode
// ("/tray") and for the minimal window program beside them, in turn, and prints the medians and
// their ratios; a baseline Quenvar.exe (another build) is timed in the same rounds. The idle point:
// the process has a top-level window (a visible one where a window is expected) and its thread
// waits for input (WaitForInputIdle), so the first paint is included. Today's hit is recorded
// first, so Quenvar does not wait for the vendor's service.
//   StartupBench RUNS QUENVAR.EXE MINIMAL.EXE [BASELINE-QUENVAR.EXE]
#include "QVDateText.h"
#include "QVSupport.h"

#include "HandleU.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

struct TSearch {
    DWORD Pid;
    bool NeedVisible;
    bool Found;
};

BOOL CALLBACK FindTopLevel(HWND aWnd, LPARAM aParam) {
    auto* search = reinterpret_cast<TSearch*>(aParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(aWnd, &pid);
    if (pid == search->Pid && (!search->NeedVisible || IsWindowVisible(aWnd)) && !GetWindow(aWnd, GW_OWNER)) {
        search->Found = true;
        return FALSE;
    }
    return TRUE;
}

double MsSince(const LARGE_INTEGER& aStart) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart - aStart.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct TTimes {
    double Window = -1; // to the (visible) top-level window
    double Idle = -1;   // to the idle point
};

// Milliseconds from CreateProcess to the window and to the idle point; negative on failure. The
// process is ended after.
TTimes TimeToIdle(const std::wstring& anExe, const wchar_t* anArgs, bool aNeedVisible) {
    std::wstring command = L"\"" + anExe + L"\"" + (anArgs ? std::wstring(L" ") + anArgs : std::wstring());
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    TTimes times;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return times;
    const TUniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    for (int i = 0; i < 30000; ++i) {
        TSearch search{pi.dwProcessId, aNeedVisible, false};
        EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.Found) {
            times.Window = MsSince(start);
            if (WaitForInputIdle(pi.hProcess, 30000) == 0)
                times.Idle = MsSince(start);
            break;
        }
        if (WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0)
            break;
    }
    // Ended as /stop ends it, so the tray icon is taken away: Wine's desktop process stalls the next
    // start for seconds while it clears the icon of a killed process.
    PostThreadMessageW(pi.dwThreadId, WM_QUIT, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 10000);
    }
    Sleep(300); // the ended window's mutex is gone before the next start
    return times;
}

double Median(std::vector<double> aValues) {
    std::sort(aValues.begin(), aValues.end());
    return aValues.empty() ? 0 : aValues[aValues.size() / 2];
}

// One build's figures over the runs, each next to the minimal window's of the same run.
struct TSeries {
    explicit TSeries(std::wstring anExe) : Exe(std::move(anExe)) {}

    std::wstring Exe;
    std::vector<double> Window, Shown, Tray, WindowRatios, ShownRatios, TrayRatios;

    // Times one window start and one tray start; false when either failed.
    bool Run(const TTimes& aMinimal) {
        const TTimes w = TimeToIdle(Exe, nullptr, true), t = TimeToIdle(Exe, L"/tray", false);
        if (w.Idle < 0 || t.Idle < 0)
            return false;
        Window.push_back(w.Idle);
        Shown.push_back(w.Window);
        Tray.push_back(t.Idle);
        WindowRatios.push_back(w.Idle / aMinimal.Idle);
        ShownRatios.push_back(w.Window / aMinimal.Window);
        TrayRatios.push_back(t.Idle / aMinimal.Idle);
        return true;
    }

    void Print(const wchar_t* aLabel, double aMinimalIdle, double aMinimalShown) const {
        wprintf(L"%ls\n  window to idle    %4.0f ms, ratio %.2f (pairwise median %.2f)\n", aLabel, Median(Window),
                Median(Window) / aMinimalIdle, Median(WindowRatios));
        wprintf(L"  window to visible %4.0f ms, ratio %.2f (pairwise median %.2f)\n", Median(Shown),
                Median(Shown) / aMinimalShown, Median(ShownRatios));
        wprintf(L"  /tray to idle     %4.0f ms, ratio %.2f (pairwise median %.2f)\n", Median(Tray),
                Median(Tray) / aMinimalIdle, Median(TrayRatios));
    }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fwprintf(stderr, L"usage: StartupBench RUNS QUENVAR.EXE MINIMAL.EXE [BASELINE-QUENVAR.EXE]\n");
        return 2;
    }
    const int runs = std::max(1, _wtoi(argv[1]));
    SYSTEMTIME today;
    GetLocalTime(&today);
    WriteStoreString(L"LastHit", DateTimeToStoreText(today));
    const std::wstring minimalExe = argv[3];
    TSeries current(argv[2]), baseline(argc > 4 ? argv[4] : L"");
    std::vector<double> minimalIdle, minimalShown;
    // Warm-up: the first start of each loads every DLL from disk.
    TimeToIdle(minimalExe, nullptr, true);
    for (TSeries* series : {&current, &baseline})
        if (!series->Exe.empty()) {
            TimeToIdle(series->Exe, nullptr, true);
            TimeToIdle(series->Exe, L"/tray", false);
        }
    for (int i = 0; i < runs; ++i) {
        const TTimes m = TimeToIdle(minimalExe, nullptr, true);
        if (m.Idle < 0 || !current.Run(m) || (!baseline.Exe.empty() && !baseline.Run(m))) {
            fwprintf(stderr, L"a program did not reach its idle point\n");
            return 1;
        }
        minimalIdle.push_back(m.Idle);
        minimalShown.push_back(m.Window);
        fwprintf(stderr,
                 L"run %d: minimal window %.0f ms (visible %.0f); Quenvar window %.0f ms (visible %.0f), /tray %.0f ms",
                 i + 1, m.Idle, m.Window, current.Window.back(), current.Shown.back(), current.Tray.back());
        if (!baseline.Exe.empty())
            fwprintf(stderr, L"; baseline window %.0f ms (visible %.0f), /tray %.0f ms", baseline.Window.back(),
                     baseline.Shown.back(), baseline.Tray.back());
        fwprintf(stderr, L"\n");
    }
    wprintf(L"median of %d runs; minimal window: to idle %.0f ms, to visible %.0f ms\n", runs, Median(minimalIdle),
            Median(minimalShown));
    current.Print(L"Quenvar", Median(minimalIdle), Median(minimalShown));
    if (!baseline.Exe.empty())
        baseline.Print(L"baseline Quenvar", Median(minimalIdle), Median(minimalShown));
    return 0;
}
