// The cabinet library against Wine's real cabinet.dll: stream manager, file operations, error
// texts, writer and reader round trips, cabinet sets, and hostile cabinets built byte by byte.
#include "CabTestUtil.h"

#include "TextU.h"
#include "cabinet/CabIntf.h"
#include "cabinet/CabXnConsts.h"
#include "cabinet/CabXnComps2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

struct TListed {
    std::wstring Name;
    ULONG Size;
    USHORT Folder, Date, Time, Attribs;
};

std::vector<TListed> ListCabinet(TXnCabReader& aReader, const std::wstring& aCab) {
    std::vector<TListed> result;
    EXPECT_TRUE(aReader.EnumFilesEntries(aCab, [&](TXnCabReader&, const std::wstring& n, ULONG size, USHORT folder,
                                                   USHORT date, USHORT time, USHORT attrs, bool&) {
        result.push_back({n, size, folder, date, time, attrs});
    }));
    return result;
}

std::vector<std::wstring> Names(const std::vector<TListed>& aList) {
    std::vector<std::wstring> names;
    for (const auto& e : aList)
        names.push_back(e.Name);
    return names;
}

} // namespace

TEST(ConcatPaths, JoinsWithExactlyOneBackslash) {
    const struct {
        const wchar_t *a, *b, *joined;
    } cases[] = {{L"a\\", L"\\b", L"a\\b"}, {L"a", L"b", L"a\\b"},         {L"", L"b", L"b"}, {L"a", L"", L"a"},
                 {L"a\\", L"b", L"a\\b"},   {L"a", L"\\b\\c", L"a\\b\\c"}, {L"", L"", L""}};
    for (const auto& c : cases)
        EXPECT_EQ(ConcatPaths(c.a, c.b), c.joined) << c.a << " + " << c.b;
}

TEST(EXnCabinet, MessageLayout) {
    TERF erf{};
    EXPECT_STREQ(EXnCabinet(erf, false).what(), "FDI error");
    EXPECT_STREQ(EXnCabinet(erf, true).what(), "FCI error");
    erf.fError = TRUE;
    erf.erfOper = FDIERROR_TARGET_FILE;
    erf.erfType = 0;
    EXPECT_STREQ(EXnCabinet(erf, false).what(), "Failure writing to target file [0x0008]");
    erf.erfType = ERROR_ACCESS_DENIED;
    const EXnCabinet withOs(erf, false);
    EXPECT_EQ(std::string(withOs.what()),
              "Failure writing to target file [0x0008].\r\n" + SysErrorMessage(5) + " [0x0005].");
    EXPECT_EQ(withOs.CabError(), 8);
    EXPECT_EQ(withOs.WinError(), 5u);
    EXPECT_TRUE(withOs.ErrorPresent());
    EXPECT_FALSE(withOs.IsCompressing());
    erf.erfOper = 6;
    erf.erfType = 0;
    EXPECT_STREQ(EXnCabinet(erf, true).what(), "Could not create cabinet file [0x0006]");
    erf.erfOper = 0x123;
    EXPECT_STREQ(EXnCabinet(erf, false).what(), "FDI error [0x0123]");
    EXPECT_STREQ(EXnCabinet(erf, true).what(), "FCI error [0x0123]");
}

TEST(EXnCabinet, ErrorTextTables) {
    EXPECT_STREQ(FDIErrorText(0), "No error");
    EXPECT_STREQ(FDIErrorText(2), "Cabinet file does not have the correct format");
    EXPECT_STREQ(FDIErrorText(10), "Cabinet returned on fdintNEXT_CABINET is incorrect");
    EXPECT_STREQ(FDIErrorText(11), "FDI aborted");
    EXPECT_STREQ(FDIErrorText(12), "FDI error");
    EXPECT_STREQ(FDIErrorText(-1), "FDI error");
    EXPECT_STREQ(FCIErrorText(7), "Client requested abort");
    EXPECT_STREQ(FCIErrorText(8), "Failure compressing data");
    EXPECT_STREQ(FCIErrorText(9), "FCI error");
}

TEST(FormatCabError, ModuleFunctionAndMessage) {
    EXPECT_EQ(FormatCabError("Unexpected operation during decompression to memory", "StdFileDelete"),
              "Internal error in module \"CabXnComps2\": \r\nFunction \"StdFileDelete\" - Unexpected operation "
              "during decompression to memory");
    EXPECT_EQ(FormatCabError("", ""), "Internal error in module \"CabXnComps2\"");
    EXPECT_EQ(FormatCabError("m", ""), "Internal error in module \"CabXnComps2\": \r\nm");
}

TEST(CabIntf, BindsOnFirstCreateAndLzxCode) {
    EXPECT_EQ(CompressionLzxCode(21), 0x1503);
    EXPECT_EQ(CompressionLzxCode(15), 0x0F03);
    TXnCabReader reader;
    EXPECT_NE(reader.Handle(), nullptr);
    EXPECT_TRUE(CabinetLibraryLoaded());
}

TEST(StreamMan, PseudoNamesAreNumberedAndNeverReused) {
    TMemoryStream a, b;
    const std::wstring first = StreamMan().AddStream(&a);
    const std::wstring second = StreamMan().AddStream(&b);
    ASSERT_EQ(first.rfind(L"Stream_", 0), 0u);
    const int n = std::stoi(first.substr(7));
    EXPECT_EQ(second, L"Stream_" + std::to_wstring(n + 1));
    EXPECT_TRUE(StreamMan().CheckFlName(L"stream_" + std::to_wstring(n))) << "lookups ignore case";
    StreamMan().ReleaseStream(first);
    EXPECT_FALSE(StreamMan().CheckFlName(first));
    EXPECT_EQ(StreamMan().StreamByFlName(first), nullptr);
    const std::wstring third = StreamMan().AddStream(&a);
    EXPECT_EQ(third, L"Stream_" + std::to_wstring(n + 2));
    StreamMan().ReleaseStream(second);
    StreamMan().ReleaseStream(third);
}

