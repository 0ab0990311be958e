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

// Milliseconds from CreateProcess to the idle point; negative on failure. The process is ended after.
double TimeToIdle(const std::wstring& anExe, const wchar_t* anArgs, bool aNeedVisible) {
    std::wstring command = L"\"" + anExe + L"\"" + (anArgs ? std::wstring(L" ") + anArgs : std::wstring());
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    const TUniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    double elapsed = -1;
    for (int i = 0; i < 30000; ++i) {
        TSearch search{pi.dwProcessId, aNeedVisible, false};
        EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.Found) {
            if (WaitForInputIdle(pi.hProcess, 30000) == 0)
                elapsed = MsSince(start);
            break;
        }
        if (WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0)
            break;
    }
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    Sleep(300); // the ended window's mutex and tray entry are gone before the next start
    return elapsed;
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
    std::vector<double> window, tray, minimal, windowRatios, trayRatios;
    // Warm-up: the first start of each loads every DLL from disk.
    TimeToIdle(quenvarExe, nullptr, true);
    TimeToIdle(quenvarExe, L"/tray", false);
    TimeToIdle(minimalExe, nullptr, true);
    for (int i = 0; i < runs; ++i) {
        const double w = TimeToIdle(quenvarExe, nullptr, true), m = TimeToIdle(minimalExe, nullptr, true),
                     t = TimeToIdle(quenvarExe, L"/tray", false);
        if (w < 0 || m < 0 || t < 0) {
            fwprintf(stderr, L"a program did not reach its idle point\n");
            return 1;
        }
        fwprintf(stderr, L"run %d: Quenvar window %.0f ms, Quenvar /tray %.0f ms, minimal window %.0f ms\n", i + 1, w,
                 t, m);
        window.push_back(w);
        tray.push_back(t);
        minimal.push_back(m);
        windowRatios.push_back(w / m);
        trayRatios.push_back(t / m);
    }
    wprintf(L"start to idle, median of %d runs: minimal window %.0f ms\n", runs, Median(minimal));
    wprintf(L"  Quenvar window %.0f ms, ratio %.2f (pairwise median %.2f)\n", Median(window),
            Median(window) / Median(minimal), Median(windowRatios));
    wprintf(L"  Quenvar /tray  %.0f ms, ratio %.2f (pairwise median %.2f)\n", Median(tray),
            Median(tray) / Median(minimal), Median(trayRatios));
    return 0;
}
