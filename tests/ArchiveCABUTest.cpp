// The archive facade over the CAB handler and the real cabinet.dll: listing, extraction into a
// folder and a stream, the add operations, the facade's error texts, and hostile cabinets.
#include "CabTestUtil.h"

#include "FileU.h"
#include "TextU.h"
#include "archive/ArchiveCABU.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

std::wstring Err(const std::wstring& aFunction, const std::wstring& aMessage) {
    return FormatArchiveError(aMessage, aFunction);
}

// The rights the file's DACL allows the world SID; 0 when no entry names it.
ACCESS_MASK WorldRights(const std::wstring& aPath) {
    TUniqueSecurityDescriptor sd = GetFileSecurityDescriptor(aPath);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sd || !GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present || !dacl)
        return 0;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    TUniqueSid worldSid;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, worldSid.put());
    ACCESS_MASK rights = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, worldSid.get()))
            rights |= static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
    }
    return rights;
}

class CABArchive : public ::testing::Test {
protected:
    TTempDir FDir;
    std::wstring FCab;

    void SetUp() override {
        RegisterCABArchive();
        FCab = FDir / L"update.cab";
        const std::wstring a = FDir / L"a_src.txt", b = FDir / L"b_src.txt";
        WriteFileBytes(a, "entry a");
        WriteFileBytes(b, "entry b, sub");
        SetLocalWriteTime(a, 2022, 6, 7, 8, 9, 10);
        TXnCabWriter w;
        w.SetCompressionType(cctMsZip);
        w.Open(FCab);
        w.AddFile(a, L"a.txt");
        w.AddFile(b, L"sub\\b.txt");
        w.Close(true);
    }
};

} // namespace

TEST_F(CABArchive, RegisteredOnceAsTypeOneCab) {
    RegisterCABArchive();
    TArchive a(FCab);
    EXPECT_EQ(a.SupportArchivesCount(), 1);
    EXPECT_EQ(a.SupportArchives(0), 1u);
    EXPECT_EQ(a.ErrResult(), L"");
    EXPECT_EQ(a.SupportArchives(1), 0u);
    EXPECT_EQ(a.ErrResult(), Err(L"GetAvailArchives", L"parameter Index is out of range!"));
    EXPECT_EQ(a.SupportArchives(-1), 0u);
    TStrings names;
    EXPECT_TRUE(a.AvailableArchiveNames(&names));
    EXPECT_EQ(names, TStrings{L"CAB"});
    EXPECT_EQ(a.ArchiveTypeFromExt(L".cab"), 1u);
    EXPECT_EQ(a.ArchiveTypeFromExt(L"cab"), 0u);
    EXPECT_EQ(a.ArchiveTypeName(1, false), L"CAB");
    EXPECT_EQ(a.ArchiveTypeName(1, true), L"");
    EXPECT_TRUE(a.SupportArchiveStream());
    EXPECT_TRUE(a.SupportAddToArchive());
    for (const wchar_t* name : {L"x.CAB", L"x.cab", L"x.Cab"}) {
        TArchive b(name);
        EXPECT_EQ(b.ArchiveType(), 1u) << name;
        EXPECT_NE(b.Handler(), nullptr);
    }
}