TEST(StreamMan, HandlesKeepIndependentPositions) {
    TMemoryStream s;
    s.Write("0123456789", 10);
    const std::wstring name = StreamMan().AddStream(&s);
    int err = 0;
    const INT_PTR h1 = StdFileOpen(WideToAnsi(name).c_str(), 0x8000, 0, err);
    const INT_PTR h2 = StdFileOpenW(name, 0x8000, err);
    ASSERT_NE(h1, -1);
    ASSERT_NE(h2, -1);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(StreamMan().StreamByHandle(h1), &s);
    char buf[16] = {};
    EXPECT_EQ(StdFileRead(h1, buf, 4, err), 4u);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(StdFileRead(h2, buf, 2, err), 2u);
    EXPECT_EQ(std::string(buf, 2), "01");
    EXPECT_EQ(StdFileSeek(h1, -3, 2, err), 7);
    EXPECT_EQ(StdFileRead(h1, buf, 16, err), 3u) << "only the bytes left";
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(StdFileRead(h1, buf, 16, err), 0u) << "0 at the end, no error";
    EXPECT_EQ(StdFileRead(h2, buf, 1, err), 1u);
    EXPECT_EQ(buf[0], '2');
    EXPECT_EQ(StdFileWrite(h2, "XY", 2, err), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Data().data()), 10), "012XY56789");
    EXPECT_EQ(StdFileClose(h1, err), 0);
    EXPECT_FALSE(StreamMan().CheckHandle(h1));
    StreamMan().ReleaseStream(name);
    EXPECT_TRUE(StreamMan().CheckHandle(h2)) << "a released name keeps its open handles";
    EXPECT_EQ(StdFileClose(h2, err), 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(StreamMan().ReadBuffer(h2, buf, 4), 0);
    EXPECT_EQ(StreamMan().Seek(h2, 5, 0), 5);
}

TEST(StdFileOps, OpenFlagMapping) {
    TTempDir dir;
    const std::wstring f = dir / L"f.bin";
    const std::string fA = WideToAnsi(f);
    int err = 0;
    EXPECT_EQ(StdFileOpen(fA.c_str(), 0x8000, 0, err), -1) << "read of a missing file";
    EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
    err = 0;
    EXPECT_EQ(StdFileOpen(fA.c_str(), 0x8000 | 0x0200 | 0x0001, 0, err), -1) << "truncate without create";
    EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
    err = 0;
    INT_PTR h = StdFileOpen(fA.c_str(), 0x8000 | 0x0100 | 0x0001, 0x180, err); // create only
    ASSERT_NE(h, -1);
    EXPECT_EQ(StdFileWrite(h, "hello world", 11, err), 11u);
    EXPECT_EQ(StdFileClose(h, err), 0);
    EXPECT_EQ(StdFileOpen(fA.c_str(), 0x8000 | 0x0100 | 0x0400 | 0x0001, 0, err), -1) << "create exclusive";
    EXPECT_EQ(err, ERROR_FILE_EXISTS);
    err = 0;
    h = StdFileOpen(fA.c_str(), 0x8000 | 0x0008 | 0x0001, 0, err); // append
    ASSERT_NE(h, -1);
    EXPECT_EQ(StdFileWrite(h, "!", 1, err), 1u);
    StdFileClose(h, err);
    EXPECT_EQ(ReadFileBytes(f), "hello world!");
    h = StdFileOpen(fA.c_str(), 0x8000, 0, err); // read-only
    ASSERT_NE(h, -1);
    EXPECT_EQ(StdFileWrite(h, "x", 1, err), static_cast<UINT>(-1));
    EXPECT_NE(err, 0);
    err = 0;
    EXPECT_EQ(StdFileSeek(h, 6, 0, err), 6);
    char buf[8] = {};
    EXPECT_EQ(StdFileRead(h, buf, 5, err), 5u);
    EXPECT_EQ(std::string(buf, 5), "world");
    StdFileClose(h, err);
    h = StdFileOpen(fA.c_str(), 0x8000 | 0x0100 | 0x0200 | 0x0002, 0, err); // create + truncate
    ASSERT_NE(h, -1);
    StdFileClose(h, err);
    EXPECT_EQ(ReadFileBytes(f), "");
}

TEST(StdFileOps, SetInfoAppliesLocalTimeAndAttributes) {
    TTempDir dir;
    const std::wstring f = dir / L"f.txt";
    WriteFileBytes(f, "x");
    int err = 0;
    // 2024-03-15 13:45:30 as DOS date and time.
    const USHORT date = static_cast<USHORT>(((2024 - 1980) << 9) | (3 << 5) | 15);
    const USHORT time = static_cast<USHORT>((13 << 11) | (45 << 5) | 15);
    ASSERT_TRUE(StdFileSetInfoW(f, date, time, err, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | 0x80));
    const SYSTEMTIME st = LocalWriteTime(f);
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 15);
    EXPECT_EQ(st.wHour, 13);
    EXPECT_EQ(st.wMinute, 45);
    EXPECT_EQ(st.wSecond, 30);
    EXPECT_EQ(GetFileAttributesW(f.c_str()) & 0xA7,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(StdFileSetInfoW(dir / L"missing.txt", date, time, err, 0));
    EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
    TMemoryStream s;
    const std::wstring name = StreamMan().AddStream(&s);
    EXPECT_TRUE(StdFileSetInfo(WideToAnsi(name).c_str(), date, time, err, 0)) << "a pseudo name does nothing";
    StreamMan().ReleaseStream(name);
}

