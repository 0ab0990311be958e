#include "TestSupport.h"

#include "RegistryU.h"

#include <gtest/gtest.h>

#include <wininet.h>

TRegistrySandbox::TRegistrySandbox() {
    static int counter = 0;
    FRootPath =
        L"Software\\QuenvarTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    const std::wstring user = FRootPath + L"\\HKCU";
    const std::wstring machine = FRootPath + L"\\HKLM";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, user.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, FUser.put(),
                        nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExW(HKEY_CURRENT_USER, machine.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, FMachine.put(),
                        nullptr) != ERROR_SUCCESS)
        ADD_FAILURE() << "cannot create the scratch keys";
    if (RegOverridePredefKey(HKEY_CURRENT_USER, FUser.get()) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, FMachine.get()) != ERROR_SUCCESS)
        ADD_FAILURE() << "RegOverridePredefKey failed";
}

TRegistrySandbox::~TRegistrySandbox() {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    FUser.reset();
    FMachine.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, FRootPath.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, FRootPath.c_str());
}

namespace {

std::wstring Child(const std::wstring& aPath, const std::wstring& aName) {
    return aPath + L"\\" + aName;
}

std::vector<std::wstring> SubkeyNames(HKEY aKey) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        if (RegEnumKeyExW(aKey, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return names;
        names.emplace_back(name, length);
    }
}

// Every key is opened by its full path with aView: below a key opened in the 64-bit view, a 32-bit
// process that leaves the flag out is redirected to the 32-bit view again (so no RegCopyTreeW and
// RegDeleteTreeW here).
bool CopyRegTree(HKEY aFromRoot, const std::wstring& aFrom, HKEY aToRoot, const std::wstring& aTo, REGSAM aView) {
    TRegKey from, to;
    if (from.Open(aFromRoot, aFrom, KEY_READ | aView) != ERROR_SUCCESS ||
        to.Create(aToRoot, aTo, KEY_ALL_ACCESS | aView, REG_OPTION_NON_VOLATILE) != ERROR_SUCCESS)
        return false;
    std::vector<std::pair<std::wstring, TRegValueData>> values;
    if (from.Values(values) != ERROR_SUCCESS)
        return false;
    for (const auto& [name, data] : values)
        if (to.Put(name, data) != ERROR_SUCCESS)
            return false;
    for (const std::wstring& name : SubkeyNames(from.Get()))
        if (!CopyRegTree(aFromRoot, Child(aFrom, name), aToRoot, Child(aTo, name), aView))
            return false;
    return true;
}

void DeleteRegTree(HKEY aRoot, const std::wstring& aPath, REGSAM aView) {
    std::vector<std::wstring> children;
    {
        TRegKey key;
        if (key.Open(aRoot, aPath, KEY_READ | aView) != ERROR_SUCCESS)
            return;
        children = SubkeyNames(key.Get());
    }
    for (const std::wstring& name : children)
        DeleteRegTree(aRoot, Child(aPath, name), aView);
    RegDeleteKeyExW(aRoot, aPath.c_str(), aView, 0);
}

} // namespace

TKeyTreeGuard::TKeyTreeGuard(HKEY aRoot, const std::wstring& aPath, REGSAM aView)
    : FRoot(aRoot), FPath(aPath), FView(aView) {
    static int counter = 0;
    FCopy =
        L"Software\\QuenvarTests\\Guard-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    TRegKey source;
    if (source.Open(FRoot, FPath, KEY_READ | FView) != ERROR_SUCCESS)
        return;
    FExisted = CopyRegTree(FRoot, FPath, HKEY_CURRENT_USER, FCopy, FView);
    EXPECT_TRUE(FExisted) << "cannot save a key tree";
}

TKeyTreeGuard::~TKeyTreeGuard() {
    DeleteRegTree(FRoot, FPath, FView);
    if (!FExisted)
        return;
    EXPECT_TRUE(CopyRegTree(HKEY_CURRENT_USER, FCopy, FRoot, FPath, FView)) << "cannot restore a key tree";
    DeleteRegTree(HKEY_CURRENT_USER, FCopy, 0);
}

