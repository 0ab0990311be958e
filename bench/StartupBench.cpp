// Times a program's start to its idle point, for Quenvar.exe in window mode and in tray mode
// ("/tray") and for the minimal window program beside them, in turn, and prints the medians and
// their ratios. The idle point: the process has a top-level window (a visible one where a window
// is expected) and its thread waits for input (WaitForInputIdle), so the first paint is included.
// Today's hit is recorded first, so Quenvar does not wait for the vendor's service.
//   StartupBench RUNS QUENVAR.EXE MINIMAL.EXE
#include "QVSupport.h"

#include "HandleU.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
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

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        fwprintf(stderr, L"usage: StartupBench RUNS QUENVAR.EXE MINIMAL.EXE\n");
        return 2;
    }
    const int runs = std::max(1, _wtoi(argv[1]));
    SYSTEMTIME today;
    GetLocalTime(&today);
    WriteStoreString(L"LastHit", DateTimeToStoreText(today));
    const std::wstring quenvarExe = argv[2], minimalExe = argv[3];
    std::vector<double> window, tray, minimal, windowRatios, trayRatios, shown, minimalShown, shownRatios;
    // Warm-up: the first start of each loads every DLL from disk.
    TimeToIdle(quenvarExe, nullptr, true);
    TimeToIdle(quenvarExe, L"/tray", false);
    TimeToIdle(minimalExe, nullptr, true);
    for (int i = 0; i < runs; ++i) {
        const TTimes w = TimeToIdle(quenvarExe, nullptr, true), m = TimeToIdle(minimalExe, nullptr, true),
                     t = TimeToIdle(quenvarExe, L"/tray", false);
        if (w.Idle < 0 || m.Idle < 0 || t.Idle < 0) {
            fwprintf(stderr, L"a program did not reach its idle point\n");
            return 1;
        }
        fwprintf(stderr,
                 L"run %d: Quenvar window %.0f ms (visible %.0f), Quenvar /tray %.0f ms, minimal window %.0f ms "
                 L"(visible %.0f)\n",
                 i + 1, w.Idle, w.Window, t.Idle, m.Idle, m.Window);
        window.push_back(w.Idle);
        tray.push_back(t.Idle);
        minimal.push_back(m.Idle);
        windowRatios.push_back(w.Idle / m.Idle);
        trayRatios.push_back(t.Idle / m.Idle);
        shown.push_back(w.Window);
        minimalShown.push_back(m.Window);
        shownRatios.push_back(w.Window / m.Window);
    }
    wprintf(L"start to idle, median of %d runs: minimal window %.0f ms\n", runs, Median(minimal));
    wprintf(L"  Quenvar window %.0f ms, ratio %.2f (pairwise median %.2f)\n", Median(window),
            Median(window) / Median(minimal), Median(windowRatios));
    wprintf(L"  Quenvar /tray  %.0f ms, ratio %.2f (pairwise median %.2f)\n", Median(tray),
            Median(tray) / Median(minimal), Median(trayRatios));
    wprintf(L"start to visible window: minimal window %.0f ms, Quenvar window %.0f ms, ratio %.2f (pairwise median "
            L"%.2f)\n",
            Median(minimalShown), Median(shown), Median(shown) / Median(minimalShown), Median(shownRatios));
    return 0;
}