TEST(TXnCabWriter, DefaultsAndCompressionCodes) {
    TXnCabWriter w;
    EXPECT_EQ(w.CompressionType(), cctLzx);
    EXPECT_EQ(w.CompressionLzxLevel(), 21);
    EXPECT_EQ(w.CabComp(), 0x1503);
    w.SetCompressionType(cctMsZip);
    EXPECT_EQ(w.CabComp(), 1);
    w.SetCompressionType(cctNone);
    EXPECT_EQ(w.CabComp(), 0);
    w.SetCompressionType(cctLzx);
    w.SetCompressionLzxLevel(16);
    EXPECT_EQ(w.CabComp(), 0x1003);
    EXPECT_EQ(XnCabCompressionCode(static_cast<TXnCabCompressionType>(7), 21), 15);
    EXPECT_EQ(w.Handle(), nullptr);
    EXPECT_THROW(w.AddFile(L"x", L"x"), std::runtime_error) << "no cabinet is open";
}

// A set of source files with distinct content, dates and attributes.
class CabRoundTrip : public ::testing::TestWithParam<TXnCabCompressionType> {
protected:
    struct TSource {
        std::wstring Entry;
        size_t Size;
        DWORD Attrs;
    };
    TTempDir FDir;
    // Wine reports every plain file with the archive bit; it is part of every expectation here.
    std::vector<TSource> FSources = {{L"a.txt", 1000, FILE_ATTRIBUTE_ARCHIVE},
                                     {L"sub\\b.bin", 200000, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
                                     {L"sub\\deeper\\c.dat", 70001, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
                                     {L"d.sys", 5, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
                                     {L"empty.txt", 0, FILE_ATTRIBUTE_ARCHIVE}};

    std::wstring Source(size_t i) const { return FDir / (L"src_" + std::to_wstring(i)); }

    void MakeSources() {
        for (size_t i = 0; i < FSources.size(); ++i) {
            WriteFileBytes(Source(i), PatternBytes(FSources[i].Size, static_cast<unsigned>(i)));
            SetLocalWriteTime(Source(i), 2023, static_cast<WORD>(1 + i), static_cast<WORD>(10 + i),
                              static_cast<WORD>(8 + i), static_cast<WORD>(5 * i), static_cast<WORD>(2 * i));
            SetFileAttributesW(Source(i).c_str(), FSources[i].Attrs);
        }
    }

    void CheckExtracted(const std::wstring& aDst) {
        for (size_t i = 0; i < FSources.size(); ++i) {
            const std::wstring out = aDst + L"\\" + FSources[i].Entry;
            SCOPED_TRACE(FSources[i].Entry);
            ASSERT_TRUE(FileExistsW(out));
            EXPECT_EQ(ReadFileBytes(out), PatternBytes(FSources[i].Size, static_cast<unsigned>(i)));
            const SYSTEMTIME st = LocalWriteTime(out);
            EXPECT_EQ(st.wYear, 2023);
            EXPECT_EQ(st.wMonth, 1 + i);
            EXPECT_EQ(st.wDay, 10 + i);
            EXPECT_EQ(st.wHour, 8 + i);
            EXPECT_EQ(st.wMinute, 5 * i);
            EXPECT_EQ(st.wSecond, 2 * i);
            EXPECT_EQ(GetFileAttributesW(out.c_str()) & 0x27, FSources[i].Attrs);
        }
    }
};

TEST_P(CabRoundTrip, WriteListExtract) {
    // Wine's FCI stores an LZX request uncompressed, one folder per file, and fails to flush a
    // folder that holds only an empty file ("Could not create cabinet file", invalid handle).
    if (GetParam() == cctLzx)
        FSources.pop_back();
    MakeSources();
    const std::wstring cab = FDir / L"out\\data.cab";
    {
        TXnCabWriter w;
        w.SetCompressionType(GetParam());
        w.Open(cab);
        for (size_t i = 0; i < FSources.size(); ++i)
            w.AddFile(Source(i), i == 1 ? L"\\" + FSources[i].Entry : FSources[i].Entry);
        w.Close(true);
        EXPECT_EQ(w.Handle(), nullptr);
    }
    ASSERT_TRUE(FileExistsW(cab));
    TXnCabReader reader;
    TFDICABINETINFO info{};
    ASSERT_TRUE(reader.IsCabinet(cab, info));
    EXPECT_EQ(info.cFiles, FSources.size());
    const auto listed = ListCabinet(reader, cab);
    ASSERT_EQ(listed.size(), FSources.size());
    for (size_t i = 0; i < FSources.size(); ++i) {
        EXPECT_EQ(listed[i].Name, FSources[i].Entry) << "leading backslash stripped, order kept";
        EXPECT_EQ(listed[i].Size, FSources[i].Size);
        EXPECT_EQ(listed[i].Attribs & 0x27, FSources[i].Attrs);
    }
    const std::wstring dst = FDir / L"x";
    reader.ExtractFiles(cab, dst);
    CheckExtracted(dst);
}

INSTANTIATE_TEST_SUITE_P(Compression, CabRoundTrip, ::testing::Values(cctNone, cctMsZip, cctLzx));

// Writes five files with CabinetFileCountThreshold 2: cabinets of 2, 2 and 1 entries.
class CabSet : public ::testing::Test {
protected:
    TTempDir FDir;
    std::wstring FCab;
    std::vector<std::wstring> FMembers;

    void SetUp() override {
        FCab = FDir / L"set\\data.cab";
        TXnCabWriter w;
        w.SetCompressionType(cctMsZip);
        w.CabinetFileCountThreshold = 2;
        std::vector<std::wstring> placed;
        w.OnFilePlaced = [&](TXnCabWriter&, const TCCAB& ccab, const std::wstring& name, LONG, bool, bool&) {
            placed.push_back(AnsiToWide(ccab.szCab) + L":" + name);
        };
        w.Open(FCab);
        for (int i = 0; i < 5; ++i) {
            const std::wstring src = FDir / (L"f" + std::to_wstring(i) + L".txt");
            WriteFileBytes(src, PatternBytes(3000 + i, static_cast<unsigned>(i)));
            w.AddFile(src, L"f" + std::to_wstring(i) + L".txt");
        }
        w.Close(true);
        EXPECT_EQ(placed, (std::vector<std::wstring>{L"data.cab:f0.txt", L"data.cab:f1.txt", L"data1.cab:f2.txt",
                                                     L"data1.cab:f3.txt", L"data2.cab:f4.txt"}));
        FMembers = {FCab, FDir / L"set\\data1.cab", FDir / L"set\\data2.cab"};
    }
};

TEST_F(CabSet, MembersNamedByTemplateWithTwoTwoOne) {
    TXnCabReader reader;
    const size_t expected[] = {2, 2, 1};
    for (size_t i = 0; i < FMembers.size(); ++i) {
        ASSERT_TRUE(FileExistsW(FMembers[i])) << i;
        EXPECT_EQ(ListCabinet(reader, FMembers[i]).size(), expected[i]) << i;
    }
}

TEST_F(CabSet, ExtractsWholeSetFromFirstMember) {
    TXnCabReader reader;
    std::vector<std::wstring> infos;
    reader.OnCabinetInfo = [&](TXnCabReader&, const std::wstring& next, const std::wstring&, const std::wstring&,
                               USHORT, USHORT, bool&) { infos.push_back(next); };
    const std::wstring dst = FDir / L"out";
    reader.ExtractFiles(FCab, dst);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ReadFileBytes(dst + L"\\f" + std::to_wstring(i) + L".txt"),
                  PatternBytes(3000 + i, static_cast<unsigned>(i)));
    EXPECT_EQ(infos, (std::vector<std::wstring>{L"data1.cab", L"data2.cab", L""}));
}

TEST_F(CabSet, OnlyOneVolumeOption) {
    TXnCabReader reader;
    const std::wstring dst = FDir / L"out";
    reader.ExtractFiles(FCab, dst, cefsoProcessOnlyOneVolume);
    EXPECT_TRUE(FileExistsW(dst + L"\\f1.txt"));
    EXPECT_FALSE(FileExistsW(dst + L"\\f2.txt"));
}

TEST_F(CabSet, MissingLastMemberEndsQuietly) {
    ASSERT_TRUE(DeleteFileW(FMembers[2].c_str()));
    TXnCabReader reader;
    const std::wstring dst = FDir / L"out";
    EXPECT_NO_THROW(reader.ExtractFiles(FCab, dst));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(FileExistsW(dst + L"\\f" + std::to_wstring(i) + L".txt")) << i;
    EXPECT_FALSE(FileExistsW(dst + L"\\f4.txt"));
}

TEST(TXnCabWriterTemplates, NameFolderAndLabelTemplates) {
    TTempDir dir;
    TXnCabWriter w;
    w.SetCompressionType(cctNone);
    w.CabinetFileCountThreshold = 1;
    w.CabinetNameTemplate = L"part_*.cab";
    w.CabinetPathTemplate = dir / L"disk*";
    w.DiskLabelTemplate = L"Label *";
    std::vector<std::string> disks;
    w.OnGetNextCabinet = [&](TXnCabWriter&, TCCAB& ccab, ULONG, bool&) {
        disks.push_back(std::string(ccab.szDisk) + "|" + ccab.szCab);
    };
    w.Open(dir / L"first.cab");
    for (int i = 0; i < 3; ++i) {
        const std::wstring src = dir / (L"s" + std::to_wstring(i));
        WriteFileBytes(src, "content " + std::to_string(i));
        w.AddFile(src, L"s" + std::to_wstring(i));
    }
    w.Close(true);
    EXPECT_EQ(disks, (std::vector<std::string>{"Label 1|first.cab", "Label 2|part_1.cab", "Label 3|part_2.cab"}));
    EXPECT_TRUE(FileExistsW(dir / L"first.cab"));
    EXPECT_TRUE(FileExistsW(dir / L"disk2\\part_1.cab"));
    EXPECT_TRUE(FileExistsW(dir / L"disk3\\part_2.cab"));
}

TEST(TXnCabWriterEvents, StatusProgressAndSkip) {
    TTempDir dir;
    TXnCabWriter w;
    w.SetCompressionType(cctMsZip);
    int fileStatus = 0, folderStatus = 0, cabinetStatus = 0, progress = 0;
    w.OnFileStatus = [&](TXnCabWriter&, ULONG, ULONG, bool&) { ++fileStatus; };
    w.OnFolderStatus = [&](TXnCabWriter&, ULONG, ULONG, bool&) { ++folderStatus; };
    w.OnCabinetStatus = [&](TXnCabWriter&, ULONG, ULONG, ULONG&, bool&) { ++cabinetStatus; };
    w.OnProgress = [&](TXnCabWriter&, bool&) { ++progress; };
    w.OnBeforeFileAdd = [&](TXnCabWriter&, const std::wstring& name, bool& skip) {
        skip = name.find(L"skip") != std::wstring::npos;
    };
    w.Open(dir / L"e.cab");
    const std::wstring big = dir / L"big", skipped = dir / L"skip.txt";
    WriteFileBytes(big, PatternBytes(12 * 32768, 1)); // twelve data blocks
    WriteFileBytes(skipped, "x");
    w.AddFile(big, L"big");
    w.AddFile(skipped, L"skip.txt");
    w.StartNewFolder();
    w.Close(true);
    EXPECT_GE(fileStatus, 12);
    EXPECT_GE(folderStatus, 1);
    EXPECT_EQ(cabinetStatus, 1);
    // Fires at the second file status and then at every ninth.
    EXPECT_EQ(progress, (fileStatus - 2) / 9 + 1);
    TXnCabReader reader;
    EXPECT_EQ(Names(ListCabinet(reader, dir / L"e.cab")), std::vector<std::wstring>{L"big"});
}

TEST(TXnCabWriterOpen, ReplacesExistingCabinetAndAbortLeavesNoContext) {
    TTempDir dir;
    const std::wstring cab = dir / L"old.cab";
    WriteFileBytes(cab, std::string(100000, 'x'));
    const std::wstring src = dir / L"a.txt";
    WriteFileBytes(src, "abc");
    {
        TXnCabWriter w;
        w.Open(cab);
        w.AddFile(src, L"a.txt");
        w.Close(true);
    }
    TXnCabReader reader;
    EXPECT_EQ(Names(ListCabinet(reader, cab)), std::vector<std::wstring>{L"a.txt"});
    TXnCabWriter w;
    w.OnGetNextCabinet = [](TXnCabWriter&, TCCAB&, ULONG, bool& abort) { abort = true; };
    w.Open(dir / L"aborted.cab");
    EXPECT_EQ(w.Handle(), nullptr);
    EXPECT_THROW(w.AddFile(src, L"a.txt"), std::runtime_error);
    EXPECT_NO_THROW(w.Close(true));
}

TEST(TXnCabWriterAddFiles, RecursesAndMatchesMask) {
    TTempDir dir;
    CreateDirectoryW((dir / L"src").c_str(), nullptr);
    CreateDirectoryW((dir / L"src\\sub").c_str(), nullptr);
    CreateDirectoryW((dir / L"src\\sub\\deep").c_str(), nullptr);
    WriteFileBytes(dir / L"src\\a.txt", "a");
    WriteFileBytes(dir / L"src\\b.bin", "b");
    WriteFileBytes(dir / L"src\\sub\\c.txt", "c");
    WriteFileBytes(dir / L"src\\sub\\deep\\d.txt", "d");
    TXnCabWriter w;
    w.Open(dir / L"r.cab");
    w.AddFiles(dir / L"src\\*.txt", L"docs", cafsoRecurseSubdirs);
    w.AddFiles(dir / L"src\\*.none", L"", cafsoRecurseSubdirs);
    w.AddFiles(dir / L"src\\*.bin", L"");
    w.Close(true);
    TXnCabReader reader;
    auto names = Names(ListCabinet(reader, dir / L"r.cab"));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"b.bin", L"docs\\a.txt", L"docs\\sub\\c.txt", L"docs\\sub\\deep\\d.txt"}));
    TXnCabWriter w2;
    w2.Open(dir / L"r2.cab");
    EXPECT_THROW(w2.AddFiles(dir / L"missing\\*.txt", L""), EOSError) << "a missing folder is a system error";
}

