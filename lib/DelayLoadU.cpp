#include "DelayLoadU.h"

#include <bcrypt.h>
#include <delayimp.h>
#include <ncrypt.h>
#include <oleauto.h>
#include <shellapi.h>
#include <wincodec.h>
#include <wincrypt.h>
#include <wininet.h>
#define SECURITY_WIN32
#include <security.h>

#include <cstring>
#include <string>

namespace {

// A function of the same signature (and so, on i686, the same stdcall stack clean-up) as Fn that
// does nothing but fail with Value.
template <typename Fn> struct TFailing;

template <typename R, typename... A> struct TFailing<R(WINAPI*)(A...)> {
    template <R Value> static R WINAPI Call(A...) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return Value;
    }
};

template <typename... A> struct TFailing<void(WINAPI*)(A...)> {
    static void WINAPI Call(A...) {}
};

template <typename Fn> FARPROC AsProc(Fn aFunction) noexcept {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(aFunction));
}

constexpr NTSTATUS kDllNotFound = static_cast<NTSTATUS>(0xC0000135L); // STATUS_DLL_NOT_FOUND
constexpr HRESULT kModNotFound = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);

#define QV_FAILS_WITH(name, value)                                                                                     \
    { #name, AsProc(&TFailing <decltype(&name)>::Call <value>) }
#define QV_FAILS_QUIETLY(name)                                                                                         \
    { #name, AsProc(&TFailing <decltype(&name)>::Call) }

struct TStub {
    const char* Name;
    FARPROC Proc;
};

// Every function the program imports from a delay-loaded DLL, with its failure value.
const TStub kStubs[] = {
    // bcrypt.dll
    QV_FAILS_WITH(BCryptCloseAlgorithmProvider, kDllNotFound),
    QV_FAILS_WITH(BCryptCreateHash, kDllNotFound),
    QV_FAILS_WITH(BCryptDestroyHash, kDllNotFound),
    QV_FAILS_WITH(BCryptDestroyKey, kDllNotFound),
    QV_FAILS_WITH(BCryptFinishHash, kDllNotFound),
    QV_FAILS_WITH(BCryptHashData, kDllNotFound),
    QV_FAILS_WITH(BCryptImportKeyPair, kDllNotFound),
    QV_FAILS_WITH(BCryptOpenAlgorithmProvider, kDllNotFound),
    QV_FAILS_WITH(BCryptVerifySignature, kDllNotFound),
    // crypt32.dll
    QV_FAILS_WITH(CertCreateSelfSignCertificate, nullptr),
    QV_FAILS_WITH(CertFreeCertificateContext, FALSE),
    QV_FAILS_WITH(CertStrToNameW, FALSE),
    // msimg32.dll
    QV_FAILS_WITH(AlphaBlend, FALSE),
    // ncrypt.dll
    QV_FAILS_WITH(NCryptCreatePersistedKey, kModNotFound),
    QV_FAILS_WITH(NCryptDeleteKey, kModNotFound),
    QV_FAILS_WITH(NCryptFinalizeKey, kModNotFound),
    QV_FAILS_WITH(NCryptFreeObject, kModNotFound),
    QV_FAILS_WITH(NCryptOpenStorageProvider, kModNotFound),
    QV_FAILS_WITH(NCryptSetProperty, kModNotFound),
    // ole32.dll
    QV_FAILS_WITH(CLSIDFromProgID, kModNotFound),
    QV_FAILS_WITH(CoCreateGuid, kModNotFound),
    QV_FAILS_WITH(CoCreateInstance, kModNotFound),
    QV_FAILS_WITH(CoInitializeEx, kModNotFound),
    QV_FAILS_QUIETLY(CoUninitialize),
    QV_FAILS_WITH(StringFromGUID2, 0),
    // oleaut32.dll
    QV_FAILS_WITH(SysAllocString, nullptr),
    QV_FAILS_WITH(SysAllocStringLen, nullptr),
    QV_FAILS_QUIETLY(SysFreeString),
    QV_FAILS_WITH(SysStringLen, 0u),
    QV_FAILS_WITH(VariantClear, kModNotFound),
    QV_FAILS_QUIETLY(VariantInit),
    // secur32.dll
    QV_FAILS_WITH(AcceptSecurityContext, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(AcquireCredentialsHandleW, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(DecryptMessage, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(DeleteSecurityContext, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(FreeContextBuffer, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(FreeCredentialsHandle, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(InitializeSecurityContextW, SEC_E_SECPKG_NOT_FOUND),
    QV_FAILS_WITH(QueryContextAttributesW, SEC_E_SECPKG_NOT_FOUND),
    // shell32.dll
    QV_FAILS_WITH(CommandLineToArgvW, nullptr),
    QV_FAILS_WITH(ShellExecuteExW, FALSE),
    QV_FAILS_WITH(ShellExecuteW, nullptr),
    QV_FAILS_WITH(Shell_NotifyIconW, FALSE),
    // version.dll
    QV_FAILS_WITH(GetFileVersionInfoSizeW, 0ul),
    QV_FAILS_WITH(GetFileVersionInfoW, FALSE),
    QV_FAILS_WITH(VerQueryValueW, FALSE),
    // windowscodecs.dll
    QV_FAILS_WITH(WICConvertBitmapSource, kModNotFound),
    // wininet.dll
    QV_FAILS_WITH(HttpAddRequestHeadersW, FALSE),
    QV_FAILS_WITH(HttpOpenRequestW, nullptr),
    QV_FAILS_WITH(HttpQueryInfoW, FALSE),
    QV_FAILS_WITH(HttpSendRequestW, FALSE),
    QV_FAILS_WITH(InternetCloseHandle, FALSE),
    QV_FAILS_WITH(InternetConnectW, nullptr),
    QV_FAILS_WITH(InternetOpenW, nullptr),
    QV_FAILS_WITH(InternetReadFile, FALSE),
    QV_FAILS_WITH(InternetSetOptionW, FALSE),
};

#undef QV_FAILS_WITH
#undef QV_FAILS_QUIETLY

// Stands for a DLL that could not be loaded: a module that exports nothing (the executable), so
// every function of that DLL fails to bind and gets its stand-in, and the runtime's helper never
// falls back to its own LoadLibrary search.
HMODULE Unloadable() noexcept {
    return GetModuleHandleW(nullptr);
}

FARPROC WINAPI DelayLoadNotify(unsigned aNotification, PDelayLoadInfo anInfo) {
    if (aNotification != dliNotePreLoadLibrary || !anInfo || !anInfo->szDll)
        return nullptr;
    // DLL names are ASCII.
    const std::string narrow(anInfo->szDll);
    const std::wstring name(narrow.begin(), narrow.end());
    const HMODULE module = LoadSystemLibrary(name.c_str());
    return reinterpret_cast<FARPROC>(module ? module : Unloadable());
}

FARPROC WINAPI DelayLoadFailure(unsigned aNotification, PDelayLoadInfo anInfo) {
    if (aNotification == dliFailLoadLib)
        return reinterpret_cast<FARPROC>(Unloadable());
    if (aNotification == dliFailGetProc && anInfo && anInfo->dlp.fImportByName)
        return DelayLoadFailureStub(anInfo->dlp.szProcName);
    return nullptr;
}

} // namespace

// The runtime's delay-load helper calls these; the build makes the linker take them from here
// (-u) rather than the runtime's empty defaults.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = DelayLoadNotify;
PfnDliHook __pfnDliFailureHook2 = DelayLoadFailure;
}

HMODULE LoadSystemLibrary(const wchar_t* aName) noexcept {
    // LOAD_LIBRARY_SEARCH_SYSTEM32 needs Windows 8, or Windows 7 with KB2533623, which also brings
    // AddDllDirectory: that export tells whether the flag is understood.
    static const bool searchFlags = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr;
    if (searchFlags)
        return LoadLibraryExW(aName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Otherwise the full path; the altered search path looks for the DLL's own imports beside it.
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    const std::wstring path = std::wstring(folder, length) + L"\\" + aName;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC DelayLoadFailureStub(const char* aProcName) noexcept {
    if (!aProcName)
        return nullptr;
    for (const TStub& stub : kStubs)
        if (std::strcmp(stub.Name, aProcName) == 0)
            return stub.Proc;
    return nullptr;
}
