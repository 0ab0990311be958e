// Benchmark helper for cabinet extraction (run by scripts/bench-cab.sh, not a test).
//   CabBench generate <folder> <megabytes>   many small files in subfolders plus one large file,
//                                            mostly incompressible, half of the size each
//   CabBench extract <cabinet> <folder> [noeveryone]
//                                            TArchive::DecompressToDir as the updater calls it
//                                            (with the Everyone grant unless told otherwise);
//                                            prints the entry count, seconds and peak memory
#include "archive/ArchiveCABU.h"
#include "archive/ArchiveU.h"

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

bool WriteWhole(const std::wstring& aPath, const std::vector<std::uint8_t>& aData) {
    HANDLE h = CreateFileW(aPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    const BOOL ok = WriteFile(h, aData.data(), static_cast<DWORD>(aData.size()), &done, nullptr);
    CloseHandle(h);
    return ok && done == aData.size();
}

// Nine of ten 4 KiB blocks are noise, the tenth is text: MSZIP saves little, as with binaries.
void Fill(std::vector<std::uint8_t>& aData, std::uint64_t& aState) {
    for (size_t i = 0; i < aData.size(); ++i) {
        if ((i / 4096) % 10 == 9) {
            aData[i] = static_cast<std::uint8_t>("cabinet benchmark text "[i % 23]);
            continue;
        }
        aState ^= aState << 13;
        aState ^= aState >> 7;
        aState ^= aState << 17;
        aData[i] = static_cast<std::uint8_t>(aState >> 24);
    }
}

int Generate(const std::wstring& aFolder, int aMegabytes) {
    CreateDirectoryW(aFolder.c_str(), nullptr);
    const std::uint64_t total = static_cast<std::uint64_t>(aMegabytes) * 1024 * 1024;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::vector<std::uint8_t> large(static_cast<size_t>(total / 2));
    Fill(large, state);
    if (!WriteWhole(aFolder + L"\\large.bin", large))
        return 1;
    large.clear();
    large.shrink_to_fit();
    const int count = 2000;
    std::vector<std::uint8_t> small(static_cast<size_t>(total / 2 / count));
    for (int i = 0; i < count; ++i) {
        const std::wstring sub = aFolder + L"\\dir" + std::to_wstring(i % 20);
        CreateDirectoryW(sub.c_str(), nullptr);
        Fill(small, state);
        if (!WriteWhole(sub + L"\\file" + std::to_wstring(i) + L".dat", small))
            return 1;
    }
    std::printf("generated %d files, %d MB\n", count + 1, aMegabytes);
    return 0;
}

int Extract(const std::wstring& aCabinet, const std::wstring& aFolder, bool anEveryone) {
    RegisterCABArchive();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    TArchive archive(aCabinet);
    archive.SetArchiveType(1);
    TStrings names;
    archive.LoadArchiveContents(&names);
    const bool ok = archive.DecompressToDir(aFolder + L"\\", L"", anEveryone);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("entries %zu ok %d seconds %.2f peak_working_set_mb %.1f peak_private_mb %.1f\n", names.size(),
                ok ? 1 : 0,
                static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
                static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0,
                static_cast<double>(counters.PeakPagefileUsage) / 1048576.0);
    if (!ok)
        std::fwprintf(stderr, L"%ls\n", archive.ErrResult().c_str());
    return ok ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wstring(argv[1]) == L"generate")
        return Generate(argv[2], _wtoi(argv[3]));
    if ((argc == 4 || argc == 5) && std::wstring(argv[1]) == L"extract")
        return Extract(argv[2], argv[3], argc == 4);
    std::fprintf(stderr, "usage: CabBench generate <folder> <MB> | CabBench extract <cabinet> <folder>\n");
    return 2;
}
