// The cabinet library against independent implementations: every kind of cabinet the writer
// makes is tested and extracted by cabextract, and cabinets made by gcab are extracted by the
// reader. Both peers are native Debian programs, run from inside Wine.
#include "CabTestUtil.h"

#include "TextU.h"
#include "cabinet/CabXnComps2.h"

#include <gtest/gtest.h>

namespace {

std::string Q(const std::wstring& aWindowsPath) {
    return "'" + UnixPath(aWindowsPath) + "'";
}

class CabPeers : public ::testing::Test {
protected:
    TTempDir FDir;
    std::vector<std::pair<std::wstring, std::string>> FFiles; // entry name, content

    void SetUp() override {
        std::string out;
        ASSERT_EQ(RunNativeShell("command -v cabextract && command -v gcab", out), 0)
            << "cabextract and gcab are needed (scripts/common.sh installs them): " << out;
        CreateDirectoryW((FDir / L"src").c_str(), nullptr);
        CreateDirectoryW((FDir / L"src\\sub").c_str(), nullptr);
        FFiles = {{L"a.txt", PatternBytes(5000, 1)},
                  {L"sub\\b.bin", PatternBytes(150000, 2)},
                  {L"c.dat", PatternBytes(1, 3)},
                  {L"sub\\d.txt", PatternBytes(40000, 4)},
                  {L"e.txt", PatternBytes(32768, 5)}};
        for (const auto& f : FFiles)
            WriteFileBytes(FDir / (L"src\\" + f.first), f.second);
    }

    std::wstring Write(const std::wstring& aName, TXnCabCompressionType aType, ULONG aFileCountThreshold) {
        const std::wstring cab = FDir / aName;
        TXnCabWriter w;
        w.SetCompressionType(aType);
        w.CabinetFileCountThreshold = aFileCountThreshold;
        w.Open(cab);
        for (const auto& f : FFiles)
            w.AddFile(FDir / (L"src\\" + f.first), f.first);
        w.Close(true);
        return cab;
    }

    // cabextract tests and lists the cabinet, then extracts it; every file must match its source.
    void CheckWithCabextract(const std::wstring& aCab, const std::wstring& anOutName) {
        std::string out;
        EXPECT_EQ(RunNativeShell("cabextract -t " + Q(aCab), out), 0) << out;
        EXPECT_NE(out.find("All done, no errors"), std::string::npos) << out;
        EXPECT_EQ(RunNativeShell("cabextract -l " + Q(aCab), out), 0) << out;
        for (const auto& f : FFiles) {
            std::string unixName = WideToAnsi(f.first);
            for (char& c : unixName)
                if (c == '\\')
                    c = '/';
            EXPECT_NE(out.find(unixName), std::string::npos) << unixName << " not listed:\n" << out;
        }
        const std::wstring outDir = FDir / anOutName;
        CreateDirectoryW(outDir.c_str(), nullptr);
        EXPECT_EQ(RunNativeShell("cabextract -q -d " + Q(outDir) + " " + Q(aCab), out), 0) << out;
        for (const auto& f : FFiles)
            EXPECT_EQ(ReadFileBytes(outDir + L"\\" + f.first), f.second) << f.first.c_str();
    }
};

} // namespace

TEST_F(CabPeers, CabextractAcceptsStored) {
    CheckWithCabextract(Write(L"stored.cab", cctNone, 0), L"x_stored");
}

TEST_F(CabPeers, CabextractAcceptsMsZip) {
    CheckWithCabextract(Write(L"mszip.cab", cctMsZip, 0), L"x_mszip");
}

TEST_F(CabPeers, CabextractAcceptsLzxRequest) {
    CheckWithCabextract(Write(L"lzx.cab", cctLzx, 0), L"x_lzx");
}

TEST_F(CabPeers, CabextractAcceptsSet) {
    const std::wstring first = Write(L"set.cab", cctMsZip, 2);
    ASSERT_TRUE(FileExistsW(FDir / L"set1.cab"));
    ASSERT_TRUE(FileExistsW(FDir / L"set2.cab"));
    std::string out;
    for (const wchar_t* member : {L"set.cab", L"set1.cab", L"set2.cab"}) {
        EXPECT_EQ(RunNativeShell("cabextract -t " + Q(FDir / member), out), 0) << out;
        EXPECT_NE(out.find("All done, no errors"), std::string::npos) << out;
    }
    // cabextract follows the set from its first member.
    CheckWithCabextract(first, L"x_set");
}

TEST_F(CabPeers, ReaderExtractsGcabCabinets) {
    for (const char* flag : {"", "-z"}) {
        SCOPED_TRACE(flag);
        const std::wstring cab = FDir / (std::string(flag).empty() ? L"gcab_stored.cab" : L"gcab_mszip.cab");
        std::string out;
        std::string files;
        for (const auto& f : FFiles) {
            std::string unixName = WideToAnsi(f.first);
            for (char& c : unixName)
                if (c == '\\')
                    c = '/';
            files += " " + unixName;
        }
        ASSERT_EQ(RunNativeShell("cd " + Q(FDir / L"src") + " && gcab -c " + flag + " " + Q(cab) + files, out), 0)
            << out;
        ASSERT_TRUE(FileExistsW(cab)) << out;
        TXnCabReader reader;
        std::vector<std::wstring> listed;
        ASSERT_TRUE(reader.EnumFilesEntries(cab, [&](TXnCabReader&, const std::wstring& n, ULONG, USHORT, USHORT,
                                                     USHORT, USHORT, bool&) { listed.push_back(n); }));
        ASSERT_EQ(listed.size(), FFiles.size());
        for (size_t i = 0; i < FFiles.size(); ++i)
            EXPECT_EQ(listed[i], FFiles[i].first);
        const std::wstring dst = FDir / (L"gx" + std::to_wstring(std::string(flag).size()));
        reader.ExtractFiles(cab, dst);
        for (const auto& f : FFiles)
            EXPECT_EQ(ReadFileBytes(dst + L"\\" + f.first), f.second) << f.first.c_str();
    }
}
