#include "CabTestUtil.h"

#include "HandleU.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void Put16(std::string& s, size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& s, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::wstring TempRoot() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH, buffer);
    return std::wstring(buffer, n);
}

} // namespace

TTempDir::TTempDir() {
    static int counter = 0;
    FPath = TempRoot() + L"qvcab-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L"-" +
            std::to_wstring(GetTickCount());
    RemoveTree(FPath);
    if (!CreateDirectoryW(FPath.c_str(), nullptr))
        ADD_FAILURE() << "cannot create a scratch folder";
}

TTempDir::~TTempDir() {
    RemoveTree(FPath);
}

void RemoveTree(const std::wstring& aPath) {
    const DWORD attrs = GetFileAttributesW(aPath.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return;
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((aPath + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..")
                    RemoveTree(aPath + L"\\" + name);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        SetFileAttributesW(aPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(aPath.c_str());
    } else {
        SetFileAttributesW(aPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(aPath.c_str());
    }
}

void WriteFileBytes(const std::wstring& aPath, const std::string& aBytes) {
    TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid()) << "cannot create a test file, error " << GetLastError();
    DWORD done = 0;
    ASSERT_TRUE(aBytes.empty() ||
                WriteFile(file.get(), aBytes.data(), static_cast<DWORD>(aBytes.size()), &done, nullptr));
}

std::string ReadFileBytes(const std::wstring& aPath) {
    TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return "<missing>";
    std::string result;
    char buffer[65536];
    DWORD done = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &done, nullptr) && done > 0)
        result.append(buffer, done);
    return result;
}

bool FileExistsW(const std::wstring& aPath) {
    const DWORD attrs = GetFileAttributesW(aPath.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExistsW(const std::wstring& aPath) {
    const DWORD attrs = GetFileAttributesW(aPath.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

std::string PatternBytes(size_t aSize, unsigned aSeed) {
    std::string s(aSize, '\0');
    std::uint32_t x = aSeed * 2654435761u + 1;
    for (size_t i = 0; i < aSize; ++i) {
        x = x * 1103515245u + 12345u;
        // Half text-like, half noise: compresses somewhat, never trivially.
        s[i] = (i / 64) % 2 ? static_cast<char>('a' + (i % 26)) : static_cast<char>(x >> 24);
    }
    return s;
}

void SetLocalWriteTime(const std::wstring& aPath, WORD aYear, WORD aMonth, WORD aDay, WORD anHour, WORD aMinute,
                       WORD aSecond) {
    SYSTEMTIME st{};
    st.wYear = aYear;
    st.wMonth = aMonth;
    st.wDay = aDay;
    st.wHour = anHour;
    st.wMinute = aMinute;
    st.wSecond = aSecond;
    FILETIME local{}, utc{};
    SystemTimeToFileTime(&st, &local);
    LocalFileTimeToFileTime(&local, &utc);
    TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &utc));
}

SYSTEMTIME LocalWriteTime(const std::wstring& aPath) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    SYSTEMTIME st{};
    FILETIME local{};
    if (GetFileAttributesExW(aPath.c_str(), GetFileExInfoStandard, &data) &&
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local))
        FileTimeToSystemTime(&local, &st);
    return st;
}

std::string BuildStoredCabinet(const std::vector<TRawEntry>& anEntries, const TRawCabinetOptions& anOptions) {
    std::string header(36, '\0');
    std::memcpy(&header[0], "MSCF", 4);
    header[24] = 3;
    header[25] = 1;
    std::uint16_t flags = 0;
    std::string optional;
    if (!anOptions.NextCabinet.empty()) {
        flags |= 2;
        optional += anOptions.NextCabinet + '\0' + anOptions.NextDisk + '\0';
    }
    std::string folder(8, '\0');
    std::string files;
    std::string data;
    std::uint32_t offset = 0;
    for (size_t i = 0; i < anEntries.size(); ++i) {
        const TRawEntry& e = anEntries[i];
        std::string record(16, '\0');
        Put32(record, 0, static_cast<std::uint32_t>(e.Data.size()));
        Put32(record, 4, offset);
        Put16(record, 8, 0);
        Put16(record, 10, e.Date);
        Put16(record, 12, e.Time);
        Put16(record, 14, e.Attribs);
        files += record + e.Name;
        if (!(anOptions.DropLastZero && i + 1 == anEntries.size()))
            files += '\0';
        data += e.Data;
        offset += static_cast<std::uint32_t>(e.Data.size());
    }
    std::string blocks;
    std::uint16_t blockCount = 0;
    for (size_t at = 0; at < data.size() || (at == 0 && blockCount == 0); at += 32768) {
        const size_t n = std::min<size_t>(32768, data.size() - at);
        std::string block(8, '\0');
        Put16(block, 4, static_cast<std::uint16_t>(n));
        Put16(block, 6, static_cast<std::uint16_t>(n));
        blocks += block + data.substr(at, n);
        ++blockCount;
        if (data.empty())
            break;
    }
    const std::uint32_t coffFiles = static_cast<std::uint32_t>(36 + optional.size() + folder.size());
    const std::uint32_t coffData = coffFiles + static_cast<std::uint32_t>(files.size());
    Put32(folder, 0, coffData);
    Put16(folder, 4, blockCount);
    Put16(folder, 6, 0);
    std::string cab = header + optional + folder + files;
    if (!anOptions.TruncateAfterFiles)
        cab += blocks;
    Put32(cab, 8, static_cast<std::uint32_t>(cab.size()));
    Put32(cab, 16, anOptions.FileOffset >= 0 ? static_cast<std::uint32_t>(anOptions.FileOffset) : coffFiles);
    Put16(cab, 26, 1);
    Put16(cab, 28, static_cast<std::uint16_t>(anEntries.size() + anOptions.ExtraFileCount));
    Put16(cab, 30, flags);
    return cab;
}

std::string UnixPath(const std::wstring& aWindowsPath) {
    using TGetUnixName = char*(CDECL*)(LPCWSTR);
    const auto fn = reinterpret_cast<TGetUnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn)
        return std::string();
    char* name = fn(aWindowsPath.c_str());
    if (!name)
        return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

int RunNativeShell(const std::string& aScript, std::string& anOutput) {
    anOutput.clear();
    TTempDir dir;
    const std::wstring script = dir / L"run.sh";
    const std::wstring output = dir / L"out.txt";
    const std::wstring rc = dir / L"rc.txt";
    // Wine does not pass a native program's exit code back; the script writes it to a file.
    WriteFileBytes(script,
                   "(\n" + aScript + "\n) > '" + UnixPath(output) + "' 2>&1\necho $? > '" + UnixPath(rc) + "'\n");
    const std::string unixScript = UnixPath(script);
    std::wstring cmd = L"/bin/sh \"" + std::wstring(unixScript.begin(), unixScript.end()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    TUniqueKernelHandle process(pi.hProcess);
    TUniqueKernelHandle thread(pi.hThread);
    WaitForSingleObject(process.get(), 120000);
    // The exit-code file appears when the script ends; the native process may outlive the handle.
    for (int i = 0; i < 1200 && !FileExistsW(rc); ++i)
        Sleep(100);
    anOutput = ReadFileBytes(output);
    const std::string code = ReadFileBytes(rc);
    return code == "<missing>" ? -1 : std::atoi(code.c_str());
}
