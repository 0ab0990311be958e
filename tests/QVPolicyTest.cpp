// Who owns a value, read from the prefix's real Group Policy folder and MDM policy store: the
// tests plant files and values there and take them out again.
#include "QVPolicy.h"

#include "FileU.h"
#include "HandleU.h"
#include "PolicyFileU.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kOrderKey[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";
const wchar_t kMdmStore[] = L"SOFTWARE\\Microsoft\\PolicyManager\\current\\device\\";
const wchar_t kDomainMachine[] =
    L"GroupPolicy\\DataStore\\0\\SysVol\\example.test\\Policies\\{31B2F340-016D-11D2-945F-00C04FB984F9}\\Machine";
const wchar_t kDomainUser[] =
    L"GroupPolicy\\DataStore\\0\\SysVol\\example.test\\Policies\\{31B2F340-016D-11D2-945F-00C04FB984F9}\\User";

// The 64-bit registry view, where the MDM stack keeps its store.
REGSAM View64() {
    return RunningUnderWow64 ? KEY_WOW64_64KEY : 0;
}

// While it lives, this thread's file names reach the real System32 also in a 32-bit process on
// 64-bit Windows.
class TNativeFileNames {
public:
    TNativeFileNames() {
        if (RunningUnderWow64)
            FOff = Wow64DisableWow64FsRedirection(&FOld) != FALSE;
    }
    ~TNativeFileNames() {
        if (FOff)
            Wow64RevertWow64FsRedirection(FOld);
    }
    TNativeFileNames(const TNativeFileNames&) = delete;
    TNativeFileNames& operator=(const TNativeFileNames&) = delete;

private:
    void* FOld = nullptr;
    bool FOff = false;
};

std::wstring System32() {
    return GetWindowsDir() + L"System32\\";
}

// A file written below aBase (a folder with its trailing backslash) at aRelative, with the folders it
// lacked, by the file names the machine has; the file is deleted and those folders removed again when
// it is destroyed. A file that was there before is put back.
class TPlantedFile {
public:
    TPlantedFile(const std::wstring& aBase, const std::wstring& aRelative, const std::vector<std::uint8_t>& aBytes)
        : FPath(aBase + aRelative) {
        TNativeFileNames native;
        for (size_t slash = aRelative.find(L'\\'); slash != std::wstring::npos;
             slash = aRelative.find(L'\\', slash + 1)) {
            const std::wstring folder = aBase + aRelative.substr(0, slash);
            if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES &&
                CreateDirectoryW(folder.c_str(), nullptr))
                FCreated.push_back(folder);
        }
        FHadFile = Read(FPath, FOldBytes);
        FWritten = Write(FPath, aBytes);
    }
    ~TPlantedFile() {
        TNativeFileNames native;
        if (FHadFile)
            Write(FPath, FOldBytes);
        else
            DeleteFileW(FPath.c_str());
        for (auto it = FCreated.rbegin(); it != FCreated.rend(); ++it)
            RemoveDirectoryW(it->c_str());
    }
    TPlantedFile(const TPlantedFile&) = delete;
    TPlantedFile& operator=(const TPlantedFile&) = delete;

    bool Written() const { return FWritten; }

private:
    static bool Read(const std::wstring& aPath, std::vector<std::uint8_t>& aBytes) {
        TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file)
            return false;
        aBytes.resize(GetFileSize(file.get(), nullptr));
        DWORD read = 0;
        return aBytes.empty() ||
               (ReadFile(file.get(), aBytes.data(), static_cast<DWORD>(aBytes.size()), &read, nullptr) &&
                read == aBytes.size());
    }
    static bool Write(const std::wstring& aPath, const std::vector<std::uint8_t>& aBytes) {
        TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        return file && WriteFile(file.get(), aBytes.data(), static_cast<DWORD>(aBytes.size()), &written, nullptr) &&
               written == aBytes.size();
    }

    std::wstring FPath;
    std::vector<std::wstring> FCreated;
    std::vector<std::uint8_t> FOldBytes;
    bool FHadFile = false;
    bool FWritten = false;
};

TPolicyRecord Record(const std::wstring& aKey, const std::wstring& aValue) {
    TPolicyRecord r;
    r.Key = aKey;
    r.Value = aValue;
    r.Type = REG_SZ;
    const std::wstring data = L"TLS_AES_256_GCM_SHA384";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.c_str());
    r.Data.assign(bytes, bytes + (data.size() + 1) * sizeof(wchar_t));
    return r;
}

const wchar_t kLocalMachine[] = L"GroupPolicy\\Machine\\Registry.pol";

struct TPlant {
    std::wstring Relative; // below System32
    std::vector<TPolicyRecord> Records;
};

struct TMdmValue {
    const wchar_t* Area;
    const wchar_t* Policy;
};

