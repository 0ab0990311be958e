// The self-updater in-process: names, signatures, the download thread, the installation of a
// package into a scratch program folder and the whole update thread against a loopback server.
#include "LoopbackServer.h"

#include "CabTestUtil.h"
#include "FileU.h"
#include "QVDateText.h"
#include "QVUpdate.h"
#include "QVSupport.h"
#include "SignatureU.h"
#include "TestSupport.h"
#include "cabinet/CabXnComps2.h"

#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>

namespace {

// A throwaway P-256 key pair made with CNG, for signing the packages of a test.
class TTestSigner {
public:
    TTestSigner() {
        EXPECT_EQ(BCryptOpenAlgorithmProvider(FAlgorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0), 0);
        EXPECT_EQ(BCryptGenerateKeyPair(FAlgorithm.get(), FKey.put(), 256, 0), 0);
        EXPECT_EQ(BCryptFinalizeKeyPair(FKey.get(), 0), 0);
        std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
        ULONG size = 0;
        EXPECT_EQ(BCryptExportKey(FKey.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob.data(),
                                  static_cast<ULONG>(blob.size()), &size, 0),
                  0);
        std::memcpy(FPoint.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), FPoint.size());
    }
    const TP256Point& Point() const { return FPoint; }
    std::string Sign(const std::string& aBytes) const {
        const auto hash = Sha256(reinterpret_cast<const std::uint8_t*>(aBytes.data()), aBytes.size());
        std::string signature(64, '\0');
        ULONG size = 0;
        EXPECT_TRUE(hash.has_value());
        EXPECT_EQ(BCryptSignHash(FKey.get(), nullptr, const_cast<PUCHAR>(hash->data()), 32,
                                 reinterpret_cast<PUCHAR>(signature.data()), 64, &size, 0),
                  0);
        return signature;
    }

private:
    TUniqueBCryptAlgorithm FAlgorithm;
    TUniqueBCryptKey FKey;
    TP256Point FPoint{};
};

// Serves a fixed set of files by path with status 200, everything else with 404.
class TFileServer {
public:
    explicit TFileServer(std::map<std::string, std::string> aFiles)
        : FFiles(std::move(aFiles)), FServer([this](const TRecordedRequest& r) {
              const auto it = FFiles.find(r.path);
              if (it == FFiles.end())
                  return TScriptedReply{TLoopbackServer::Reply("404 Not Found", "", "")};
              return TScriptedReply{TLoopbackServer::Reply(
                  "200 OK", "Content-Length: " + std::to_string(it->second.size()) + "\r\n", it->second)};
          }) {}
    std::wstring URL(const std::string& aPath) const { return FServer.URL(aPath); }
    std::vector<std::string> Paths() {
        std::vector<std::string> paths;
        for (const auto& r : FServer.Requests())
            paths.push_back(r.path);
        return paths;
    }

private:
    const std::map<std::string, std::string> FFiles;
    TLoopbackServer FServer;
};

TEST(UpdateNamesTest, SuffixesDownloadNamesAndSignatureAddresses) {
    const struct {
        const wchar_t* name;
        const wchar_t* suffix;
        const wchar_t* expected;
    } suffixed[] = {
        {L"C:\\App\\Quenvar.exe", L".old", L"C:\\App\\Quenvar.old.exe"},
        {L"C:\\App\\readme", L".new", L"C:\\App\\readme.new"},
        {L"C:\\App.d\\readme", L".new", L"C:\\App.d\\readme.new"},
        {L"C:\\App\\pkg.tar.gz", L".old", L"C:\\App\\pkg.tar.old.gz"},
        {L"C:.profile", L".old", L"C:.old.profile"},
        {L"", L".old", L".old"},
    };
    for (const auto& c : suffixed)
        EXPECT_EQ(SuffixedFileName(c.name, c.suffix), c.expected) << c.name;

    const struct {
        const wchar_t* url;
        const wchar_t* name;
    } names[] = {
        {L"http://h/files/pkg.cab", L"pkg.cab"},
        {L"http://h/files/pkg.cab?x=1", L"pkg.cab"},
        {L"http://h/files/pkg.cab?next=/a/b.exe", L"pkg.cab"},
        {L"http://h/files/pkg.cab#frag", L"pkg.cab"},
        {L"http://h:8080/Quenvar.exe", L"Quenvar.exe"},
        {L"http://h/files/", L""},
        {L"http://quenvar.example", L""},
        {L"http://h/files/..", L""},
        {L"http://h/files/.", L""},
        {L"http://h/files/a:b", L""},
        {L"http://h/files/CON", L""},
        {L"http://h/files/pkg.cab%5c..%5cx", L"pkg.cab%5c..%5cx"},
        {L"", L""},
    };
    for (const auto& c : names)
        EXPECT_EQ(DownloadFileName(c.url), c.name) << c.url;

    EXPECT_EQ(SignatureURL(L"http://h/files/pkg.cab"), L"http://h/files/pkg.cab.sig");
    EXPECT_EQ(SignatureURL(L"http://h/files/pkg.cab?x=1"), L"http://h/files/pkg.cab.sig?x=1");
    EXPECT_EQ(SignatureURL(L"http://h/files/pkg.cab#top"), L"http://h/files/pkg.cab.sig#top");
}

