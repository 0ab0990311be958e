#include "PlatformU.h"

#include "FallbackU.h"
#include "RegistryU.h"

#include <shellapi.h>

namespace {

// GetVersionExW of the extended record; false leaves aInfo zeroed apart from its size field.
bool QueryVersion(OSVERSIONINFOEXW& aInfo) noexcept {
    aInfo = OSVERSIONINFOEXW{};
    aInfo.dwOSVersionInfoSize = sizeof(aInfo);
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&aInfo)) != FALSE;
}

} // namespace

BYTE WinVersionClassOf(const OSVERSIONINFOEXW& aInfo) noexcept {
    if (aInfo.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        const bool workstation = aInfo.wProductType == VER_NT_WORKSTATION;
        if (aInfo.dwMajorVersion >= 6) {
            if (workstation)
                return aInfo.dwMinorVersion >= 1 ? 12 : 9;
            return aInfo.dwMinorVersion >= 1 ? 11 : 10;
        }
        if (aInfo.dwMajorVersion == 5) {
            if (aInfo.dwMinorVersion >= 1)
                return workstation ? 6 : 8;
            return 5;
        }
        return 4;
    }
    if (aInfo.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && aInfo.dwMajorVersion == 4) {
        if (aInfo.dwMinorVersion == 10)
            return 1;
        if (aInfo.dwMinorVersion == 90)
            return 2;
    }
    return 0;
}

BYTE GetWinVersionClass() noexcept {
    return ResultOr<BYTE>("GetWinVersionClass", 6, [&]() -> BYTE {
        OSVERSIONINFOEXW info;
        QueryVersion(info);
        return WinVersionClassOf(info);
    });
}

bool QueryTrueVersion(OSVERSIONINFOEXW& aInfo) noexcept {
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    aInfo = OSVERSIONINFOEXW{};
    aInfo.dwOSVersionInfoSize = sizeof(aInfo);
    // ntdll is mapped into every process; GetModuleHandleW takes no reference to release.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto rtlGetVersion =
        ntdll ? reinterpret_cast<TRtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    if (rtlGetVersion && rtlGetVersion(&aInfo) == 0)
        return true;
    aInfo = OSVERSIONINFOEXW{};
    aInfo.dwOSVersionInfoSize = sizeof(aInfo);
    return false;
}

bool IsWindows64Bit() noexcept {
#ifdef _WIN64
    return true;
#else
    return IsWow64();
#endif
}

bool IsWinNT() noexcept {
    OSVERSIONINFOEXW info;
    return QueryVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsShellExecuteSuccess(HINSTANCE aResult) noexcept {
    return reinterpret_cast<ULONG_PTR>(aResult) > 32;
}

bool ShellExecuteRunAs(const std::wstring& aFile, const std::wstring& aParameters, HWND anOwner,
                       const std::wstring& aDirectory) noexcept {
    const HINSTANCE result =
        ShellExecuteW(anOwner, L"runas", aFile.c_str(), aParameters.empty() ? nullptr : aParameters.c_str(),
                      aDirectory.empty() ? nullptr : aDirectory.c_str(), SW_SHOW);
    return IsShellExecuteSuccess(result);
}

TUniqueKernelHandle ShellExecuteForProcess(const wchar_t* aVerb, const std::wstring& aFile,
                                           const std::wstring& aParameters) noexcept {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = aVerb;
    info.lpFile = aFile.c_str();
    info.lpParameters = aParameters.empty() ? nullptr : aParameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info))
        return TUniqueKernelHandle();
    return TUniqueKernelHandle(info.hProcess);
}

bool IsProcessElevated(HANDLE aProcess) noexcept {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(aProcess, TOKEN_QUERY, &raw))
        return GetLastError() == ERROR_ACCESS_DENIED;
    const TUniqueKernelHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}