TEST_F(CABArchive, ErrorTexts) {
    const std::wstring text = FDir / L"text.cab";
    WriteFileBytes(text, "plain text, no cabinet");
    const std::wstring empty = FDir / L"empty.cab";
    WriteFileBytes(empty, "");
    const std::wstring folder = FDir / L"folder.cab";
    CreateDirectoryW(folder.c_str(), nullptr);
    TMemoryStream textStream;
    textStream.Write("plain text, no cabinet", 22);
    TMemoryStream emptyStream;
    TStrings list;
    TMemoryStream out;
    const struct {
        const char* what;
        std::function<bool(TArchive&)> op;
        std::wstring expected;
    } cases[] = {
        {"missing file", [&](TArchive& a) { return a.LoadArchiveContents(&list); },
         L"File \"" + FDir / L"missing.cab" + L"\" does not exist!"},
        {"non-cabinet file",
         [&](TArchive& a) {
             a.SetFileName(text);
             return a.LoadArchiveContents(&list);
         },
         L"Cannot initialize archive \"" + text + L"\"!"},
        {"empty file named .cab",
         [&](TArchive& a) {
             a.SetFileName(empty);
             return a.LoadArchiveContents(&list);
         },
         L"Cannot initialize archive \"" + empty + L"\"!"},
        {"directory named .cab",
         [&](TArchive& a) {
             a.SetFileName(folder);
             return a.LoadArchiveContents(&list);
         },
         L"File \"" + folder + L"\" does not exist!"},
        {"non-cabinet stream",
         [&](TArchive& a) {
             a.SetArchiveStream(&textStream);
             return a.LoadArchiveContents(&list);
         },
         L"Cannot initialize archive \"\"!"},
        {"stream of 0 bytes",
         [&](TArchive& a) {
             a.SetArchiveStream(&emptyStream);
             return a.DecompressToStream(L"a.txt", &out);
         },
         L"Cannot initialize archive \"\"!"},
        {"empty folder", [&](TArchive& a) { return a.DecompressToDir(L"", L"", true); },
         Err(L"DecompressToDir", L"parameter TargetDit (string) is empty!")},
        {"empty entry name", [&](TArchive& a) { return a.DecompressToStream(L"", &out); },
         Err(L"DecompressToStream", L"parameter FlName (string) is empty!")},
        {"null stream", [&](TArchive& a) { return a.DecompressToStream(L"a.txt", nullptr); },
         Err(L"DecompressToStream", L"parameter ResStream (tStream) is nil!")},
        {"null list", [&](TArchive& a) { return a.LoadArchiveContents(nullptr); },
         Err(L"LoadArchiveContents", L"parameter ResFileNames (TStrings) is nil!")},
        {"null names", [&](TArchive& a) { return a.AvailableArchiveNames(nullptr); },
         Err(L"AvailableArchiveNames", L"parameter ResTypeNames (TStrings) is nil!")},
        {"AddFile empty", [&](TArchive& a) { return a.AddFile(L"", L"x"); },
         Err(L"AddFile", L"parameter FlName (string) is empty!")},
        {"AddFiles null", [&](TArchive& a) { return a.AddFiles(static_cast<const TStrings*>(nullptr), nullptr, L""); },
         Err(L"AddFiles", L"parameter FlNames (TStrings) is nil!")},
        {"AddFiles empty path", [&](TArchive& a) { return a.AddFiles(std::wstring(), nullptr, L""); },
         Err(L"AddFiles", L"parameter FlPath (string) is empty!")},
        {"AddStream null", [&](TArchive& a) { return a.AddStream(nullptr, L"x"); },
         Err(L"AddStream", L"parameter SrcStream (tStream) is nil!")},
        {"AddStream empty name", [&](TArchive& a) { return a.AddStream(&out, L""); },
         Err(L"AddStream", L"parameter FlName (string) is empty!")},
        {"unknown type name", [&](TArchive& a) { return !a.ArchiveTypeName(42, false).empty(); },
         Err(L"ArchiveTypeName", L"unknown value in parameter AArchiveType!")},
        {"unknown type available", [&](TArchive& a) { return a.ArchiveIsAvailable(42); },
         Err(L"ArchiveIsAvailable", L"unknown value in parameter AArchiveType!")},
        {"unregistered type",
         [&](TArchive& a) {
             a.SetArchiveType(42);
             return a.Handler() != nullptr;
         },
         Err(L"SetArchiveType", L"required ArchiveType is not available!")},
        {"index out of range", [&](TArchive& a) { return a.GetAvailableArchives(3) != 0; },
         Err(L"GetAvailArchives", L"parameter Index is out of range!")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TArchive a(FDir / L"missing.cab");
        list = {L"stale"};
        EXPECT_FALSE(c.op(a));
        EXPECT_EQ(a.ErrResult(), c.expected);
        EXPECT_TRUE(list.empty() || list == TStrings{L"stale"});
    }

    // No handler selected: every handler operation names itself.
    TMemoryStream s;
    TArchive none(&s);
    const struct {
        const wchar_t* function;
        std::function<bool()> op;
    } noHandler[] = {{L"LoadArchiveContents", [&] { return none.LoadArchiveContents(&list); }},
                     {L"DecompressToDir", [&] { return none.DecompressToDir(FDir.Path(), L"", false); }},
                     {L"DecompressToStream", [&] { return none.DecompressToStream(L"a", &out); }},
                     {L"AddFile", [&] { return none.AddFile(L"a", L""); }},
                     {L"AddFiles", [&] { return none.AddFiles(FDir / L"*.*", nullptr, L""); }},
                     {L"AddStream", [&] { return none.AddStream(&out, L"a"); }}};
    for (const auto& c : noHandler) {
        EXPECT_FALSE(c.op());
        EXPECT_EQ(none.ErrResult(), Err(c.function, L"Archives Class is not initialized to specific type!"));
    }
}

TEST_F(CABArchive, LockedCabinetNamesTheSystemError) {
    HANDLE lock = CreateFileW(FCab.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    TArchive a(FCab);
    TStrings list;
    EXPECT_FALSE(a.LoadArchiveContents(&list));
    EXPECT_EQ(a.ErrResult(), L"Cannot open file 32 \"" + FCab + L"\"!");
    CloseHandle(lock);
    EXPECT_TRUE(a.LoadArchiveContents(&list)) << "a failed check runs again";
}

TEST_F(CABArchive, EveryoneMayWriteWhatWasExtractedOnlyWhenAsked) {
    const struct {
        bool everyone;
        const wchar_t* folder;
    } cases[] = {{true, L"granted"}, {false, L"plain"}};
    for (const auto& c : cases) {
        TArchive a(FCab);
        a.SetArchiveType(1);
        const std::wstring dst = FDir / c.folder;
        ASSERT_TRUE(a.DecompressToDir(dst, L"", c.everyone)) << a.ErrResult().c_str();
        for (const wchar_t* name : {L"\\a.txt", L"\\sub\\b.txt"}) {
            EXPECT_EQ(ReadFileBytes(dst + name).empty(), false) << c.folder << name;
            EXPECT_EQ((WorldRights(dst + name) & FILE_WRITE_DATA) != 0, c.everyone) << c.folder << name;
        }
    }
}

TEST_F(CABArchive, ListsOnceAndExtracts) {
    TArchive a(FCab);
    a.SetArchiveType(1);
    TStrings list;
    ASSERT_TRUE(a.LoadArchiveContents(&list)) << a.ErrResult().c_str();
    EXPECT_EQ(list, (TStrings{L"a.txt", L"sub\\b.txt"}));
    const std::wstring dst = FDir / L"Update\\";
    CreateDirectoryW(dst.c_str(), nullptr);
    WriteFileBytes(dst + L"a.txt", "an older copy that is longer than the entry");
    ASSERT_TRUE(a.DecompressToDir(dst, L"", true)) << a.ErrResult().c_str();
    EXPECT_EQ(ReadFileBytes(dst + L"a.txt"), "entry a");
    EXPECT_EQ(ReadFileBytes(dst + L"sub\\b.txt"), "entry b, sub");
    const SYSTEMTIME st = LocalWriteTime(dst + L"a.txt");
    EXPECT_EQ(st.wYear, 2022);
    EXPECT_EQ(st.wSecond, 10);
    // The listing is cached for this source: it does not read the cabinet again.
    ASSERT_TRUE(DeleteFileW(FCab.c_str()));
    EXPECT_TRUE(a.LoadArchiveContents(&list));
    EXPECT_EQ(list, (TStrings{L"a.txt", L"sub\\b.txt"}));
}

TEST_F(CABArchive, SelectedEntryStreamAndText) {
    TArchive a(FCab);
    const std::wstring dst = FDir / L"one";
    EXPECT_TRUE(a.DecompressToDir(dst, L"SUB\\B.TXT", false));
    EXPECT_TRUE(FileExistsW(dst + L"\\sub\\b.txt"));
    EXPECT_FALSE(FileExistsW(dst + L"\\a.txt"));
    EXPECT_TRUE(a.DecompressToDir(FDir / L"none", L"nothing.txt", false)) << "no such entry is no error";
    EXPECT_FALSE(DirExistsW(FDir / L"none\\sub"));
    EXPECT_FALSE(FileExistsW(FDir / L"none\\a.txt"));
    TMemoryStream m;
    m.Write(std::string(64, 'z').data(), 64);
    ASSERT_TRUE(a.DecompressToMem(L"a.txt", &m)) << a.ErrResult().c_str();
    EXPECT_EQ(m.GetPosition(), 0);
    EXPECT_EQ(std::string(m.Data().begin(), m.Data().end()), "entry a");
    TMemoryStream untouched;
    EXPECT_TRUE(a.DecompressToStream(L"nothing.txt", &untouched));
    EXPECT_EQ(untouched.GetSize(), 0);
    std::wstring text;
    EXPECT_TRUE(a.DecompressText(L"sub\\b.txt", text));
    EXPECT_EQ(text, L"entry b, sub\r\n");
    // The same cabinet as a stream source.
    TMemoryStream source;
    const std::string bytes = ReadFileBytes(FCab);
    source.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    TArchive s(&source);
    s.SetArchiveType(1);
    TStrings list;
    EXPECT_TRUE(s.LoadArchiveContents(&list));
    EXPECT_EQ(list, (TStrings{L"a.txt", L"sub\\b.txt"}));
    TMemoryStream out;
    EXPECT_TRUE(s.DecompressToStream(L"sub\\b.txt", &out));
    EXPECT_EQ(std::string(out.Data().begin(), out.Data().end()), "entry b, sub");
    EXPECT_TRUE(s.DecompressToDir(FDir / L"fromstream", L"", false));
    EXPECT_EQ(ReadFileBytes(FDir / L"fromstream\\a.txt"), "entry a");
}

TEST_F(CABArchive, AddOperationsReplaceTheCabinet) {
    const std::wstring readme = FDir / L"readme.txt", other = FDir / L"other.txt";
    WriteFileBytes(readme, "read me");
    WriteFileBytes(other, "other");
    auto listOf = [](const std::wstring& aCab) {
        TArchive r(aCab);
        TStrings list;
        EXPECT_TRUE(r.LoadArchiveContents(&list)) << r.ErrResult().c_str();
        return list;
    };
    TArchive a(FCab);
    EXPECT_TRUE(a.AddFile(readme, L"")) << a.ErrResult().c_str();
    EXPECT_EQ(listOf(FCab), TStrings{L"readme.txt"});
    const TStrings sources{readme, other}, targets{L"*docs\\readme.txt", L"docs"};
    EXPECT_TRUE(a.AddFiles(&sources, &targets, L""));
    EXPECT_EQ(listOf(FCab), (TStrings{L"docs\\readme.txt", L"docs\\other.txt"}));
    EXPECT_TRUE(a.AddFiles(&sources, nullptr, L"\\root"));
    EXPECT_EQ(listOf(FCab), (TStrings{L"root\\readme.txt", L"root\\other.txt"}));
    EXPECT_TRUE(a.AddFiles(&sources, nullptr, L""));
    EXPECT_EQ(listOf(FCab), (TStrings{L"readme.txt", L"other.txt"}));
    TMemoryStream entry;
    entry.Write("from a stream", 13);
    EXPECT_TRUE(a.AddStream(&entry, L"s\\stream.txt"));
    EXPECT_EQ(listOf(FCab), TStrings{L"s\\stream.txt"});
    // The path form collects plain files below a folder.
    CreateDirectoryW((FDir / L"tree").c_str(), nullptr);
    CreateDirectoryW((FDir / L"tree\\inner").c_str(), nullptr);
    WriteFileBytes(FDir / L"tree\\t1.txt", "1");
    WriteFileBytes(FDir / L"tree\\inner\\t2.txt", "2");
    WriteFileBytes(FDir / L"tree\\hidden.txt", "h");
    SetFileAttributesW((FDir / L"tree\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(a.AddFiles(FDir / L"tree\\*.*", nullptr, L"pkg")) << a.ErrResult().c_str();
    TStrings listed = listOf(FCab);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (TStrings{L"pkg\\inner\\t2.txt", L"pkg\\t1.txt"}));
    EXPECT_FALSE(a.AddFile(FDir / L"missing.txt", L"m.txt"));
    EXPECT_NE(a.ErrResult().find(L"Failure opening file to be stored in cabinet"), std::wstring::npos)
        << a.ErrResult().c_str();
    // A stream source receives the new cabinet; an older, longer content does not survive.
    TMemoryStream target;
    target.Write(std::string(300000, 'q').data(), 300000);
    TArchive s(&target);
    s.SetArchiveType(1);
    EXPECT_TRUE(s.AddStream(&entry, L"only.txt")) << s.ErrResult().c_str();
    EXPECT_LT(target.GetSize(), 1000);
    TArchive back(&target);
    back.SetArchiveType(1);
    TStrings list;
    EXPECT_TRUE(back.LoadArchiveContents(&list)) << back.ErrResult().c_str();
    EXPECT_EQ(list, TStrings{L"only.txt"});
}

TEST_F(CABArchive, HostileEntryTouchesNothingOutside) {
    const std::wstring outside = FDir / L"victim.txt";
    WriteFileBytes(outside, "precious");
    const std::wstring cab = FDir / L"evil.cab";
    WriteFileBytes(cab, BuildStoredCabinet({{"ok.txt", "fine"}, {"..\\victim.txt", "overwritten"}}));
    TArchive a(cab);
    EXPECT_FALSE(a.DecompressToDir(FDir / L"target", L"", true));
    EXPECT_NE(a.ErrResult().find(L"Unsafe entry name"), std::wstring::npos) << a.ErrResult().c_str();
    EXPECT_EQ(ReadFileBytes(outside), "precious") << "neither deleted beforehand nor overwritten";
    EXPECT_EQ(ReadFileBytes(FDir / L"target\\ok.txt"), "fine");
}

TEST_F(CABArchive, SetExtractsFromFirstMember) {
    TXnCabWriter w;
    w.CabinetFileCountThreshold = 2;
    w.SetCompressionType(cctMsZip);
    w.Open(FDir / L"set\\pkg.cab");
    for (int i = 0; i < 5; ++i) {
        const std::wstring src = FDir / (L"m" + std::to_wstring(i));
        WriteFileBytes(src, "member " + std::to_string(i));
        w.AddFile(src, L"m" + std::to_wstring(i) + L".txt");
    }
    w.Close(true);
    TArchive a(FDir / L"set\\pkg.cab");
    TStrings list;
    EXPECT_TRUE(a.LoadArchiveContents(&list));
    EXPECT_EQ(list, (TStrings{L"m0.txt", L"m1.txt"})) << "only the given cabinet's entries";
    EXPECT_TRUE(a.DecompressToDir(FDir / L"out", L"", true)) << a.ErrResult().c_str();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ReadFileBytes(FDir / (L"out\\m" + std::to_wstring(i) + L".txt")), "member " + std::to_string(i));
}
