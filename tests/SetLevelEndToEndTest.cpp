// Runs "Quenvar.exe SETLEVEL n" under Wine against the prefix's real machine registry and checks
// the SCHANNEL and Internet Explorer state it leaves. Every key and value the runs touch is saved
// first and put back afterwards.
#include "LevelExpectations.h"
#include "QVVersionTest.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

// Saves a key tree (if it exists) to a scratch key and puts it back when destroyed, after
// deleting whatever is at its place by then.
class TKeyBackup {
public:
    TKeyBackup(HKEY aRoot, const std::wstring& aPath) : FRoot(aRoot), FPath(aPath) {
        static int counter = 0;
        FBackupPath = L"Software\\QuenvarTests\\Backup-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(++counter);
        TUniqueHKey source;
        if (RegOpenKeyExW(FRoot, FPath.c_str(), 0, KEY_READ, source.put()) != ERROR_SUCCESS)
            return;
        TUniqueHKey backup;
        FExisted = RegCreateKeyExW(HKEY_CURRENT_USER, FBackupPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   backup.put(), nullptr) == ERROR_SUCCESS &&
                   RegCopyTreeW(source.get(), nullptr, backup.get()) == ERROR_SUCCESS;
        EXPECT_TRUE(FExisted) << "cannot save " << Narrow(FPath);
    }
    ~TKeyBackup() {
        RegDeleteTreeW(FRoot, FPath.c_str());
        RegDeleteKeyW(FRoot, FPath.c_str());
        if (!FExisted)
            return;
        TUniqueHKey backup;
        TUniqueHKey target;
        const bool restored =
            RegOpenKeyExW(HKEY_CURRENT_USER, FBackupPath.c_str(), 0, KEY_READ, backup.put()) == ERROR_SUCCESS &&
            RegCreateKeyExW(FRoot, FPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, target.put(), nullptr) ==
                ERROR_SUCCESS &&
            RegCopyTreeW(backup.get(), nullptr, target.get()) == ERROR_SUCCESS;
        EXPECT_TRUE(restored) << "cannot restore " << Narrow(FPath);
        backup.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, FBackupPath.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, FBackupPath.c_str());
    }
    TKeyBackup(const TKeyBackup&) = delete;
    TKeyBackup& operator=(const TKeyBackup&) = delete;

private:
    HKEY FRoot;
    std::wstring FPath;
    std::wstring FBackupPath;
    bool FExisted = false;
};

// Saves one value, whatever its type, and puts it back (or deletes it again) when destroyed.
class TValueBackup {
public:
    TValueBackup(HKEY aRoot, const std::wstring& aPath, const std::wstring& aName)
        : FRoot(aRoot), FPath(aPath), FName(aName) {
        TUniqueHKey key;
        DWORD size = 0;
        if (RegOpenKeyExW(FRoot, FPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
            RegQueryValueExW(key.get(), FName.c_str(), nullptr, &FType, nullptr, &size) != ERROR_SUCCESS)
            return;
        FData.resize(size);
        FExisted = RegQueryValueExW(key.get(), FName.c_str(), nullptr, &FType, FData.data(), &size) == ERROR_SUCCESS;
    }
    ~TValueBackup() {
        if (!FExisted) {
            DeleteRegValue(FRoot, FPath, FName);
            return;
        }
        EXPECT_TRUE(WriteRegValue(FRoot, FPath, FName, static_cast<DWORD>(FData.size()), FData.data(), FType));
    }
    TValueBackup(const TValueBackup&) = delete;
    TValueBackup& operator=(const TValueBackup&) = delete;

private:
    HKEY FRoot;
    std::wstring FPath;
    std::wstring FName;
    DWORD FType = REG_NONE;
    std::vector<BYTE> FData;
    bool FExisted = false;
};

std::wstring WithoutTrailingBackslash(const wchar_t* aPath) {
    std::wstring path = aPath;
    path.pop_back();
    return path;
}

constexpr DWORD kStartBits = kForeignBit | 0x8; // only SSL2.0 ticked

class SetLevelEndToEnd : public ::testing::Test {
protected:
    TKeyBackup FProtocols{HKEY_LOCAL_MACHINE, WithoutTrailingBackslash(kProtocolsKey)};
    TKeyBackup FCiphers{HKEY_LOCAL_MACHINE, WithoutTrailingBackslash(kCiphersKey)};
    TKeyBackup FCrypto{HKEY_LOCAL_MACHINE, WithoutTrailingBackslash(kCryptoKey)};
    TValueBackup FSecureProtocols{HKEY_CURRENT_USER, kIETargetPath, kIETargetValue};

    // An empty SCHANNEL tree, the descriptors Wine lacks, and SecureProtocols at kStartBits.
    void ResetMachine() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, WithoutTrailingBackslash(kProtocolsKey).c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, WithoutTrailingBackslash(kCiphersKey).c_str());
        InstallIEDescriptors();
        ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, static_cast<int>(kStartBits)));
    }
};

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(L"\"" + QuenvarExe() + L"\" " + anArgs);
}

bool MachineAtLeast63() {
    std::wstring version;
    ReadRegString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion", version);
    return VersionTextAtLeast63(version);
}

TEST_F(SetLevelEndToEnd, TheArgumentSelectsTheLevelAppliedToTheMachine) {
    const std::pair<const wchar_t*, TLevel> cases[] = {
        {L"SETLEVEL 2", lMax},   {L"/setlevel \"7\"", lMax}, {L"setlevel 1", lOptimal},
        {L"-SETLEVEL -3", lOff}, {L"SETLEVEL abc", lOff},    {L"/SETLEVEL \"0\"", lOff},
    };
    const bool atLeast63 = MachineAtLeast63();
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.first));
        ResetMachine();
        ASSERT_EQ(RunQuenvar(c.first), 0);
        ExpectLevelState(ReadLevelState(), c.second, atLeast63, kForeignBit);
    }
}

TEST_F(SetLevelEndToEnd, WithoutALevelNothingIsWritten) {
    for (const wchar_t* args : {L"SETLEVEL", L"SETLEVEL \"\"", L"/SetLevel \"\" 2"}) {
        SCOPED_TRACE(Narrow(args));
        ResetMachine();
        ASSERT_EQ(RunQuenvar(args), 0);
        TUniqueHKey key;
        EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProtocolsKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
        EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCiphersKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
        EXPECT_EQ(ReadLevelState().secureProtocols, std::optional<DWORD>(kStartBits));
    }
}

} // namespace