TEST(CabStreams, CabinetInMemoryAndEntriesThroughStreams) {
    TMemoryStream cabinet;
    const std::wstring cabName = StreamMan().AddStream(&cabinet);
    TMemoryStream entry;
    entry.Write("stream entry bytes", 18);
    {
        TXnCabWriter w;
        w.SetCompressionType(cctMsZip);
        w.Open(cabName);
        w.AddFile(&entry, L"\\from\\stream.txt");
        w.Close(true);
    }
    StreamMan().ReleaseStream(cabName);
    ASSERT_GT(cabinet.GetSize(), 36);
    EXPECT_EQ(std::memcmp(cabinet.Data().data(), "MSCF", 4), 0);
    TXnCabReader reader;
    TFDICABINETINFO info{};
    EXPECT_TRUE(reader.IsCabinet(&cabinet, info));
    std::vector<std::wstring> listed;
    EXPECT_TRUE(reader.EnumFilesEntries(
        &cabinet, [&](TXnCabReader&, const std::wstring& n, ULONG size, USHORT, USHORT, USHORT, USHORT attrs, bool&) {
            listed.push_back(n);
            EXPECT_EQ(size, 18u);
            EXPECT_EQ(attrs & 0x27, FILE_ATTRIBUTE_ARCHIVE);
        }));
    EXPECT_EQ(listed, std::vector<std::wstring>{L"from\\stream.txt"});
    // Extract into a stream that already holds more bytes: nothing old remains behind the entry.
    TMemoryStream target;
    target.Write(std::string(100, 'z').data(), 100);
    const std::wstring targetName = StreamMan().AddStream(&target);
    reader.OnCopyFile = [&](TXnCabReader&, const std::wstring&, LONG, USHORT, USHORT, USHORT, USHORT, std::wstring& dst,
                            bool&) { dst = targetName; };
    reader.ExtractFiles(&cabinet, L"");
    StreamMan().ReleaseStream(targetName);
    EXPECT_EQ(std::string(target.Data().begin(), target.Data().end()), "stream entry bytes");
    TMemoryStream empty;
    EXPECT_FALSE(reader.IsCabinet(&empty, info)) << "a stream of 0 bytes";
    EXPECT_FALSE(reader.EnumFilesEntries(&empty, nullptr));
    EXPECT_FALSE(reader.IsCabinet(static_cast<TByteStream*>(nullptr), info));
}

