// The delay-load hooks: system DLLs come from the system folder only, and every function the
// program binds late has a stand-in that fails the way the function does.
#include "DelayLoadU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <bcrypt.h>
#include <objbase.h>
#include <wininet.h>
#define SECURITY_WIN32
#include <delayimp.h>
#include <security.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

std::wstring Lower(std::wstring aText) {
    for (wchar_t& c : aText)
        c = static_cast<wchar_t>(towlower(c));
    return aText;
}

TEST(LoadSystemLibrary, LoadsFromTheSystemFolder) {
    TUniqueModule module(LoadSystemLibrary(L"msimg32.dll"));
    ASSERT_TRUE(module);
    wchar_t path[MAX_PATH] = L"", folder[MAX_PATH] = L"";
    ASSERT_GT(GetModuleFileNameW(module.get(), path, MAX_PATH), 0u);
    ASSERT_GT(GetSystemDirectoryW(folder, MAX_PATH), 0u);
    EXPECT_EQ(Lower(path), Lower(std::wstring(folder) + L"\\msimg32.dll"));
}

// A DLL that exists only beside the program is never what a system DLL name loads.
TEST(LoadSystemLibrary, IgnoresTheApplicationFolder) {
    const std::wstring beside = TestBinDir() + L"VerNone.dll";
    ASSERT_NE(GetFileAttributesW(beside.c_str()), INVALID_FILE_ATTRIBUTES);
    SetLastError(0);
    TUniqueModule module(LoadSystemLibrary(L"VerNone.dll"));
    EXPECT_FALSE(module);
    EXPECT_NE(GetLastError(), 0u);
}

TEST(DelayLoadFailureStub, FailsTheWayEachFunctionDoes) {
    SetLastError(0);
    auto open =
        reinterpret_cast<decltype(&InternetOpenW)>(reinterpret_cast<void*>(DelayLoadFailureStub("InternetOpenW")));
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open(L"agent", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    auto provider = reinterpret_cast<decltype(&BCryptOpenAlgorithmProvider)>(
        reinterpret_cast<void*>(DelayLoadFailureStub("BCryptOpenAlgorithmProvider")));
    ASSERT_NE(provider, nullptr);
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    EXPECT_EQ(provider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), static_cast<NTSTATUS>(0xC0000135L));

    auto init =
        reinterpret_cast<decltype(&CoInitializeEx)>(reinterpret_cast<void*>(DelayLoadFailureStub("CoInitializeEx")));
    ASSERT_NE(init, nullptr);
    EXPECT_TRUE(FAILED(init(nullptr, COINIT_APARTMENTTHREADED)));

    auto credentials = reinterpret_cast<decltype(&AcquireCredentialsHandleW)>(
        reinterpret_cast<void*>(DelayLoadFailureStub("AcquireCredentialsHandleW")));
    ASSERT_NE(credentials, nullptr);
    CredHandle handle{};
    EXPECT_EQ(credentials(nullptr, nullptr, SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr, nullptr, &handle, nullptr),
              SEC_E_SECPKG_NOT_FOUND);

    EXPECT_EQ(DelayLoadFailureStub("NoSuchFunction"), nullptr);
    EXPECT_EQ(DelayLoadFailureStub(nullptr), nullptr);
}

// The delay-import descriptors of a mapped image, found by their shape: GNU ld does not fill the
// PE directory entry for them. Maps each DLL name to the functions imported from it.
std::map<std::string, std::set<std::string>> DelayImports(const BYTE* anImage) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(anImage);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(anImage + dos->e_lfanew);
    const DWORD size = nt->OptionalHeader.SizeOfImage;
    auto text = [&](DWORD aRva) -> std::string {
        if (aRva == 0 || aRva >= size)
            return std::string();
        const char* p = reinterpret_cast<const char*>(anImage + aRva);
        const size_t n = strnlen(p, size - aRva);
        return n < size - aRva ? std::string(p, n) : std::string();
    };
    std::map<std::string, std::set<std::string>> found;
    for (DWORD at = 0; at + sizeof(ImgDelayDescr) <= size; at += 4) {
        ImgDelayDescr d;
        std::memcpy(&d, anImage + at, sizeof(d));
        if (d.grAttrs != dlattrRva || d.dwTimeStamp != 0 || d.rvaHmod >= size || d.rvaIAT >= size || d.rvaINT == 0 ||
            d.rvaINT >= size)
            continue;
        const std::string dll = text(d.rvaDLLName);
        if (dll.size() < 5 || Lower(std::wstring(dll.begin(), dll.end())).rfind(L".dll") != dll.size() - 4)
            continue;
        for (DWORD entry = d.rvaINT; entry + sizeof(IMAGE_THUNK_DATA) <= size; entry += sizeof(IMAGE_THUNK_DATA)) {
            IMAGE_THUNK_DATA thunk;
            std::memcpy(&thunk, anImage + entry, sizeof(thunk));
            if (thunk.u1.AddressOfData == 0)
                break;
            if (IMAGE_SNAP_BY_ORDINAL(thunk.u1.Ordinal))
                continue;
            found[dll].insert(text(static_cast<DWORD>(thunk.u1.AddressOfData) + 2));
        }
    }
    return found;
}

TEST(DelayLoadFailureStub, CoversEveryFunctionTheProgramBindsLate) {
    TUniqueModule exe(LoadLibraryExW(QuenvarExe().c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(exe);
    // The low bits of a resource mapping's handle mark it as such.
    const auto* image = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(exe.get()) & ~ULONG_PTR(3));
    const auto imports = DelayImports(image);
    EXPECT_TRUE(imports.count("wininet.dll")) << "no delay-import descriptors found";
    for (const auto& [dll, functions] : imports)
        for (const std::string& function : functions)
            EXPECT_NE(DelayLoadFailureStub(function.c_str()), nullptr) << dll << "!" << function;
}

} // namespace