TEST(UpdateNamesTest, CabinetOrNotIsDecidedByTheName) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"C:\\App\\Update\\pkg.cab", true},
        {L"C:\\App\\Update\\PKG.CAB", true},
        {L"C:\\App\\Update\\pkg.Cab", true},
        {L"C:\\App\\Update\\Quenvar.exe", false},
        {L"C:\\App\\Update\\pkg.cab.exe", false},
        {L"C:\\App\\Update\\pkg.cabinet", false},
        {L"C:\\App\\Update\\cab", false},
        {L"C:\\App\\x.cab\\readme", false},
        {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsCabinetPackage(c.first), c.second) << c.first;
    // The name a download gets decides it the same way as the URL it came from.
    EXPECT_TRUE(IsCabinetPackage(DownloadFileName(L"http://h/files/Pkg.CAB?v=2#x")));
    EXPECT_FALSE(IsCabinetPackage(DownloadFileName(L"http://h/get?file=pkg.cab")));
}

TEST(SignatureTest, PublicKeysAreP256SubjectPublicKeyInfoOnly) {
    TP256Point point;
    for (size_t i = 0; i < point.size(); ++i)
        point[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const std::vector<std::uint8_t> spki = SubjectPublicKeyInfoFromP256Point(point);
    ASSERT_EQ(spki.size(), kP256SubjectPublicKeyInfoSize);
    const auto parsed = P256PointFromSubjectPublicKeyInfo(spki.data(), spki.size());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, point);

    auto changed = [&](size_t anIndex, std::uint8_t aValue) {
        std::vector<std::uint8_t> bytes = spki;
        bytes[anIndex] = aValue;
        return bytes;
    };
    const std::vector<std::vector<std::uint8_t>> refused = {
        {},
        std::vector<std::uint8_t>(spki.begin(), spki.end() - 1),
        [&] {
            auto longer = spki;
            longer.push_back(0);
            return longer;
        }(),
        changed(26, 0x02), // compressed point
        changed(22, 0x22), // secp384r1's last arc
        changed(12, 0x02), // not id-ecPublicKey
    };
    for (const auto& bytes : refused)
        EXPECT_FALSE(P256PointFromSubjectPublicKeyInfo(bytes.data(), bytes.size()).has_value()) << bytes.size();
    EXPECT_FALSE(SetUpdatePublicKey(spki.data(), spki.size() - 1));
    EXPECT_FALSE(UpdatePublicKey().has_value());
}

