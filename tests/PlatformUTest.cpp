#include "PlatformU.h"

#include <gtest/gtest.h>

namespace {

struct VersionCase {
    DWORD platform;
    DWORD major;
    DWORD minor;
    BYTE productType;
    BYTE expected;
    const char* system;
};

TEST(WinVersionClassOf, EveryRowOfTheClassification) {
    const VersionCase cases[] = {
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0, 0, "Windows 95"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 3, 0, 0, "Windows 95 OSR"},
        {VER_PLATFORM_WIN32_WINDOWS, 3, 10, 0, 0, "9x platform, other major"},
        {VER_PLATFORM_WIN32_WINDOWS, 5, 90, 0, 0, "9x platform, other major"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0, 1, "Windows 98"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0, 2, "Windows Me"},
        {VER_PLATFORM_WIN32s, 3, 10, 0, 0, "Win32s"},
        {3, 6, 1, VER_NT_WORKSTATION, 0, "unknown platform"},
        {VER_PLATFORM_WIN32_NT, 3, 51, VER_NT_WORKSTATION, 4, "NT 3.51"},
        {VER_PLATFORM_WIN32_NT, 4, 0, VER_NT_SERVER, 4, "NT 4.0"},
        {VER_PLATFORM_WIN32_NT, 5, 0, VER_NT_WORKSTATION, 5, "Windows 2000"},
        {VER_PLATFORM_WIN32_NT, 5, 0, VER_NT_SERVER, 5, "Windows 2000 Server"},
        {VER_PLATFORM_WIN32_NT, 5, 1, VER_NT_WORKSTATION, 6, "XP"},
        {VER_PLATFORM_WIN32_NT, 5, 2, VER_NT_WORKSTATION, 6, "XP x64"},
        {VER_PLATFORM_WIN32_NT, 5, 2, VER_NT_SERVER, 8, "Server 2003"},
        {VER_PLATFORM_WIN32_NT, 5, 2, VER_NT_DOMAIN_CONTROLLER, 8, "Server 2003 DC"},
        {VER_PLATFORM_WIN32_NT, 6, 0, VER_NT_WORKSTATION, 9, "Vista"},
        {VER_PLATFORM_WIN32_NT, 6, 0, VER_NT_SERVER, 10, "Server 2008"},
        {VER_PLATFORM_WIN32_NT, 6, 0, VER_NT_DOMAIN_CONTROLLER, 10, "Server 2008 DC"},
        {VER_PLATFORM_WIN32_NT, 6, 1, VER_NT_WORKSTATION, 12, "Windows 7"},
        {VER_PLATFORM_WIN32_NT, 6, 1, VER_NT_SERVER, 11, "Server 2008 R2"},
        {VER_PLATFORM_WIN32_NT, 6, 1, VER_NT_DOMAIN_CONTROLLER, 11, "Server 2008 R2 DC"},
        {VER_PLATFORM_WIN32_NT, 6, 2, VER_NT_WORKSTATION, 12, "Windows 8"},
        {VER_PLATFORM_WIN32_NT, 6, 3, VER_NT_SERVER, 11, "Server 2012 R2"},
        {VER_PLATFORM_WIN32_NT, 10, 0, VER_NT_WORKSTATION, 9, "Windows 10"},
        {VER_PLATFORM_WIN32_NT, 10, 0, VER_NT_SERVER, 10, "Server 2016"},
        {VER_PLATFORM_WIN32_NT, 0, 0, 0, 4, "NT with an unfilled version"},
        {0, 0, 0, 0, 0, "record left zeroed by a failed query"},
    };
    for (const auto& c : cases) {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwPlatformId = c.platform;
        info.dwMajorVersion = c.major;
        info.dwMinorVersion = c.minor;
        info.wProductType = c.productType;
        EXPECT_EQ(WinVersionClassOf(info), c.expected) << c.system;
    }
}

// Wine's default prefix reports Windows 7 (6.1, workstation).
TEST(GetWinVersionClass, TheLiveSystemIsAnNtDesktopWithAccountControl) {
    EXPECT_TRUE(IsWinNT());
    EXPECT_EQ(GetWinVersionClass(), 12);
}

TEST(ShellExecuteRunAs, SuccessIsStrictlyAboveThirtyTwo) {
    const struct {
        ULONG_PTR value;
        bool success;
    } cases[] = {{0, false}, {2, false}, {31, false}, {32, false}, {33, true}, {42, true}, {~ULONG_PTR(0), true}};
    for (const auto& c : cases)
        EXPECT_EQ(IsShellExecuteSuccess(reinterpret_cast<HINSTANCE>(c.value)), c.success) << c.value;
}

TEST(ShellExecuteRunAs, StartsAProgramAndReportsAMissingOne) {
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_TRUE(ShellExecuteRunAs(std::wstring(system) + L"\\cmd.exe", L"/c exit", nullptr, L""));
    EXPECT_TRUE(ShellExecuteRunAs(L"cmd.exe", L"/c exit", nullptr, system));
    EXPECT_FALSE(ShellExecuteRunAs(L"C:\\does\\not\\exist\\nothing.exe", L"", nullptr, L""));
}

} // namespace
