// Times applying a security level: in this process with ApplySecurityLevel, and as a whole
// "Quenvar.exe SETLEVEL n" process next to "Quenvar.exe SETLEVEL" without a level, which starts
// and ends the same executable without writing anything (it prints its one refusal line to this
// console each time, and ends with exit code 2). Writes to the machine registry of the
// prefix it runs in: run it through scripts/bench-levels.sh, which uses a prefix of its own.
//   LevelBench [in-process runs per level] [process runs per variant]
#include "QVSettings.h"

#include "HandleU.h"
#include "RegistryU.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kCryptoKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\";
const wchar_t kIETargetPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Wine ships no Internet Explorer option descriptors; without them each IE loop would stop at its
// first name and the figures would leave out that part of the work.
bool InstallIEDescriptors() {
    const struct {
        const wchar_t* name;
        int bit;
    } options[] = {{L"SSL2.0", 0x8}, {L"SSL3.0", 0x20}, {L"TLS1.0", 0x80}, {L"TLS1.1", 0x200}, {L"TLS1.2", 0x800}};
    bool ok = true;
    for (const auto& option : options) {
        const std::wstring key = kCryptoKey + std::wstring(option.name);
        ok = ok && WriteRegString(HKEY_LOCAL_MACHINE, key, L"RegPath", kIETargetPath) &&
             WriteRegString(HKEY_LOCAL_MACHINE, key, L"ValueName", L"SecureProtocols") &&
             WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"CheckedValue", option.bit) &&
             WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"UncheckedValue", 0) &&
             WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"DefaultValue", option.bit & 0xA0) &&
             WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"Mask", option.bit) &&
             WriteRegDWord(HKEY_LOCAL_MACHINE, key, L"HKeyRoot", static_cast<int>(0x80000001u));
    }
    return ok && WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, L"SecureProtocols", 0xA8);
}

// A successful SETLEVEL opens its protection page: in this prefix the tests' stand-in browser
// takes it, so no real browser starts during the measurement.
bool InstallStandInBrowser(const std::wstring& aBinDir) {
    const std::wstring command = L"\"" + aBinDir + L"UrlRecorder.exe\" \"" + aBinDir + L"LevelBench-pages.log\" \"%1\"";
    return WriteRegString(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", L"", command);
}

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

struct TStats {
    double median = 0;
    double mean = 0;
    double min = 0;
};

// Milliseconds.
TStats Summarise(std::vector<double> aSeconds) {
    TStats s;
    if (aSeconds.empty())
        return s;
    std::sort(aSeconds.begin(), aSeconds.end());
    const size_t n = aSeconds.size();
    s.median = 1000 * (n % 2 ? aSeconds[n / 2] : (aSeconds[n / 2 - 1] + aSeconds[n / 2]) / 2);
    double sum = 0;
    for (double v : aSeconds)
        sum += v;
    s.mean = 1000 * sum / n;
    s.min = 1000 * aSeconds.front();
    return s;
}

// Seconds from CreateProcessW to the process's end; negative when it could not run.
double TimeProcess(const std::wstring& aCommandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = aCommandLine;
    const double start = Now();
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    TUniqueKernelHandle process(pi.hProcess);
    TUniqueKernelHandle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return -1;
    }
    return Now() - start;
}

std::wstring BinDir() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

int ArgOr(int argc, wchar_t** argv, int anIndex, int aDefault) {
    if (argc <= anIndex)
        return aDefault;
    const int v = _wtoi(argv[anIndex]);
    return v > 0 ? v : aDefault;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int inProcessRuns = ArgOr(argc, argv, 1, 200);
    const int processRuns = ArgOr(argc, argv, 2, 20);
    if (!InstallIEDescriptors() || !InstallStandInBrowser(BinDir())) {
        std::printf("cannot prepare the prefix\n");
        return 1;
    }

    // The steady state: the level is applied and recorded already, so each run reads every value
    // of its plan, finds it in place and writes nothing.
    std::printf("ApplySecurityLevel in-process, level already applied, %d runs per level (ms):\n", inProcessRuns);
    double inProcessMedian = 0;
    const TLevel levels[] = {lOff, lOptimal, lMax};
    for (TLevel level : levels) {
        ApplySecurityLevel(level);
        std::vector<double> times;
        for (int i = 0; i < inProcessRuns; ++i) {
            const double start = Now();
            ApplySecurityLevel(level);
            times.push_back(Now() - start);
        }
        const TStats s = Summarise(times);
        inProcessMedian = std::max(inProcessMedian, s.median);
        std::printf("  level %d: median %.3f  mean %.3f  min %.3f\n", int(level), s.median, s.mean, s.min);
    }
    // The first application after Off: every value is recorded in the backup, then written; and
    // Off itself, which replays the backup and removes it.
    std::vector<double> first, off;
    for (int i = 0; i < inProcessRuns / 4 + 1; ++i) {
        double start = Now();
        ApplySecurityLevel(lMax);
        first.push_back(Now() - start);
        start = Now();
        ApplySecurityLevel(lOff);
        off.push_back(Now() - start);
    }
    const TStats f = Summarise(first), o = Summarise(off);
    std::printf("  level 2, first application (records the backup): median %.3f  mean %.3f  min %.3f\n", f.median,
                f.mean, f.min);
    std::printf("  level 0 after 2 (replays the backup): median %.3f  mean %.3f  min %.3f\n", o.median, o.mean, o.min);

    // The variants alternate run by run, so drift in the machine's load hits them alike.
    const std::wstring exe = L"\"" + BinDir() + L"Quenvar.exe\"";
    const wchar_t* variants[] = {L" SETLEVEL", L" SETLEVEL 2", L" SETLEVEL 1", L" SETLEVEL 0"};
    std::vector<double> times[4];
    for (int i = 0; i < processRuns; ++i)
        for (int v = 0; v < 4; ++v) {
            // An untimed run first brings the level in place: the timed one finds it applied.
            if (v > 0 && TimeProcess(exe + variants[v]) < 0)
                return 1;
            const double t = TimeProcess(exe + variants[v]);
            if (t < 0) {
                std::printf("cannot run %ls%ls\n", exe.c_str(), variants[v]);
                return 1;
            }
            times[v].push_back(t);
        }
    std::printf("Whole process, %d runs per variant, the level already applied (ms):\n", processRuns);
    const TStats base = Summarise(times[0]);
    std::printf("  Quenvar.exe SETLEVEL   (no level, start alone): median %.1f  mean %.1f  min %.1f\n", base.median,
                base.mean, base.min);
    for (int v = 1; v < 4; ++v) {
        const TStats s = Summarise(times[v]);
        std::printf("  Quenvar.exe%ls: median %.1f  mean %.1f  min %.1f  ratio to start alone %.3f\n", variants[v],
                    s.median, s.mean, s.min, s.median / base.median);
    }
    std::printf("Slowest level in-process / process start alone (medians): %.4f\n", inProcessMedian / base.median);
    return 0;
}