class CabExtract : public ::testing::Test {
protected:
    TTempDir FDir;
    std::wstring FCab;
    void SetUp() override {
        FCab = FDir / L"c.cab";
        WriteFileBytes(FCab, BuildStoredCabinet({{"a.txt", "new a", 0x20}, {"sub\\b.txt", "new b", 0x21}}));
    }
};

TEST_F(CabExtract, StoredCabinetBuiltByHandExtracts) {
    TXnCabReader reader;
    const std::wstring dst = FDir / L"out";
    reader.ExtractFiles(FCab, dst);
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "new a");
    EXPECT_EQ(ReadFileBytes(dst + L"\\sub\\b.txt"), "new b");
    EXPECT_TRUE(GetFileAttributesW((dst + L"\\sub\\b.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    const SYSTEMTIME st = LocalWriteTime(dst + L"\\a.txt");
    EXPECT_EQ(st.wYear, 2025);
    EXPECT_EQ(st.wHour, 12);
    EXPECT_EQ(reader.FileName(), FCab);
    EXPECT_EQ(reader.DstPath(), dst + L"\\");
}

TEST_F(CabExtract, ReadOnlyDestinationOverwrittenUnlessOptionSet) {
    const std::wstring dst = FDir / L"out";
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"\\a.txt", "an older and much longer content");
    SetFileAttributesW((dst + L"\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    TXnCabReader reader;
    reader.Options = croDontOverwriteReadOnlyFiles;
    EXPECT_NO_THROW(reader.ExtractFiles(FCab, dst));
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "an older and much longer content");
    EXPECT_EQ(ReadFileBytes(dst + L"\\sub\\b.txt"), "new b");
    reader.Options = 0;
    reader.ExtractFiles(FCab, dst);
    EXPECT_EQ(ReadFileBytes(dst + L"\\a.txt"), "new a") << "no bytes of the longer content remain";
}

TEST_F(CabExtract, CopyFileHandlerSkipsAndCloseFileReports) {
    TXnCabReader reader;
    const std::wstring dst = FDir / L"out";
    std::vector<std::wstring> closed;
    reader.OnCopyFile = [](TXnCabReader&, const std::wstring& name, LONG size, USHORT, USHORT, USHORT, USHORT,
                           std::wstring& d, bool&) {
        EXPECT_EQ(size, 5);
        if (name == L"a.txt")
            d.clear();
    };
    reader.OnCloseFile = [&](TXnCabReader&, const std::wstring& name, USHORT, USHORT, USHORT, USHORT, bool& exec,
                             const std::wstring& d, bool&) {
        EXPECT_FALSE(exec);
        closed.push_back(name + L"=" + d);
    };
    reader.ExtractFiles(FCab, dst);
    EXPECT_FALSE(FileExistsW(dst + L"\\a.txt"));
    EXPECT_EQ(closed, std::vector<std::wstring>{L"sub\\b.txt=" + dst + L"\\sub\\b.txt"});
}

TEST_F(CabExtract, AbortFromCopyFileRaises) {
    TXnCabReader reader;
    reader.OnCopyFile = [](TXnCabReader&, const std::wstring&, LONG, USHORT, USHORT, USHORT, USHORT, std::wstring&,
                           bool& abort) { abort = true; };
    try {
        reader.ExtractFiles(FCab, FDir / L"out");
        FAIL() << "no exception";
    } catch (const EXnCabinet& e) {
        EXPECT_FALSE(e.IsCompressing());
        EXPECT_TRUE(e.ErrorPresent());
    }
}

TEST(CabReaderBadInput, TextFileMissingFileAndDirectory) {
    TTempDir dir;
    const std::wstring text = dir / L"text.cab";
    WriteFileBytes(text, "this is not a cabinet at all, just text");
    TXnCabReader reader;
    TFDICABINETINFO info{};
    EXPECT_FALSE(reader.IsCabinet(text, info));
    bool called = false;
    EXPECT_FALSE(reader.EnumFilesEntries(text, [&](TXnCabReader&, const std::wstring&, ULONG, USHORT, USHORT, USHORT,
                                                   USHORT, bool&) { called = true; }));
    EXPECT_FALSE(called);
    const std::wstring empty = dir / L"empty.cab";
    WriteFileBytes(empty, "");
    EXPECT_FALSE(reader.IsCabinet(empty, info));
    try {
        reader.IsCabinet(dir / L"missing.cab", info);
        FAIL() << "no exception";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    CreateDirectoryW((dir / L"folder.cab").c_str(), nullptr);
    EXPECT_THROW(reader.IsCabinet(dir / L"folder.cab", info), EOSError);
    EXPECT_THROW(reader.ExtractFiles(text, dir / L"out"), EXnCabinet);
}

// Hostile entry names: the extraction stops with EXnCabinet and nothing lands outside.
TEST(CabHostile, UnsafeEntryNamesAreNeverWritten) {
    const std::string tag = "qvevil" + std::to_string(GetCurrentProcessId());
    const std::string cases[] = {"\\" + tag + "_1.txt",
                                 "/" + tag + "_2.txt",
                                 "C:" + tag + "_3.txt",
                                 "C:\\" + tag + "_4.txt",
                                 "\\\\server\\share\\" + tag + "_5.txt",
                                 "\\\\.\\C:\\" + tag + "_6.txt",
                                 "\\\\?\\C:\\" + tag + "_7.txt",
                                 "..\\" + tag + "_8.txt",
                                 "../" + tag + "_9.txt",
                                 "sub\\..\\..\\" + tag + "_10.txt",
                                 "sub/../../" + tag + "_11.txt",
                                 "..",
                                 ".. \\" + tag + "_12.txt",
                                 "CON",
                                 "sub\\nul.txt"};
    for (const std::string& name : cases) {
        SCOPED_TRACE(name);
        TTempDir dir;
        const std::wstring dst = dir / L"a\\b";
        const std::wstring cab = dir / L"evil.cab";
        WriteFileBytes(cab, BuildStoredCabinet({{"first.txt", "ok"}, {name, "evil"}}));
        TXnCabReader reader;
        try {
            reader.ExtractFiles(cab, dst);
            ADD_FAILURE() << "no exception";
        } catch (const EXnCabinet& e) {
            EXPECT_NE(std::string(e.what()).find("Unsafe entry name"), std::string::npos) << e.what();
        }
        EXPECT_EQ(ReadFileBytes(dst + L"\\first.txt"), "ok") << "entries before it stay";
        const std::wstring wtag = AnsiToWide(tag);
        for (const std::wstring& place : {dir.Path(), dir / L"a", std::wstring(L"C:"), std::wstring(L"C:\\")}) {
            WIN32_FIND_DATAW data;
            HANDLE find = FindFirstFileW((place + L"\\" + wtag + L"*").c_str(), &data);
            EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "something was written in " << place.c_str();
            if (find != INVALID_HANDLE_VALUE)
                FindClose(find);
        }
        // Listing an unsafe name is harmless and shows it as stored.
        std::vector<std::wstring> names = Names(ListCabinet(reader, cab));
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[1], AnsiToWide(name));
    }
}

TEST(CabHostile, TruncatedOrLyingFileTable) {
    const struct {
        const char* what;
        TRawCabinetOptions options;
        bool extractionFails; // Wine's FDI reads the records behind the folders, whatever coffFiles says
    } cases[] = {{"cFiles larger than the data", {"", "", 3, false, -1, true}, true},
                 {"a name without its zero byte", {"", "", 0, true, -1, true}, true},
                 {"an offset past the end", {"", "", 0, false, 1000000, false}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        const std::wstring cab = dir / L"t.cab";
        WriteFileBytes(cab, BuildStoredCabinet({{"a.txt", "aaa"}, {"b.txt", "bbb"}}, c.options));
        TXnCabReader reader;
        TFDICABINETINFO info{};
        ASSERT_TRUE(reader.IsCabinet(cab, info)) << "the header alone is sound";
        std::vector<std::wstring> listed;
        try {
            reader.EnumFilesEntries(cab, [&](TXnCabReader&, const std::wstring& n, ULONG, USHORT, USHORT, USHORT,
                                             USHORT, bool&) { listed.push_back(n); });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cabinet file does not have the correct format");
        }
        for (const auto& n : listed)
            EXPECT_TRUE(n == L"a.txt" || n == L"b.txt") << "no garbage is listed";
        if (c.extractionFails) {
            EXPECT_THROW(reader.ExtractFiles(cab, dir / L"out"), EXnCabinet);
        }
    }
}

TEST(CabHostile, LongNames) {
    for (size_t length : {size_t(255), size_t(300)}) {
        SCOPED_TRACE(length);
        TTempDir dir;
        const std::string name(length, 'n');
        const std::wstring cab = dir / L"long.cab";
        WriteFileBytes(cab, BuildStoredCabinet({{"a.txt", "a"}, {name, "long"}}));
        TXnCabReader reader;
        const auto names = Names(ListCabinet(reader, cab));
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[1], AnsiToWide(name)) << "the whole name, nothing past it";
        // The folder plus such a name exceeds what the file system takes: a clean error at most.
        try {
            reader.ExtractFiles(cab, dir / L"out");
        } catch (const EXnCabinet&) {
        }
        EXPECT_EQ(ReadFileBytes(dir / L"out\\a.txt"), "a");
    }
    TTempDir dir;
    const std::wstring cab = dir / L"toolong.cab";
    WriteFileBytes(cab, BuildStoredCabinet({{std::string(781, 'x'), "x"}}));
    TXnCabReader reader;
    EXPECT_THROW(ListCabinet(reader, cab), std::runtime_error) << "a name longer than the buffer";
}

TEST(CabHostile, AbsentOrUnsafeNextCabinet) {
    TTempDir dir;
    const std::wstring cab = dir / L"one.cab";
    WriteFileBytes(cab, BuildStoredCabinet({{"a.txt", "a"}, {"b.txt", "b"}}, {"two.cab", "Disk2"}));
    TXnCabReader reader;
    EXPECT_NO_THROW(reader.ExtractFiles(cab, dir / L"out"));
    EXPECT_EQ(ReadFileBytes(dir / L"out\\a.txt"), "a");
    EXPECT_EQ(ReadFileBytes(dir / L"out\\b.txt"), "b");
    EXPECT_EQ(reader.NextFileName(), dir / L"two.cab");
    EXPECT_EQ(reader.NextDiskName(), L"Disk2");

    // A next name pointing elsewhere is never followed, even when the file exists there.
    CreateDirectoryW((dir / L"inner").c_str(), nullptr);
    WriteFileBytes(dir / L"elsewhere.cab", BuildStoredCabinet({{"stolen.txt", "x"}}));
    WriteFileBytes(dir / L"inner\\bad.cab", BuildStoredCabinet({{"c.txt", "c"}}, {"..\\elsewhere.cab", "D"}));
    reader.ExtractFiles(dir / L"inner\\bad.cab", dir / L"out2");
    EXPECT_EQ(ReadFileBytes(dir / L"out2\\c.txt"), "c");
    EXPECT_FALSE(FileExistsW(dir / L"out2\\stolen.txt"));
    EXPECT_EQ(reader.NextFileName(), L"");

    // Two cabinets naming each other end after both, without a loop.
    WriteFileBytes(dir / L"x.cab", BuildStoredCabinet({{"x.txt", "x"}}, {"y.cab", "D"}));
    WriteFileBytes(dir / L"y.cab", BuildStoredCabinet({{"y.txt", "y"}}, {"x.cab", "D"}));
    reader.ExtractFiles(dir / L"x.cab", dir / L"out3");
    EXPECT_EQ(ReadFileBytes(dir / L"out3\\x.txt"), "x");
    EXPECT_EQ(ReadFileBytes(dir / L"out3\\y.txt"), "y");
}

TEST(CabNames, Utf8FlaggedAndAnsiNames) {
    TTempDir dir;
    const std::wstring cab = dir / L"n.cab";
    // "Жук.txt" in UTF-8, flagged; "\xE9t\xE9.txt" in the ANSI code page, not flagged.
    const std::string utf8 = "\xD0\x96\xD1\x83\xD0\xBA.txt";
    const std::string ansi = "\xE9t\xE9.txt";
    WriteFileBytes(cab, BuildStoredCabinet({{utf8, "u", 0xA0}, {ansi, "a", 0x20}}));
    TXnCabReader reader;
    const auto names = Names(ListCabinet(reader, cab));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], L"\u0416\u0443\u043A.txt");
    EXPECT_EQ(names[1], AnsiToWide(ansi));
    reader.ExtractFiles(cab, dir / L"out");
    EXPECT_EQ(ReadFileBytes(dir / L"out\\\u0416\u0443\u043A.txt"), "u");
    EXPECT_EQ(ReadFileBytes(dir / L"out\\" + AnsiToWide(ansi)), "a");
}