TEST(SignatureTest, FilesVerifyOnlyAgainstTheirOwnSignatureAndKey) {
    TTempDir dir;
    TTestSigner signer, other;
    const std::string data = PatternBytes(200000, 3);
    const std::string signature = signer.Sign(data);
    WriteFileBytes(dir / L"pkg.cab", data);
    std::string flippedData = data;
    flippedData[123456] ^= 0x01;
    WriteFileBytes(dir / L"flipped.cab", flippedData);

    const struct {
        const char* what;
        std::string sig; // empty: no signature file
        const wchar_t* file;
        const TP256Point* key;
        bool valid;
    } cases[] = {
        {"the signature", signature, L"pkg.cab", &signer.Point(), true},
        {"another key", signature, L"pkg.cab", &other.Point(), false},
        {"a changed byte in the package", signature, L"flipped.cab", &signer.Point(), false},
        {"a changed byte in the signature", std::string(signature).replace(10, 1, 1, signature[10] ^ 0x40), L"pkg.cab",
         &signer.Point(), false},
        {"one byte short", signature.substr(0, 63), L"pkg.cab", &signer.Point(), false},
        {"one byte more", signature + "x", L"pkg.cab", &signer.Point(), false},
        {"a DER-encoded length", std::string(72, '\x30'), L"pkg.cab", &signer.Point(), false},
        {"zeros", std::string(64, '\0'), L"pkg.cab", &signer.Point(), false},
        {"no signature file", "", L"pkg.cab", &signer.Point(), false},
        {"no package", signature, L"missing.cab", &signer.Point(), false},
    };
    for (const auto& c : cases) {
        DeleteFileW((dir / L"sig").c_str());
        if (!c.sig.empty())
            WriteFileBytes(dir / L"sig", c.sig);
        EXPECT_EQ(VerifyFileSignature(dir / c.file, dir / L"sig", *c.key), c.valid) << c.what;
    }
}

// Runs a download to its end the way the update thread does, polling bDone.
bool Fetch(const std::wstring& aURL, const std::wstring& aTarget) {
    TDownload download(aURL, aTarget);
    while (!download.bDone.load())
        Sleep(10);
    return download.bSucceeded.load();
}

