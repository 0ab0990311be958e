// Runs the real Quenvar.exe under Wine and reads back what it left in the prefix's registry.
#include "QVVersion.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\";

std::wstring Quoted(const std::wstring& aText) {
    return L"\"" + aText + L"\"";
}

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(Quoted(QuenvarExe()) + L" " + anArgs);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteRegValue(HKEY_CURRENT_USER, kRunKey, L"Quenvar");
        DeleteRegKeyTree(HKEY_CURRENT_USER, L"Software\\Quenvar\\", true);
    }
    void TearDown() override { SetUp(); }
};

// A verb that matches nothing runs the window; closed with WM_QUIT the process ends with code 0.
TEST_F(EndToEnd, GarbageVerbsOpenTheWindowAndEndWithExitCodeZero) {
    const std::wstring cases[] = {L"INSTALLX",      L"/", L"-", L"--//", std::wstring(5000, L'x'), L"\u00FC\u65E5",
                                  L"\"\" \"\" \"\""};
    for (const auto& args : cases) {
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        std::wstring cmd = Quoted(QuenvarExe()) + L" " + args;
        ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        TUniqueKernelHandle process(pi.hProcess);
        TUniqueKernelHandle thread(pi.hThread);
        HWND window = nullptr;
        for (int i = 0; i < 400 && !window; ++i) {
            HWND w = nullptr;
            while (!window && (w = FindWindowExW(nullptr, w, nullptr, L"Quenvar")) != nullptr) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == pi.dwProcessId && IsWindowVisible(w))
                    window = w;
            }
            if (!window)
                Sleep(50);
        }
        EXPECT_NE(window, nullptr) << "no window for "
                                   << std::string(args.begin(),
                                                  args.begin() +
                                                      static_cast<std::ptrdiff_t>(args.size() < 10 ? args.size() : 10));
        if (window)
            PostMessageW(window, WM_QUIT, 0, 0);
        if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            ADD_FAILURE() << "still running";
            continue;
        }
        DWORD code = 1;
        GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(code, 0u);
    }
}

TEST_F(EndToEnd, InstallWritesTheQuotedAutostartCommandAndUninstallRemovesItAndTheStore) {
    ASSERT_EQ(RunQuenvar(L"--//install"), 0);
    std::wstring command;
    ASSERT_TRUE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    EXPECT_EQ(command, Quoted(QuenvarExe()) + L" /tray");

    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, L"Software\\Quenvar\\Sub", L"x", L"y"));
    ASSERT_EQ(RunQuenvar(L"/UNINSTALL"), 0);
    EXPECT_FALSE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    TUniqueHKey key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Quenvar", 0, KEY_READ, key.put()), ERROR_SUCCESS);
}

// The autostart command must survive a folder with blanks: it starts this very executable in tray mode.
TEST_F(EndToEnd, InstallFromAFolderWithBlanksQuotesThePath) {
    const std::wstring dir = TestBinDir() + L"Program Files Copy\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring exe = dir + L"Quenvar.exe";
    ASSERT_TRUE(CopyFileW(QuenvarExe().c_str(), exe.c_str(), FALSE));
    EXPECT_EQ(RunProcess(Quoted(exe) + L" INSTALL"), 0);
    std::wstring command;
    EXPECT_TRUE(ReadRegString(HKEY_CURRENT_USER, kRunKey, L"Quenvar", command));
    EXPECT_EQ(command, Quoted(exe) + L" /tray");
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(dir.c_str());
}

// Reads a resource of the built executable without running it.
std::string ResourceBytes(HMODULE aModule, const wchar_t* aName, const wchar_t* aType) {
    HRSRC info = FindResourceW(aModule, aName, aType);
    if (!info)
        return std::string();
    HGLOBAL data = LoadResource(aModule, info);
    const auto* bytes = static_cast<const char*>(LockResource(data));
    return bytes ? std::string(bytes, SizeofResource(aModule, info)) : std::string();
}

TEST(Executable, CarriesManifestConfigurationIconAndVersion) {
    TUniqueModule exe(LoadLibraryExW(QuenvarExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(exe);

    const std::string manifest = ResourceBytes(exe.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);

    const std::string config = ResourceBytes(exe.get(), L"CONFIG", RT_RCDATA);
    EXPECT_EQ(config.rfind("CFG_ID=10\r\nHIT_URL=http://", 0), 0u) << config;
    EXPECT_NE(config.find(".example/api/client.asmx/\r\n"), std::string::npos) << config;

    EXPECT_NE(FindResourceW(exe.get(), L"MAINICON", RT_GROUP_ICON), nullptr);

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(QuenvarExe().c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(QuenvarExe().c_str(), 0, size, block.data()));
    wchar_t* text = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904E4\\FileVersion",
                               reinterpret_cast<void**>(&text), &len));
    const std::string expected = QV_VERSION_TEXT;
    EXPECT_EQ(std::wstring(text), std::wstring(expected.begin(), expected.end()));
}

} // namespace
