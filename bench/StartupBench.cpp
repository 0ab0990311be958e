// Times a program's start to its first visible top-level window, for Quenvar.exe (window mode)
// and the minimal window program beside it, in turn, and prints the medians and their ratio.
// Today's hit is recorded first, so Quenvar's window does not wait for the vendor's service.
//   StartupBench RUNS QUENVAR.EXE MINIMAL.EXE
#include "QVDateText.h"
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
    bool Found;
};

BOOL CALLBACK FindVisible(HWND aWnd, LPARAM aParam) {
    auto* search = reinterpret_cast<TSearch*>(aParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(aWnd, &pid);
    if (pid == search->Pid && IsWindowVisible(aWnd) && !GetWindow(aWnd, GW_OWNER)) {
        search->Found = true;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds from CreateProcess to a visible window of the process; negative on failure.
double TimeToWindow(const std::wstring& anExe) {
    std::wstring command = L"\"" + anExe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    const TUniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    double elapsed = -1;
    for (int i = 0; i < 30000; ++i) {
        TSearch search{pi.dwProcessId, false};
        EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&search));
        if (search.Found) {
            QueryPerformanceCounter(&now);
            elapsed = 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
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
    std::vector<double> quenvar, minimal, ratios;
    TimeToWindow(argv[2]); // warm-up: the first start of each loads every DLL from disk
    TimeToWindow(argv[3]);
    for (int i = 0; i < runs; ++i) {
        const double q = TimeToWindow(argv[2]), m = TimeToWindow(argv[3]);
        if (q < 0 || m < 0) {
            fwprintf(stderr, L"a program showed no window\n");
            return 1;
        }
        fwprintf(stderr, L"run %d: Quenvar %.0f ms, minimal window %.0f ms\n", i + 1, q, m);
        quenvar.push_back(q);
        minimal.push_back(m);
        ratios.push_back(q / m);
    }
    wprintf(L"start to visible window, median of %d runs: Quenvar %.0f ms, minimal window %.0f ms, ratio %.2f "
            L"(pairwise median %.2f)\n",
            runs, Median(quenvar), Median(minimal), Median(quenvar) / Median(minimal), Median(ratios));
    return 0;
}
