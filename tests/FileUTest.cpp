#include "FileU.h"
#include "SecurityU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

namespace {

// A scratch folder below the temporary folder, removed with everything in it.
class TTempDir {
public:
    TTempDir() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        static int counter = 0;
        FPath = std::wstring(base) + L"qv-fileu-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L"\\";
        CreateDirectoryW(FPath.c_str(), nullptr);
    }
    ~TTempDir() { Remove(FPath); }
    std::wstring operator/(const std::wstring& aName) const { return FPath + aName; }
    const std::wstring& Path() const { return FPath; }

private:
    static void Remove(const std::wstring& aDir) {
        WIN32_FIND_DATAW data;
        TUniqueFind search(FindFirstFileW((aDir + L"*").c_str(), &data));
        if (search) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring full = aDir + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    Remove(full + L"\\");
                } else {
                    SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(full.c_str());
                }
            } while (FindNextFileW(search.get(), &data));
        }
        search.reset();
        RemoveDirectoryW(aDir.c_str());
    }
    std::wstring FPath;
};

void WriteFile(const std::wstring& aPath, const std::string& aContent) {
    std::ofstream(aPath.c_str(), std::ios::binary | std::ios::trunc) << aContent;
}

std::string ReadFile(const std::wstring& aPath) {
    std::ifstream in(aPath.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether the file's DACL holds an access-allowed entry for the world SID.
bool DaclGrantsWorld(const std::wstring& aPath) {
    TUniqueSecurityDescriptor sd = GetFileSecurityDescriptor(aPath);
    if (!sd)
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID worldSid = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &worldSid);
    TUniqueSid owner(worldSid);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, worldSid))
            return true;
    }
    return false;
}

TEST(FileUTest, ExistenceChecks) {
    TTempDir dir;
    WriteFile(dir / L"f.txt", "x");
    EXPECT_TRUE(IsExistingFile(dir / L"f.txt"));
    EXPECT_FALSE(IsExistingDirectory(dir / L"f.txt"));
    EXPECT_TRUE(IsExistingDirectory(dir.Path()));
    EXPECT_FALSE(IsExistingFile(dir.Path()));
    EXPECT_FALSE(IsExistingFile(dir / L"missing"));
    EXPECT_FALSE(IsExistingDirectory(dir / L"missing"));
}

TEST(FileUTest, ForceDirectoriesCreatesTheMissingChain) {
    TTempDir dir;
    CreateDirectoryW((dir / L"A").c_str(), nullptr);
    EXPECT_TRUE(ForceDirectoriesEx(dir / L"A\\B\\C\\", true));
    EXPECT_TRUE(IsExistingDirectory(dir / L"A\\B"));
    EXPECT_TRUE(IsExistingDirectory(dir / L"A\\B\\C"));
    EXPECT_TRUE(DaclGrantsWorld(dir / L"A\\B"));
    EXPECT_TRUE(DaclGrantsWorld(dir / L"A\\B\\C"));
    EXPECT_TRUE(ForceDirectoriesEx(dir / L"A\\B\\C", true));
    EXPECT_TRUE(ForceDirectoriesEx(dir / L"X\\Y", false));
    EXPECT_TRUE(IsExistingDirectory(dir / L"X\\Y"));
    EXPECT_FALSE(ForceDirectoriesEx(L"", true));
    EXPECT_TRUE(ForceDirectoriesEx(L"C:", true));
    EXPECT_TRUE(ForceDirectoriesEx(L"C:\\", true));
    // A file in the way cannot become a directory.
    WriteFile(dir / L"file", "x");
    EXPECT_FALSE(ForceDirectoriesEx(dir / L"file\\sub", true));
}

