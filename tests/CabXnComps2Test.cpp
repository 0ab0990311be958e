// The cabinet library against Wine's real cabinet.dll: stream manager, file operations, error
// texts, writer and reader round trips, cabinet sets, and hostile cabinets built byte by byte.
#include "CabTestUtil.h"

#include "TextU.h"
#include "cabinet/CabIntf.h"
#include "cabinet/CabXnConsts.h"
#include "cabinet/CabXnComps2.h"

#include <gtest/gtest.h>

#include <map>

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