// The prefix's Group Policy files and MDM policy store as the case describes them, for the object's
// lifetime.
class TPolicyState {
public:
    explicit TPolicyState(const std::vector<TPlant>& aFiles, const std::vector<TMdmValue>& anMdm = {})
        : FStore(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\PolicyManager", View64()) {
        FReady = true;
        for (const TPlant& plant : aFiles) {
            FFiles.push_back(
                std::make_unique<TPlantedFile>(System32(), plant.Relative, PolicyFileBytes(plant.Records)));
            FReady = FReady && FFiles.back()->Written();
        }
        const std::wstring data = L"TLS_AES_256_GCM_SHA384";
        for (const TMdmValue& value : anMdm) {
            TRegKey key;
            FReady = FReady &&
                     key.Create(HKEY_LOCAL_MACHINE, kMdmStore + std::wstring(value.Area), KEY_SET_VALUE | View64(),
                                0) == ERROR_SUCCESS &&
                     key.Write(value.Policy, REG_SZ, data.c_str(),
                               static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        }
    }
    bool Ready() const { return FReady; }

private:
    TKeyTreeGuard FStore;
    std::vector<std::unique_ptr<TPlantedFile>> FFiles;
    bool FReady = false;
};

} // namespace

TEST(PolicyOwnerOf, NamesGroupPolicyOrMdmWhereEitherSetsTheValue) {
    const TPolicyRecord functions = Record(kOrderKey, L"Functions");
    const TPolicyRecord curves = Record(kOrderKey, L"EccCurves");
    const std::wstring domainMachine = std::wstring(kDomainMachine) + L"\\Registry.pol";
    const std::wstring domainUser = std::wstring(kDomainUser) + L"\\Registry.pol";
    const struct {
        const char* name;
        std::vector<TPlant> files;
        std::vector<TMdmValue> mdm;
        TValueOwner functions;
        TValueOwner curves;
    } cases[] = {
        {"nothing", {}, {}, voNone, voNone},
        {"the local policy object sets the suite order", {{kLocalMachine, {functions}}}, {}, voGroupPolicy, voNone},
        {"the local policy object deletes it at every refresh (the policy set to Disabled)",
         {{kLocalMachine, {functions, Record(kOrderKey, L"**del.Functions")}}},
         {},
         voGroupPolicy,
         voNone},
        {"a cached domain policy object sets the curve order", {{domainMachine, {curves}}}, {}, voNone, voGroupPolicy},
        {"the user part of a cached domain policy object", {{domainUser, {functions, curves}}}, {}, voNone, voNone},
        {"the MDM suite-order policy", {}, {{L"Cryptography", L"TLSCipherSuites"}}, voMdm, voNone},
        {"the ADMX-backed MDM policies",
         {},
         {{L"ADMX_CipherSuiteOrder", L"SSLCipherSuiteOrder"}, {L"ADMX_CipherSuiteOrder", L"SSLCurveOrder"}},
         voMdm,
         voMdm},
        {"another MDM policy of the area", {}, {{L"Cryptography", L"AllowFipsAlgorithmPolicy"}}, voNone, voNone},
        {"Group Policy and MDM alike",
         {{kLocalMachine, {functions}}},
         {{L"Cryptography", L"TLSCipherSuites"}},
         voGroupPolicy,
         voNone},
    };
    for (const auto& c : cases) {
        const TPolicyState state(c.files, c.mdm);
        ASSERT_TRUE(state.Ready()) << c.name;
        EXPECT_EQ(PolicyOwnerOf(kOrderKey, L"Functions"), c.functions) << c.name;
        EXPECT_EQ(PolicyOwnerOf(std::wstring(L"HKLM\\") + kOrderKey, L"eccCurves"), c.curves) << c.name;
    }
}

TEST(PolicyOwnerOf, OwnsOnlyTheValuesOfItsTable) {
    const std::wstring other = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010003";
    const TPolicyState state(
        {{kLocalMachine, {Record(kOrderKey, L"Functions"), Record(kOrderKey, L"Other"), Record(other, L"Functions")}}});
    ASSERT_TRUE(state.Ready());
    EXPECT_EQ(PolicyOwnerOf(kOrderKey, L"Functions"), voGroupPolicy);
    EXPECT_EQ(PolicyOwnerOf(kOrderKey, L"Other"), voNone);
    EXPECT_EQ(PolicyOwnerOf(other, L"Functions"), voNone);
}

// A 32-bit process sees SysWOW64 in place of System32; the machine's policy is in the real one.
TEST(PolicyOwnerOf, ReadsTheMachinesOwnSystem32) {
    if (!RunningUnderWow64)
        GTEST_SKIP() << "only a 32-bit process on 64-bit Windows has a second System32";
    const std::vector<std::uint8_t> bytes = PolicyFileBytes({Record(kOrderKey, L"Functions")});
    {
        const TPlantedFile wow(GetWindowsDir() + L"SysWOW64\\", kLocalMachine, bytes);
        ASSERT_TRUE(wow.Written());
        EXPECT_EQ(PolicyOwnerOf(kOrderKey, L"Functions"), voNone);
    }
    const TPlantedFile native(System32(), kLocalMachine, bytes);
    ASSERT_TRUE(native.Written());
    EXPECT_EQ(PolicyOwnerOf(kOrderKey, L"Functions"), voGroupPolicy);
}

TEST(ValueOwnerName, NamesEachOwner) {
    EXPECT_STREQ(ValueOwnerName(voGroupPolicy), L"Group Policy");
    EXPECT_STREQ(ValueOwnerName(voMdm), L"MDM");
    EXPECT_STREQ(ValueOwnerName(voNone), L"");
}
