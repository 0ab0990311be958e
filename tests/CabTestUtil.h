// Helpers for the cabinet and archive tests: scratch folders, file bytes, cabinets built byte by
// byte, and native peer tools (cabextract, gcab) run from inside Wine.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder below the temporary folder, removed with everything in it afterwards.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    // The folder without a trailing backslash.
    const std::wstring& Path() const { return FPath; }
    std::wstring operator/(const std::wstring& aName) const { return FPath + L"\\" + aName; }

private:
    std::wstring FPath;
};

void RemoveTree(const std::wstring& aPath);
void WriteFileBytes(const std::wstring& aPath, const std::string& aBytes);
std::string ReadFileBytes(const std::wstring& aPath);
bool FileExistsW(const std::wstring& aPath);
bool DirExistsW(const std::wstring& aPath);
// Deterministic content of aSize bytes; aSeed varies it.
std::string PatternBytes(size_t aSize, unsigned aSeed);
// Sets the last-write time to the given local time.
void SetLocalWriteTime(const std::wstring& aPath, WORD aYear, WORD aMonth, WORD aDay, WORD anHour, WORD aMinute,
                       WORD aSecond);
// The last-write time as local time.
SYSTEMTIME LocalWriteTime(const std::wstring& aPath);

// One entry of a cabinet built by BuildStoredCabinet.
struct TRawEntry {
    std::string Name; // bytes as stored
    std::string Data;
    std::uint16_t Attribs = 0x20;
    std::uint16_t Date = 0x5A21; // 2025-01-01
    std::uint16_t Time = 0x6000; // 12:00:00
};

struct TRawCabinetOptions {
    std::string NextCabinet; // announced in the header when not empty
    std::string NextDisk;
    int ExtraFileCount = 0;          // added to cFiles without records behind it
    bool DropLastZero = false;       // the last name loses its terminating zero and the data follows
    std::int64_t FileOffset = -1;    // coffFiles override
    bool TruncateAfterFiles = false; // the cabinet ends after the file table
};

// An uncompressed single-folder cabinet, assembled without cabinet.dll.
std::string BuildStoredCabinet(const std::vector<TRawEntry>& anEntries, const TRawCabinetOptions& anOptions = {});

// The Unix path of a Windows path (Wine's mapping); empty when unavailable.
std::string UnixPath(const std::wstring& aWindowsPath);

// Runs aScript with the native /bin/sh; returns its exit code, its output in anOutput.
int RunNativeShell(const std::string& aScript, std::string& anOutput);