TEST(CabNames, WriterStoresNamesOutsideAnsiAsUtf8) {
    TTempDir dir;
    const std::wstring src = dir / L"src.txt";
    WriteFileBytes(src, "content");
    const std::wstring entry = L"\u0416\u0443\u043A\\\u4E2D.txt";
    {
        TXnCabWriter w;
        w.SetCompressionType(cctMsZip);
        w.Open(dir / L"u.cab");
        w.AddFile(src, entry);
        w.Close(true);
    }
    TXnCabReader reader;
    const auto listed = ListCabinet(reader, dir / L"u.cab");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Name, entry);
    EXPECT_TRUE(listed[0].Attribs & 0x80);
    reader.ExtractFiles(dir / L"u.cab", dir / L"out");
    EXPECT_EQ(ReadFileBytes(dir / L"out\\" + entry), "content");
}

// A cabinet size threshold splits a file across members: FDI asks for the next cabinet itself.
TEST(CabSpanning, FileContinuedInNextCabinet) {
    TTempDir dir;
    const std::string big = PatternBytes(300000, 9);
    WriteFileBytes(dir / L"big.bin", big);
    WriteFileBytes(dir / L"after.txt", "after");
    TXnCabWriter w;
    w.SetCompressionType(cctNone);
    w.CabinetSizeThreshold = 120000;
    std::vector<bool> continuations;
    w.OnFilePlaced = [&](TXnCabWriter&, const TCCAB&, const std::wstring&, LONG, bool cont, bool&) {
        continuations.push_back(cont);
    };
    w.Open(dir / L"span.cab");
    w.AddFile(dir / L"big.bin", L"big.bin");
    w.AddFile(dir / L"after.txt", L"after.txt");
    w.Close(true);
    ASSERT_TRUE(FileExistsW(dir / L"span1.cab"));
    EXPECT_NE(std::count(continuations.begin(), continuations.end(), true), 0);

    TXnCabReader reader;
    std::vector<std::wstring> wanted, partial;
    reader.OnNextCabinet = [&](TXnCabReader&, const std::wstring& name, const std::wstring&, std::wstring& path,
                               TFDIERROR, bool&) {
        wanted.push_back(name);
        EXPECT_EQ(path, dir.Path() + L"\\");
    };
    reader.OnCopyPartialFile = [&](TXnCabReader&, const std::wstring& name, const std::wstring&, const std::wstring&,
                                   const std::wstring&, bool&) { partial.push_back(name); };
    const std::wstring dst = dir / L"out";
    reader.ExtractFiles(dir / L"span.cab", dst);
    EXPECT_EQ(ReadFileBytes(dst + L"\\big.bin"), big);
    EXPECT_EQ(ReadFileBytes(dst + L"\\after.txt"), "after");
    EXPECT_FALSE(wanted.empty());
    EXPECT_EQ(wanted.front(), L"span1.cab");
    EXPECT_NE(std::find(partial.begin(), partial.end(), L"big.bin"), partial.end());
}