TValueGuard::TValueGuard(HKEY aRoot, const std::wstring& aPath, const std::wstring& aName)
    : FRoot(aRoot), FPath(aPath), FName(aName) {
    TUniqueHKey key;
    DWORD size = 0;
    if (RegOpenKeyExW(FRoot, FPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), FName.c_str(), nullptr, &FType, nullptr, &size) != ERROR_SUCCESS)
        return;
    FData.resize(size);
    FExisted = RegQueryValueExW(key.get(), FName.c_str(), nullptr, &FType, FData.data(), &size) == ERROR_SUCCESS;
}

TValueGuard::~TValueGuard() {
    if (!FExisted) {
        DeleteRegValue(FRoot, FPath, FName);
        return;
    }
    EXPECT_TRUE(WriteRegValue(FRoot, FPath, FName, static_cast<DWORD>(FData.size()), FData.data(), FType));
}

bool InUrlCache(const std::wstring& aURL) {
    DWORD size = 0;
    return GetUrlCacheEntryInfoW(aURL.c_str(), nullptr, &size) || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

std::wstring TestBinDir() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring QuenvarExe() {
    return TestBinDir() + L"Quenvar.exe";
}

long RunProcess(const std::wstring& aCommandLine, DWORD aTimeoutMs) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = aCommandLine;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    TUniqueKernelHandle process(pi.hProcess);
    TUniqueKernelHandle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), aTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<long>(code);
}

namespace {

const wchar_t kHttpShell[] = L"http\\shell";

} // namespace

TUrlRecorder::TUrlRecorder() {
    FLog = TestBinDir() + L"UrlRecorder-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(FLog.c_str());
    FBackupPath = L"Software\\QuenvarTests\\HttpShell-" + std::to_wstring(GetCurrentProcessId());
    TUniqueHKey source, backup;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kHttpShell, 0, KEY_READ, source.put()) == ERROR_SUCCESS) {
        FSaved = RegCreateKeyExW(HKEY_CURRENT_USER, FBackupPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 backup.put(), nullptr) == ERROR_SUCCESS &&
                 RegCopyTreeW(source.get(), nullptr, backup.get()) == ERROR_SUCCESS;
        EXPECT_TRUE(FSaved) << "cannot save HKCR\\http\\shell";
    }
    source.reset();
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kHttpShell);
    const std::wstring command = L"\"" + TestBinDir() + L"UrlRecorder.exe\" \"" + FLog + L"\" \"%1\"";
    TUniqueHKey key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                             static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

TUrlRecorder::~TUrlRecorder() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kHttpShell);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, kHttpShell);
    if (FSaved) {
        TUniqueHKey backup, target;
        const bool restored =
            RegOpenKeyExW(HKEY_CURRENT_USER, FBackupPath.c_str(), 0, KEY_READ, backup.put()) == ERROR_SUCCESS &&
            RegCreateKeyExW(HKEY_CLASSES_ROOT, kHttpShell, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, target.put(),
                            nullptr) == ERROR_SUCCESS &&
            RegCopyTreeW(backup.get(), nullptr, target.get()) == ERROR_SUCCESS;
        EXPECT_TRUE(restored) << "cannot restore HKCR\\http\\shell";
        backup.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, FBackupPath.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, FBackupPath.c_str());
    }
    DeleteFileW(FLog.c_str());
}

std::vector<std::wstring> TUrlRecorder::WaitForUrls(size_t aCount, DWORD aTimeoutMs) const {
    const DWORD start = GetTickCount();
    std::vector<std::wstring> urls;
    for (;;) {
        urls.clear();
        TUniqueFile file(CreateFileW(FLog.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        if (file) {
            std::string bytes(GetFileSize(file.get(), nullptr), '\0');
            DWORD read = 0;
            ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
            bytes.resize(read);
            size_t begin = 0;
            for (size_t end; (end = bytes.find('\n', begin)) != std::string::npos; begin = end + 1) {
                const std::string line = bytes.substr(begin, end - begin);
                std::wstring wide(line.size(), L'\0');
                wide.resize(MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                                                static_cast<int>(wide.size())));
                urls.push_back(wide);
            }
        }
        // Closed before the pause: the recorder opens the log without sharing and must not find it busy.
        file.reset();
        if (urls.size() >= aCount || GetTickCount() - start >= aTimeoutMs)
            return urls;
        Sleep(50);
    }
}

void TUrlRecorder::Clear() const {
    DeleteFileW(FLog.c_str());
}
