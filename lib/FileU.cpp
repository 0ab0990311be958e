#include "FileU.h"

#include "FallbackU.h"
#include "PathU.h"
#include "PlatformU.h"
#include "SecurityU.h"
#include "TextU.h"

namespace {

bool IsDelimiter(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring ExcludeTrailingDelimiter(std::wstring aPath) {
    if (!aPath.empty() && IsDelimiter(aPath.back()))
        aPath.pop_back();
    return aPath;
}

std::wstring ShortPath(const std::wstring& aPath) {
    const DWORD n = GetShortPathNameW(aPath.c_str(), nullptr, 0);
    if (n == 0)
        return std::wstring();
    std::wstring out(n, L'\0');
    const DWORD m = GetShortPathNameW(aPath.c_str(), out.data(), n);
    if (m == 0 || m >= n)
        return std::wstring();
    out.resize(m);
    return out;
}

std::wstring ModuleFileName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Lines as a text-file reader splits them: CR LF, LF or CR end a line; a final line needs none.
std::vector<std::string> SplitLines(const std::string& aText) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < aText.size()) {
        const size_t end = aText.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(aText.substr(start));
            break;
        }
        lines.push_back(aText.substr(start, end - start));
        start = end + ((aText[end] == '\r' && end + 1 < aText.size() && aText[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

} // namespace

void Delay(DWORD aMilliseconds) noexcept {
    WaitForSingleObject(GetCurrentProcess(), aMilliseconds);
}

bool IsExistingDirectory(const std::wstring& aPath) noexcept {
    const DWORD a = GetFileAttributesW(aPath.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsExistingFile(const std::wstring& aPath) noexcept {
    const DWORD a = GetFileAttributesW(aPath.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ForceDirectoriesEx(const std::wstring& aPath, bool aEveryone) noexcept {
    return ResultOr<bool>("ForceDirectoriesEx", false, [&]() -> bool {
        SECURITY_ATTRIBUTES* sa = aEveryone ? GetEveryoneFileSecurityAttributes() : nullptr;
        if (aPath.empty())
            return false;
        const std::wstring dir = ExcludeTrailingDelimiter(aPath);
        const std::wstring parent = ExtractFilePath(dir);
        if ((dir.size() == 2 && dir[1] == L':') || IsExistingDirectory(dir) || parent == dir)
            return true;
        if (!parent.empty() && !ForceDirectoriesEx(parent, aEveryone))
            return false;
        // Another thread or process may create the same directory meanwhile; that counts as done.
        return CreateDirectoryW(dir.c_str(), sa) || IsExistingDirectory(dir);
    });
}

TUniqueSecurityDescriptor GetFileSecurityDescriptor(const std::wstring& aFile) noexcept {
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    TUniqueSecurityDescriptor buffer(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!buffer || !InitializeSecurityDescriptor(buffer.get(), SECURITY_DESCRIPTOR_REVISION))
        return TUniqueSecurityDescriptor();
    DWORD needed = 0;
    if (GetFileSecurityW(aFile.c_str(), what, buffer.get(), SECURITY_DESCRIPTOR_MIN_LENGTH, &needed) &&
        IsValidSecurityDescriptor(buffer.get()))
        return buffer;
    if (needed == 0)
        return TUniqueSecurityDescriptor();
    buffer.reset(LocalAlloc(LPTR, needed));
    if (!buffer || !GetFileSecurityW(aFile.c_str(), what, buffer.get(), needed, &needed) ||
        !IsValidSecurityDescriptor(buffer.get()))
        return TUniqueSecurityDescriptor();
    return buffer;
}

bool GrantEveryoneFileAccess(const std::wstring& aFile) noexcept {
    if (!IsWinNT())
        return false;
    // One open for reading and writing the DACL: by name, each of GetFileSecurityW and
    // SetFileSecurityW opens and closes the file again, which dominates extracting many files.
    TUniqueFile file(CreateFileW(aFile.c_str(), READ_CONTROL | WRITE_DAC,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return false;
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 512;
    TUniqueSecurityDescriptor current;
    for (int attempt = 0; attempt < 2; ++attempt) {
        current.reset(LocalAlloc(LPTR, needed));
        if (!current)
            return false;
        const DWORD size = needed;
        if (GetKernelObjectSecurity(file.get(), what, current.get(), size, &needed))
            break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size)
            return false;
        current.reset();
    }
    if (!current || !IsValidSecurityDescriptor(current.get()))
        return false;
    TUniqueSecurityDescriptor granted = GrantAccessInSecurityDescriptor(current.get(), EveryoneName());
    if (!granted)
        return false;
    return SetKernelObjectSecurity(file.get(), DACL_SECURITY_INFORMATION, granted.get()) != FALSE;
}

std::int64_t FileSizeByName(const std::wstring& aPath) noexcept {
    WIN32_FIND_DATAW data{};
    TUniqueFind search(FindFirstFileW(aPath.c_str(), &data));
    if (!search)
        return -1;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool ForceDeleteFile(const std::wstring& aFile) noexcept {
    if (!IsExistingFile(aFile))
        return false;
    if (DeleteFileW(aFile.c_str()))
        return true;
    GrantEveryoneFileAccess(aFile);
    SetFileAttributesW(aFile.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(aFile.c_str()) != FALSE;
}

bool CopyFileTo(const std::wstring& aSource, const std::wstring& aDest, bool aGrant, bool anOverwrite) noexcept {
    if (!IsExistingFile(aSource))
        return false;
    if (IsExistingFile(aDest)) {
        if (!anOverwrite || !ForceDeleteFile(aDest))
            return false;
    }
    const bool ok = CopyFileW(aSource.c_str(), aDest.c_str(), FALSE) != FALSE;
    if (ok && aGrant)
        GrantEveryoneFileAccess(aDest);
    return ok;
}

std::vector<std::string> AddWinInitRename(std::vector<std::string> aLines, const std::string& anEntry) {
    bool hasSection = false;
    for (std::string& line : aLines) {
        for (char& c : line)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        hasSection = hasSection || line == "[RENAME]";
    }
    if (!hasSection)
        aLines.push_back("[RENAME]");
    if (!anEntry.empty())
        aLines.push_back(anEntry);
    return aLines;
}

namespace {

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& aPath) {
    TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7FFFFFFF)
        return std::string();
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD done = 0;
    if (!data.empty() && !ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &done, nullptr))
        return std::string();
    data.resize(done);
    return data;
}

// Replaces a file's content with aData; false when it cannot be written completely.
bool WriteWholeFile(const std::wstring& aPath, const std::string& aData) {
    TUniqueFile file(
        CreateFileW(aPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    return file && WriteFile(file.get(), aData.data(), static_cast<DWORD>(aData.size()), &done, nullptr) &&
           done == aData.size();
}

} // namespace

void WriteWinInitRename(const std::wstring& aWindowsDir, const std::wstring& aSource,
                        const std::wstring& aDest) noexcept {
    IgnoringFailure("WriteWinInitRename", [&] {
        const std::wstring iniPath = aWindowsDir + L"wininit.ini";
        std::vector<std::string> lines;
        if (IsExistingFile(iniPath))
            lines = SplitLines(ReadWholeFile(iniPath));
        std::wstring destText;
        if (IsExistingFile(aDest)) {
            destText = ShortPath(aDest);
        } else {
            const std::wstring dir = ExcludeTrailingDelimiter(ExtractFilePath(aDest));
            if (!IsExistingDirectory(dir))
                ForceDirectoriesEx(dir, false);
            const std::wstring shortDir = ShortPath(dir);
            if (!shortDir.empty())
                destText = shortDir + L"\\" + ExtractFileName(aDest);
        }
        std::string entry;
        if (!destText.empty())
            entry = WideToAnsi(destText) + "=" + WideToAnsi(ShortPath(aSource));
        lines = AddWinInitRename(std::move(lines), entry);
        std::string text;
        for (const std::string& line : lines)
            text += line + "\r\n";
        WriteWholeFile(iniPath, text);
    });
}

bool MoveFileOnRestart(const std::wstring& aSource, const std::wstring& aDest) noexcept {
    if (!IsExistingFile(aSource))
        return false;
    if (IsWinNT())
        MoveFileExW(aSource.c_str(), aDest.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
    else
        WriteWinInitRename(GetWindowsDir(), aSource, aDest);
    return false;
}

bool DeleteFileOnRestart(const std::wstring& aFile) noexcept {
    if (!IsWinNT())
        return false;
    if (GetFileAttributesW(aFile.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    return MoveFileExW(aFile.c_str(), nullptr, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

std::wstring GetWindowsDir() noexcept {
    return ResultOr<std::wstring>("GetWindowsDir", std::wstring(), [&]() -> std::wstring {
        wchar_t buffer[256] = {};
        const UINT n = GetWindowsDirectoryW(buffer, 255);
        if (n == 0 || n > 255)
            return std::wstring();
        std::wstring dir(buffer, n);
        if (dir.back() != L'\\')
            dir += L'\\';
        return dir;
    });
}

std::wstring GetAppFileName() noexcept {
    return ResultOr<std::wstring>("GetAppFileName", std::wstring(), [&]() -> std::wstring {
        static const std::wstring path = ModuleFileName();
        return path;
    });
}

std::wstring GetAppDir() noexcept {
    return ResultOr<std::wstring>("GetAppDir", std::wstring(), [&]() -> std::wstring {
        static const std::wstring dir = [] {
            std::wstring d = ExtractFilePath(GetAppFileName());
            if (!d.empty() && !IsDelimiter(d.back()))
                d += L'\\';
            return d;
        }();
        return dir;
    });
}

TFileWriter::TFileWriter() : TStreamWriter(nullptr) {}

TFileWriter::~TFileWriter() {
    if (Opened())
        Close();
}

HANDLE TFileWriter::CreateHandle(const std::wstring& iFileName, DWORD aShare, SECURITY_ATTRIBUTES* anAttributes,
                                 DWORD aDisposition) {
    return CreateFileW(iFileName.c_str(), GENERIC_WRITE, aShare, anAttributes, aDisposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

bool TFileWriter::Open(const std::wstring& iFileName) {
    return ResultOr<bool>("TFileWriter.Open", false, [&]() -> bool {
        if (Opened())
            Close();
        const std::wstring dir = ExtractFilePath(iFileName);
        if (!IsExistingDirectory(dir))
            ForceDirectoriesEx(dir, true);
        DWORD share = 0;
        if (fShareWrite)
            share |= FILE_SHARE_WRITE;
        if (fShareRead)
            share |= FILE_SHARE_READ;
        SECURITY_ATTRIBUTES* sa = fEveryone ? GetEveryoneFileSecurityAttributes() : nullptr;
        const DWORD disposition = fAppend ? OPEN_ALWAYS : CREATE_ALWAYS;

        const std::int32_t attempts = fTimeout / 100;
        for (std::int32_t i = 0; i < attempts; ++i) {
            fHandle = CreateHandle(iFileName, share, sa, disposition);
            if (fHandle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
                break;
            Delay(100);
        }
        if (fHandle == INVALID_HANDLE_VALUE)
            fHandle = CreateHandle(iFileName, share, sa, disposition);
        if (fHandle == INVALID_HANDLE_VALUE)
            return false;

        FFile = std::make_unique<TFileStream>(fHandle);
        fStream = FFile.get();
        if (fAppend)
            FFile->SetPosition(FFile->GetSize());
        else
            FFile->Seek(0);
        return true;
    });
}

void TFileWriter::Close() {
    if (!Opened())
        return;
    fStream = nullptr;
    FFile.reset();
    fHandle = INVALID_HANDLE_VALUE;
}

void TFileWriter::Flush() {
    if (fHandle != INVALID_HANDLE_VALUE)
        FlushFileBuffers(fHandle);
}

std::int64_t TFileWriter::FileSize() {
    if (!FFile)
        return -1;
    return ResultOr<std::int64_t>("TFileWriter.FileSize", -1, [&]() -> std::int64_t { return FFile->GetSize(); });
}