// A target that cannot be created ends in EXnCabinet naming both the FDI and the system error,
// and the error slot belongs to the thread that hit it.
TEST(CabErrors, TargetFileErrorCarriesSystemErrorPerThread) {
    TTempDir dir;
    const std::wstring cab = dir / L"c.cab";
    WriteFileBytes(cab, BuildStoredCabinet({{"blocked", "x"}}));
    const std::wstring dst = dir / L"out";
    CreateDirectoryW(dst.c_str(), nullptr);
    CreateDirectoryW((dst + L"\\blocked").c_str(), nullptr); // a folder where the file should go
    TXnCabReader reader;
    try {
        reader.ExtractFiles(cab, dst);
        FAIL() << "no exception";
    } catch (const EXnCabinet& e) {
        // Wine's FDI reports a refused target as a user abort (11), Windows as a target error (8).
        EXPECT_TRUE(e.CabError() == FDIERROR_TARGET_FILE || e.CabError() == FDIERROR_USER_ABORT);
        EXPECT_EQ(e.WinError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        char code[8];
        std::snprintf(code, sizeof(code), "%04X", e.CabError());
        EXPECT_EQ(std::string(e.what()), std::string(FDIErrorText(e.CabError())) + " [0x" + code + "].\r\n" +
                                             SysErrorMessage(ERROR_ACCESS_DENIED) + " [0x0005].");
    }
    EXPECT_EQ(LastCabFileError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    DWORD other = 1;
    std::thread([&] { other = LastCabFileError; }).join();
    EXPECT_EQ(other, 0u);
}

TEST(StdFileOps, TemporaryFlagDeletesOnClose) {
    TTempDir dir;
    const std::string name = WideToAnsi(dir / L"t.tmp");
    int err = 0;
    const INT_PTR h = StdFileOpen(name.c_str(), 0x8000 | 0x0100 | 0x0040 | 0x1000 | 0x0002, 0, err);
    ASSERT_NE(h, -1);
    EXPECT_TRUE(FileExistsW(dir / L"t.tmp"));
    StdFileClose(h, err);
    EXPECT_FALSE(FileExistsW(dir / L"t.tmp"));
}
