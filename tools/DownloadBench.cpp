// Download benchmark: fetches one URL with THTTPGet into a TFileWriter and prints the byte count,
// the time taken, the throughput and the process's peak memory, as one line of key=value pairs.
//   DownloadBench.exe URL OUTPUT-FILE
#include "FileU.h"
#include "HTTPU.h"

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: DownloadBench URL OUTPUT-FILE\n");
        return 2;
    }
    TFileWriter writer;
    if (!writer.Open(argv[2])) {
        std::fwprintf(stderr, L"cannot create %ls\n", argv[2]);
        return 1;
    }
    THTTPGet get(nullptr);
    get.SetURL(argv[1]);
    get.StreamWriter = &writer;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = get.Execute();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long bytes = writer.FileSize();
    writer.Close();

    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("ok=%d status=%u bytes=%lld seconds=%.3f mbps=%.1f peak_working_set_kb=%llu peak_private_kb=%llu\n",
                ok ? 1 : 0, get.StatusCode(), bytes, seconds, bytes / seconds / 1e6,
                static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024),
                static_cast<unsigned long long>(counters.PeakPagefileUsage / 1024));
    return ok ? 0 : 1;
}
