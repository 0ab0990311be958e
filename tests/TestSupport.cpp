#include "TestSupport.h"

#include <gtest/gtest.h>

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