TEST(FileUTest, FileSizeByNameReportsSizesAbove4GiB) {
    TTempDir dir;
    const std::wstring path = dir / L"big.bin";
    {
        TUniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(f.valid());
        DWORD ignored = 0;
        DeviceIoControl(f.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = 5LL * 1024 * 1024 * 1024 + 3;
        ASSERT_TRUE(SetFilePointerEx(f.get(), size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(f.get()));
    }
    EXPECT_EQ(FileSizeByName(path), 5LL * 1024 * 1024 * 1024 + 3);
    WriteFile(dir / L"small.txt", "12345");
    EXPECT_EQ(FileSizeByName(dir / L"sm*.txt"), 5);
    EXPECT_EQ(FileSizeByName(dir / L"none*"), -1);
}

TEST(FileUTest, CopyFileToCases) {
    TTempDir dir;
    const std::wstring src = dir / L"src.txt", dst = dir / L"dst.txt";
    WriteFile(src, "new content");

    // Missing source: nothing happens.
    WriteFile(dst, "old");
    EXPECT_FALSE(CopyFileTo(dir / L"missing", dst, false, true));
    EXPECT_EQ(ReadFile(dst), "old");
    // Existing destination without overwrite: both untouched.
    EXPECT_FALSE(CopyFileTo(src, dst, false, false));
    EXPECT_EQ(ReadFile(dst), "old");
    EXPECT_EQ(ReadFile(src), "new content");

    // A read-only destination: the first delete is refused, the retry clears the attribute.
    ASSERT_TRUE(SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_FALSE(DeleteFileW(dst.c_str()));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CopyFileTo(src, dst, true, true));
    EXPECT_EQ(ReadFile(dst), "new content");
    EXPECT_TRUE(DaclGrantsWorld(dst));

    // A fresh destination.
    EXPECT_TRUE(CopyFileTo(src, dir / L"other.txt", false, false));
    EXPECT_EQ(ReadFile(dir / L"other.txt"), "new content");
}

TEST(FileUTest, ForceDeleteFile) {
    TTempDir dir;
    EXPECT_FALSE(ForceDeleteFile(dir / L"missing"));
    EXPECT_FALSE(ForceDeleteFile(dir.Path()));
    WriteFile(dir / L"ro.txt", "x");
    SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(ForceDeleteFile(dir / L"ro.txt"));
    EXPECT_FALSE(IsExistingFile(dir / L"ro.txt"));
}

TEST(FileUTest, GrantEveryoneFileAccessAddsTheWorldGroup) {
    TTempDir dir;
    WriteFile(dir / L"f.txt", "x");
    EXPECT_TRUE(GrantEveryoneFileAccess(dir / L"f.txt"));
    EXPECT_TRUE(DaclGrantsWorld(dir / L"f.txt"));
    EXPECT_FALSE(GrantEveryoneFileAccess(dir / L"missing"));
    EXPECT_FALSE(GetFileSecurityDescriptor(dir / L"missing"));
}

TEST(FileUTest, WinInitLinesTable) {
    using L = std::vector<std::string>;
    const struct {
        L lines;
        std::string entry;
        L expected;
    } cases[] = {
        {{}, "D=S", {"[RENAME]", "D=S"}},
        {{"[rename]", "c:\\a=c:\\b"}, "D=S", {"[RENAME]", "C:\\A=C:\\B", "D=S"}},
        {{"[Other]", "x=1"}, "D=S", {"[OTHER]", "X=1", "[RENAME]", "D=S"}},
        {{"[RENAME]"}, "", {"[RENAME]"}},
        {{" [rename]"}, "", {" [RENAME]", "[RENAME]"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AddWinInitRename(c.lines, c.entry), c.expected);
}

TEST(FileUTest, WinInitRewriteInUpperCaseWithoutASecondHeader) {
    TTempDir dir;
    const std::wstring src = dir / L"Quenvar.new.exe";
    const std::wstring dst = dir / L"Quenvar.exe";
    WriteFile(src, "n");
    WriteFile(dst, "o");
    WriteFile(dir / L"wininit.ini", "[rename]\r\nc:\\windows\\old.exe=c:\\temp\\new.exe\r\n");
    WriteWinInitRename(dir.Path(), src, dst);

    auto shortOf = [](const std::wstring& p) {
        wchar_t buf[MAX_PATH];
        const DWORD n = GetShortPathNameW(p.c_str(), buf, MAX_PATH);
        return std::string(buf, buf + n);
    };
    const std::string expected =
        "[RENAME]\r\nC:\\WINDOWS\\OLD.EXE=C:\\TEMP\\NEW.EXE\r\n" + shortOf(dst) + "=" + shortOf(src) + "\r\n";
    EXPECT_EQ(ReadFile(dir / L"wininit.ini"), expected);

    // A destination that does not exist yet: its folder is created, the long name kept.
    WriteWinInitRename(dir.Path(), src, dir / L"New Folder\\Long Name.exe");
    EXPECT_TRUE(IsExistingDirectory(dir / L"New Folder"));
    const std::string text = ReadFile(dir / L"wininit.ini");
    const std::string last = shortOf(dir / L"New Folder") + "\\Long Name.exe=" + shortOf(src) + "\r\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
    EXPECT_EQ(text.find("[RENAME]", 1), std::string::npos);
}

TEST(FileUTest, PathsOfTheSystemAndTheProgram) {
    const std::wstring windows = GetWindowsDir();
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(windows.back(), L'\\');
    EXPECT_TRUE(IsExistingDirectory(windows));
    EXPECT_EQ(GetAppDir(), TestBinDir());
    EXPECT_EQ(GetAppFileName(), TestBinDir() + L"FileUTest.exe");
}

TEST(FileUTest, DelayPauses) {
    const auto start = std::chrono::steady_clock::now();
    Delay(150);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
}

// Counts the open attempts and remembers each one's error.
class TCountingWriter : public TFileWriter {
public:
    std::vector<DWORD> errors;

protected:
    HANDLE CreateHandle(const std::wstring& iFileName, DWORD aShare, SECURITY_ATTRIBUTES* anAttributes,
                        DWORD aDisposition) override {
        HANDLE h = TFileWriter::CreateHandle(iFileName, aShare, anAttributes, aDisposition);
        const DWORD err = GetLastError();
        errors.push_back(h == INVALID_HANDLE_VALUE ? err : 0);
        SetLastError(err);
        return h;
    }
};

TEST(FileUTest, WriterRetriesOnlyAccessDenied) {
    TTempDir dir;
    // Opening a directory for writing is refused with ERROR_ACCESS_DENIED (Wine, running as root,
    // lets a read-only file be opened).
    const std::wstring denied = dir / L"isadir";
    CreateDirectoryW(denied.c_str(), nullptr);
    {
        TUniqueFile probe(CreateFileW(denied.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_FALSE(probe.valid());
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    TCountingWriter w;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(w.Open(denied));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(w.errors, std::vector<DWORD>(9, ERROR_ACCESS_DENIED));
    EXPECT_GE(took, std::chrono::milliseconds(780));
    EXPECT_FALSE(w.Opened());
    EXPECT_EQ(w.Handle(), INVALID_HANDLE_VALUE);

    TCountingWriter quick;
    quick.fTimeout = 50;
    EXPECT_FALSE(quick.Open(denied));
    EXPECT_EQ(quick.errors.size(), 1u);

    // A file held open without sharing: a sharing violation ends the loop at once.
    const std::wstring held = dir / L"held.bin";
    TUniqueFile holder(CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    TCountingWriter shared;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(shared.Open(held));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(shared.errors, std::vector<DWORD>(2, ERROR_SHARING_VIOLATION));
}

TEST(FileUTest, WriterTruncatesOrAppends) {
    TTempDir dir;
    const std::wstring path = dir / L"out.bin";
    WriteFile(path, "0123456789");
    {
        TFileWriter w;
        ASSERT_TRUE(w.Open(path));
        EXPECT_EQ(w.FileSize(), 0);
        EXPECT_TRUE(w.Write(std::string("ab")));
    }
    EXPECT_EQ(ReadFile(path), "ab");
    {
        TFileWriter w;
        w.fAppend = true;
        ASSERT_TRUE(w.Open(path));
        EXPECT_TRUE(w.WriteInt(-2));
        EXPECT_EQ(w.FileSize(), 6);
        w.Flush();
        w.Close();
        EXPECT_FALSE(w.Opened());
        EXPECT_EQ(w.FileSize(), -1);
        EXPECT_FALSE(w.WriteByte(1));
        w.Close();
        EXPECT_EQ(w.Handle(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(ReadFile(path), std::string("ab\xFE\xFF\xFF\xFF", 6));
    EXPECT_TRUE(DaclGrantsWorld(path));
}

TEST(FileUTest, WriterCreatesTheDirectoryChainAndReopens) {
    TTempDir dir;
    TFileWriter w;
    const std::wstring first = dir / L"a\\b\\c\\one.bin";
    ASSERT_TRUE(w.Open(first));
    EXPECT_TRUE(IsExistingDirectory(dir / L"a\\b\\c"));
    EXPECT_TRUE(DaclGrantsWorld(dir / L"a\\b"));
    w.Write(std::string("1"));
    // Open on an open writer closes the first file.
    ASSERT_TRUE(w.Open(dir / L"two.bin"));
    w.Write(std::string("2"));
    w.Close();
    EXPECT_EQ(ReadFile(first), "1");
    EXPECT_EQ(ReadFile(dir / L"two.bin"), "2");
}

TEST(FileUTest, ReplacementAndDeletionAtTheNextStart) {
    TTempDir dir;
    const std::wstring tag = L"qv-fileu-" + std::to_wstring(GetCurrentProcessId());
    EXPECT_TRUE(DeleteFileOnRestart(dir / L"missing.bin"));
    EXPECT_FALSE(MoveFileOnRestart(dir / L"missing.bin", dir / L"x.bin"));
    EXPECT_FALSE(TPendingRenames::Mentions(tag));

    WriteFile(dir / L"src.bin", "s");
    WriteFile(dir / L"gone.bin", "g");
    EXPECT_FALSE(MoveFileOnRestart(dir / L"src.bin", dir / L"dst.bin"));
    EXPECT_TRUE(DeleteFileOnRestart(dir / L"gone.bin"));
    EXPECT_TRUE(TPendingRenames::Mentions(L"src.bin"));
    EXPECT_TRUE(TPendingRenames::Mentions(L"gone.bin"));
    TPendingRenames::Forget(tag);
    EXPECT_FALSE(TPendingRenames::Mentions(tag));
    // Nothing moved yet.
    EXPECT_TRUE(IsExistingFile(dir / L"src.bin"));
    EXPECT_TRUE(IsExistingFile(dir / L"gone.bin"));
}

} // namespace