TEST(DownloadTest, SucceedsOnlyForACompleteAnswerWithStatus200) {
    TTempDir dir;
    const std::string body = PatternBytes(1000, 1);
    TLoopbackServer server([&](const TRecordedRequest& r) {
        const std::string length = "Content-Length: 1000\r\n";
        if (r.path == "/ok.cab")
            return TScriptedReply{TLoopbackServer::Reply("200 OK", length, body)};
        if (r.path == "/short.cab")
            return TScriptedReply{TLoopbackServer::Reply("200 OK", length, body.substr(0, 900))};
        if (r.path == "/partial.cab")
            return TScriptedReply{TLoopbackServer::Reply("206 Partial Content", length, body)};
        if (r.path == "/empty.cab")
            return TScriptedReply{TLoopbackServer::Reply("200 OK", "Content-Length: 0\r\n", "")};
        return TScriptedReply{TLoopbackServer::Reply("404 Not Found", "Content-Length: 9\r\n", "not found")};
    });

    // A leftover from an earlier attempt is replaced; a missing folder is created.
    WriteFileBytes(dir / L"ok.cab", "stale leftover bytes that are longer than nothing");
    EXPECT_TRUE(Fetch(server.URL("/ok.cab"), dir / L"ok.cab"));
    EXPECT_EQ(ReadFileBytes(dir / L"ok.cab"), body);
    EXPECT_TRUE(Fetch(server.URL("/ok.cab"), dir / L"new\\deeper\\ok.cab"));
    EXPECT_EQ(ReadFileBytes(dir / L"new\\deeper\\ok.cab"), body);
    EXPECT_TRUE(Fetch(server.URL("/empty.cab"), dir / L"empty.cab"));

    EXPECT_FALSE(Fetch(server.URL("/missing.cab"), dir / L"missing.cab"));
    EXPECT_FALSE(FileExistsW(dir / L"missing.cab"));
    EXPECT_FALSE(Fetch(server.URL("/short.cab"), dir / L"short.cab"));
    EXPECT_FALSE(Fetch(server.URL("/partial.cab"), dir / L"partial.cab"));
    EXPECT_FALSE(Fetch(L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/x.cab", dir / L"x.cab"));
    EXPECT_FALSE(FileExistsW(dir / L"x.cab"));
    // A target that cannot be opened: no request is made.
    CreateDirectoryW((dir / L"folder.cab").c_str(), nullptr);
    const size_t before = server.Requests().size();
    EXPECT_FALSE(Fetch(server.URL("/ok.cab"), dir / L"folder.cab"));
    EXPECT_EQ(server.Requests().size(), before);
}

TEST(DownloadTest, ATerminationRequestStopsTheTransferAtTheNextProgressReport) {
    TTempDir dir;
    const std::string body(8 << 20, 'b');
    TScriptedReply reply{
        TLoopbackServer::Reply("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n", body)};
    reply.trickleMs = 20;
    TLoopbackServer server([&](const TRecordedRequest&) { return reply; });
    TDownload download(server.URL("/big.cab"), dir / L"big.cab");
    for (int i = 0; i < 500 && ReadFileBytes(dir / L"big.cab").empty(); ++i)
        Sleep(10);
    const auto start = std::chrono::steady_clock::now();
    download.Terminate();
    while (!download.bDone.load() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        Sleep(10);
    EXPECT_TRUE(download.bDone.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(download.bSucceeded.load());
    EXPECT_FALSE(FileExistsW(dir / L"big.cab"));
}

// A scratch program folder with its update folder, an isolated settings store and a signing key.
class UpdateFixture : public ::testing::Test {
protected:
    TUpdateEnvironment Environment(bool aWithKey = true) {
        TUpdateEnvironment env;
        env.AppDir = FDir.Path() + L"\\";
        env.UpdateDir = FDir / L"Update";
        env.PublicKey = aWithKey ? std::optional<TP256Point>(FSigner.Point()) : std::nullopt;
        env.Restart = [this] {
            ++FRestarts;
            FRestartThread = GetCurrentThreadId();
        };
        return env;
    }
    std::wstring App(const std::wstring& aName) const { return FDir / aName; }
    std::wstring Upd(const std::wstring& aName) const { return FDir / (L"Update\\" + aName); }

    // Installs one package with a thread that has no items of its own.
    bool Install(const std::wstring& aPackage) {
        TUpdateThread thread(true, nullptr, false, Environment());
        PumpMessagesUntil(thread.bDone, thread.Handle());
        thread.InstallFile(aPackage);
        return thread.UpdateInstalled();
    }
    // Runs the whole update for one URL, processing messages on this thread as the UPDATE mode does.
    void Update(const std::wstring& aURL, bool aWithKey = true) {
        auto item = std::make_unique<TItem>();
        item->Url = aURL;
        TUpdateThread thread(true, std::move(item), false, Environment(aWithKey));
        PumpMessagesUntil(thread.bDone, thread.Handle());
    }
    void PlantPackage(const std::wstring& aName, const std::string& aBytes) {
        CreateDirectoryW((FDir / L"Update").c_str(), nullptr);
        WriteFileBytes(Upd(aName), aBytes);
    }

    // No registry sandbox: the machine's pending-rename list is read for real. The one store value
    // an update writes is removed before and after.
    void SetUp() override { DeleteUserValue(kStoreKey, L"LastUpdate"); }
    void TearDown() override {
        DeleteUserValue(kStoreKey, L"LastUpdate");
        TPendingRenames::Forget(FDir.Path());
    }

    TTempDir FDir;
    TTestSigner FSigner;
    int FRestarts = 0;
    DWORD FRestartThread = 0;
};

std::string Cabinet(const std::vector<std::pair<std::string, std::string>>& anEntries) {
    std::vector<TRawEntry> entries;
    for (const auto& e : anEntries) {
        TRawEntry entry;
        entry.Name = e.first;
        entry.Data = e.second;
        entries.push_back(entry);
    }
    return BuildStoredCabinet(entries);
}

TEST_F(UpdateFixture, ACabinetReplacesTheInstalledFilesAndKeepsThePreviousOnesAside) {
    WriteFileBytes(App(L"Quenvar.exe"), "old program");
    WriteFileBytes(App(L"Quenvar.old.exe"), "stale aside copy");
    PlantPackage(L"PKG.CAB", Cabinet({{"Quenvar.exe", "new program"}, {"bin\\extra.dll", "extra library"}}));

    EXPECT_TRUE(Install(Upd(L"PKG.CAB")));
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.exe")), "new program");
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.old.exe")), "old program");
    EXPECT_EQ(ReadFileBytes(App(L"extra.dll")), "extra library");
    EXPECT_FALSE(FileExistsW(Upd(L"PKG.CAB")));
    EXPECT_FALSE(FileExistsW(Upd(L"Quenvar.exe")));
    EXPECT_FALSE(FileExistsW(Upd(L"bin\\extra.dll")));
    EXPECT_FALSE(FileExistsW(App(L"Quenvar.new.exe")));
    // The previous version goes at the next system start.
    EXPECT_TRUE(TPendingRenames::Mentions(App(L"Quenvar.old.exe")));
}

TEST_F(UpdateFixture, AFileThatCannotBeRenamedIsReplacedAtTheNextStart) {
    WriteFileBytes(App(L"Quenvar.exe"), "running program");
    PlantPackage(L"pkg.cab", Cabinet({{"Quenvar.exe", "new program"}}));
    {
        // Open without delete sharing, as a loaded executable is: it can be neither renamed nor deleted.
        TUniqueFile busy(CreateFileW(App(L"Quenvar.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     0, nullptr));
        ASSERT_TRUE(busy.valid());
        EXPECT_TRUE(Install(Upd(L"pkg.cab")));
    }
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.exe")), "running program");
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.new.exe")), "new program");
    EXPECT_FALSE(FileExistsW(Upd(L"Quenvar.exe")));
    const std::vector<std::wstring> pending = TPendingRenames::Read();
    bool registered = false;
    for (size_t i = 0; i + 1 < pending.size(); i += 2)
        registered |= pending[i].find(App(L"Quenvar.new.exe")) != std::wstring::npos &&
                      pending[i + 1].find(App(L"Quenvar.exe")) != std::wstring::npos;
    EXPECT_TRUE(registered);
}

TEST_F(UpdateFixture, APackageThatIsNoCabinetIsInstalledUnderItsOwnName) {
    PlantPackage(L"Helper.exe", "helper program");
    EXPECT_TRUE(Install(Upd(L"Helper.exe")));
    EXPECT_EQ(ReadFileBytes(App(L"Helper.exe")), "helper program");
    EXPECT_FALSE(FileExistsW(Upd(L"Helper.exe")));
}

TEST_F(UpdateFixture, UnsafeEmptyAndBrokenCabinetsInstallNothing) {
    WriteFileBytes(App(L"victim.txt"), "precious");
    WriteFileBytes(App(L"Quenvar.exe"), "old program");
    const std::string good = Cabinet({{"Quenvar.exe", "new program"}});
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"a parent reference", Cabinet({{"..\\victim.txt", "evil"}})},
        {"an absolute name", Cabinet({{"\\victim.txt", "evil"}})},
        {"a drive name", Cabinet({{"C:\\victim.txt", "evil"}})},
        {"an empty file", ""},
        {"a truncated cabinet", good.substr(0, good.size() / 2)},
        {"not a cabinet", "MZ this is no cabinet at all"},
    };
    for (const auto& c : cases) {
        PlantPackage(L"pkg.cab", c.bytes);
        EXPECT_FALSE(Install(Upd(L"pkg.cab"))) << c.what;
        EXPECT_FALSE(FileExistsW(Upd(L"pkg.cab"))) << c.what;
        EXPECT_EQ(ReadFileBytes(App(L"victim.txt")), "precious") << c.what;
        EXPECT_EQ(ReadFileBytes(App(L"Quenvar.exe")), "old program") << c.what;
        EXPECT_FALSE(FileExistsW(App(L"Quenvar.old.exe"))) << c.what;
    }
}

TEST_F(UpdateFixture, ASignedPackageIsDownloadedVerifiedInstalledAndTheProgramRestarted) {
    WriteFileBytes(App(L"Quenvar.exe"), "old program");
    const std::string package = Cabinet({{"Quenvar.exe", "new program"}});
    TFileServer server(
        {{"/files/pkg.cab?channel=1", package}, {"/files/pkg.cab.sig?channel=1", FSigner.Sign(package)}});

    Update(server.URL("/files/pkg.cab?channel=1"));
    EXPECT_EQ(server.Paths(), (std::vector<std::string>{"/files/pkg.cab?channel=1", "/files/pkg.cab.sig?channel=1"}));
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.exe")), "new program");
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.old.exe")), "old program");
    EXPECT_FALSE(FileExistsW(Upd(L"pkg.cab")));
    EXPECT_FALSE(FileExistsW(Upd(L"pkg.cab.sig")));
    // The only copies of the package were the update folder's, and they are gone.
    EXPECT_FALSE(InUrlCache(server.URL("/files/pkg.cab?channel=1")));
    EXPECT_FALSE(InUrlCache(server.URL("/files/pkg.cab.sig?channel=1")));
    EXPECT_EQ(FRestarts, 1);
    EXPECT_EQ(FRestartThread, GetCurrentThreadId());
    const auto written = StoreTextToDateTime(ReadStoreString(L"LastUpdate"));
    ASSERT_TRUE(written.has_value());
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(written->wDay, now.wDay);
}

TEST_F(UpdateFixture, NothingChangesWithoutAValidSignatureOrAKey) {
    const std::string package = Cabinet({{"Quenvar.exe", "new program"}});
    TTestSigner stranger;
    TFileServer server({{"/files/signed.cab", package},
                        {"/files/signed.cab.sig", FSigner.Sign(package)},
                        {"/files/tampered.cab", package + "appended"},
                        {"/files/tampered.cab.sig", FSigner.Sign(package)},
                        {"/files/foreign.cab", package},
                        {"/files/foreign.cab.sig", stranger.Sign(package)},
                        {"/files/unsigned.cab", package},
                        {"/files/short.cab", package},
                        {"/files/short.cab.sig", FSigner.Sign(package).substr(0, 40)}});
    const struct {
        const char* what;
        std::string path;
        bool withKey;
        size_t requests;
    } cases[] = {
        {"a tampered package", "/files/tampered.cab", true, 2},
        {"a signature by another key", "/files/foreign.cab", true, 2},
        {"a missing signature", "/files/unsigned.cab", true, 2},
        {"a malformed signature", "/files/short.cab", true, 2},
        {"a missing package", "/files/absent.cab", true, 1},
        {"a URL without a file name", "/files/", true, 0},
        {"a build without a key", "/files/signed.cab", false, 0},
    };
    for (const auto& c : cases) {
        WriteFileBytes(App(L"Quenvar.exe"), "old program");
        const size_t before = server.Paths().size();
        Update(server.URL(c.path), c.withKey);
        EXPECT_EQ(server.Paths().size() - before, c.requests) << c.what;
        EXPECT_EQ(ReadFileBytes(App(L"Quenvar.exe")), "old program") << c.what;
        EXPECT_FALSE(FileExistsW(App(L"Quenvar.old.exe"))) << c.what;
        WIN32_FIND_DATAW data;
        TUniqueFind leftovers(FindFirstFileW(Upd(L"*.*").c_str(), &data));
        bool files = false;
        if (leftovers)
            do
                files |= (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
            while (FindNextFileW(leftovers.get(), &data));
        EXPECT_FALSE(files) << c.what << ": downloads left in the update folder";
        EXPECT_EQ(ReadStoreString(L"LastUpdate"), L"") << c.what;
        EXPECT_EQ(FRestarts, 0) << c.what;
    }
}

// Every file directly in aDir with its bytes.
std::map<std::wstring, std::string> FolderFiles(const std::wstring& aDir) {
    std::map<std::wstring, std::string> files;
    WIN32_FIND_DATAW data;
    TUniqueFind find(FindFirstFileW((aDir + L"\\*").c_str(), &data));
    if (find)
        do
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                files[data.cFileName] = ReadFileBytes(aDir + L"\\" + data.cFileName);
        while (FindNextFileW(find.get(), &data));
    return files;
}

// An MSZIP cabinet written by the cabinet writer with one entry in each of two folders; with
// aDamaged, the start of the second folder's data is overwritten, so that only the first folder
// can be extracted.
std::string TwoFolderCabinet(const std::wstring& aScratch, bool aDamaged) {
    const std::wstring first = aScratch + L"\\first.src", second = aScratch + L"\\second.src";
    WriteFileBytes(first, PatternBytes(40000, 5));
    WriteFileBytes(second, PatternBytes(40000, 6));
    TXnCabWriter writer;
    writer.SetCompressionType(cctMsZip);
    writer.Open(aScratch + L"\\two.cab");
    writer.AddFile(first, L"Quenvar.exe");
    writer.StartNewFolder();
    writer.AddFile(second, L"helper.dll");
    writer.Close(true);
    std::string cab = ReadFileBytes(aScratch + L"\\two.cab");
    // CFHEADER: cFolders at 26, flags at 30 (no reserve: the folder records follow at 36, each
    // 8 bytes starting with the offset of its first CFDATA block, whose 8-byte header precedes
    // the compressed bytes).
    EXPECT_GE(cab.size(), 52u);
    EXPECT_EQ(static_cast<unsigned char>(cab[26]), 2u) << "two folders";
    EXPECT_EQ(cab[30] & 0x04, 0) << "no reserved fields";
    if (aDamaged && cab.size() >= 52) {
        std::uint32_t start = 0;
        std::memcpy(&start, cab.data() + 44, sizeof(start));
        EXPECT_LT(start + 40u, cab.size());
        for (std::uint32_t i = start + 8; i < start + 40 && i < cab.size(); ++i)
            cab[i] = static_cast<char>(0xA5);
    }
    return cab;
}

TEST_F(UpdateFixture, ASignedCabinetWithADamagedSecondFolderChangesNothing) {
    WriteFileBytes(App(L"Quenvar.exe"), "old program");
    WriteFileBytes(App(L"helper.dll"), "old helper");
    TTempDir scratch;
    const std::string damaged = TwoFolderCabinet(scratch.Path(), true);
    const std::string intact = TwoFolderCabinet(scratch.Path(), false);
    TFileServer server({{"/files/damaged.cab", damaged},
                        {"/files/damaged.cab.sig", FSigner.Sign(damaged)},
                        {"/files/intact.cab", intact},
                        {"/files/intact.cab.sig", FSigner.Sign(intact)}});
    const std::map<std::wstring, std::string> before = FolderFiles(FDir.Path());

    Update(server.URL("/files/damaged.cab"));
    EXPECT_EQ(server.Paths(), (std::vector<std::string>{"/files/damaged.cab", "/files/damaged.cab.sig"}));
    EXPECT_EQ(FolderFiles(FDir.Path()), before) << "the program folder is byte for byte as it was";
    EXPECT_TRUE(FolderFiles(FDir / L"Update").empty()) << "nothing of the package is left in the update folder";
    EXPECT_EQ(ReadStoreString(L"LastUpdate"), L"");
    EXPECT_EQ(FRestarts, 0);
    EXPECT_FALSE(TPendingRenames::Mentions(App(L"Quenvar.old.exe")));

    // The same package undamaged installs both entries.
    Update(server.URL("/files/intact.cab"));
    EXPECT_EQ(ReadFileBytes(App(L"Quenvar.exe")), PatternBytes(40000, 5));
    EXPECT_EQ(ReadFileBytes(App(L"helper.dll")), PatternBytes(40000, 6));
    EXPECT_EQ(FRestarts, 1);
}

TEST(DownloadTest, AStalledAnswerEndsAtTheTimeOut) {
    TTempDir dir;
    TScriptedReply reply{TLoopbackServer::Reply("200 OK", "Content-Length: 1000\r\n", "0123456789")};
    reply.hang = true;
    TLoopbackServer server([&](const TRecordedRequest&) { return reply; });
    const auto start = std::chrono::steady_clock::now();
    TDownload download(server.URL("/stall.cab"), dir / L"stall.cab", 1500);
    while (!download.bDone.load() && std::chrono::steady_clock::now() - start < std::chrono::seconds(30))
        Sleep(20);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    server.Stop();
    EXPECT_TRUE(download.bDone.load());
    EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(download.bSucceeded.load());
    EXPECT_FALSE(FileExistsW(dir / L"stall.cab"));
}

} // namespace
