#include "QVPolicy.h"

#include "QVMachine.h"

#include "../lib/FallbackU.h"
#include "../lib/FileU.h"
#include "../lib/HandleU.h"
#include "../lib/PolicyFileU.h"
#include "../lib/RegistryU.h"
#include "../lib/StringU.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

const wchar_t kSuiteOrderKey[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";
// The MDM stack keeps the policies it enforces here, one key per area, one value per policy.
const wchar_t kMdmDeviceStore[] = L"SOFTWARE\\Microsoft\\PolicyManager\\current\\device\\";

// A value a policy can own, and the MDM policy that sets it.
struct TOwnedValue {
    const wchar_t* Key;
    const wchar_t* Value;
    const wchar_t* MdmArea;
    const wchar_t* MdmPolicy;
};

// The suite order has a Policy CSP of its own and an ADMX-backed one; the curve order only the latter.
const TOwnedValue kOwnedValues[] = {
    {kSuiteOrderKey, L"Functions", L"Cryptography", L"TLSCipherSuites"},
    {kSuiteOrderKey, L"Functions", L"ADMX_CipherSuiteOrder", L"SSLCipherSuiteOrder"},
    {kSuiteOrderKey, L"EccCurves", L"ADMX_CipherSuiteOrder", L"SSLCurveOrder"},
};

// Registry.pol files are a few kilobytes; a bigger one is read this far.
constexpr DWORD kMaxPolicyFileBytes = 4 * 1024 * 1024;
// DataStore\0\SysVol\<domain>\Policies\{GUID}\Machine lies six folders deep.
constexpr int kMaxDataStoreDepth = 8;
// Directory entries looked at below DataStore, at most.
constexpr int kMaxDataStoreEntries = 20000;

// The machine's Group Policy folder with a trailing backslash, or empty. A 32-bit process on 64-bit
// Windows would be redirected from System32 to SysWOW64; Sysnative names the real one.
std::wstring GroupPolicyDir() {
    const std::wstring windows = GetWindowsDir();
    if (windows.empty())
        return std::wstring();
    return windows + (RunningUnderWow64 ? L"Sysnative" : L"System32") + L"\\GroupPolicy\\";
}

// The first kMaxPolicyFileBytes of a file, shared with any writer; empty when it cannot be read.
std::vector<std::uint8_t> ReadPolicyFile(const std::wstring& aPath) {
    TUniqueFile file(CreateFileW(aPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0)
        return {};
    const auto wanted = static_cast<DWORD>(std::min<LONGLONG>(size.QuadPart, kMaxPolicyFileBytes));
    std::vector<std::uint8_t> bytes(wanted);
    DWORD total = 0, read = 0;
    while (total < wanted && ReadFile(file.get(), bytes.data() + total, wanted - total, &read, nullptr) && read > 0)
        total += read;
    bytes.resize(total);
    return bytes;
}

// The records before a fault (a damaged or capped file) still count: in doubt, the organization's
// value is left alone. A policy that deletes the value at every refresh owns it as much as one that
// sets it.
bool PolicyFileSets(const std::wstring& aPath, const std::wstring& aKey, const std::wstring& aValue) {
    std::vector<TPolicyRecord> records;
    ParsePolicyFile(ReadPolicyFile(aPath), records);
    return PolicyDecidesValue(records, aKey, aValue);
}

// Whether a Machine\Registry.pol in or below aFolder (with its trailing backslash) sets the value.
// Links are not followed; aDepth folders and aBudget entries are looked at, at most.
bool CachedPolicySets(const std::wstring& aFolder, int aDepth, int& aBudget, const std::wstring& aKey,
                      const std::wstring& aValue) {
    WIN32_FIND_DATAW data;
    TUniqueFind find(FindFirstFileW((aFolder + L"*").c_str(), &data));
    if (!find)
        return false;
    do {
        const std::wstring name = data.cFileName;
        if (--aBudget < 0)
            return false;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || name == L"." || name == L"..")
            continue;
        const std::wstring folder = aFolder + name + L"\\";
        if (SameTextAscii(name, L"Machine") && PolicyFileSets(folder + L"Registry.pol", aKey, aValue))
            return true;
        if (aDepth > 1 && CachedPolicySets(folder, aDepth - 1, aBudget, aKey, aValue))
            return true;
    } while (FindNextFileW(find.get(), &data));
    return false;
}

bool GroupPolicySets(const std::wstring& aKey, const std::wstring& aValue) {
    const std::wstring dir = GroupPolicyDir();
    if (dir.empty())
        return false;
    if (PolicyFileSets(dir + L"Machine\\Registry.pol", aKey, aValue))
        return true;
    int budget = kMaxDataStoreEntries;
    return CachedPolicySets(dir + L"DataStore\\", kMaxDataStoreDepth, budget, aKey, aValue);
}

// The store is read in the 64-bit view, where the MDM stack writes it.
bool MdmHolds(const TOwnedValue& anOwned) {
    TRegKey key;
    TRegValueData data;
    return key.Open(HKEY_LOCAL_MACHINE, std::wstring(kMdmDeviceStore) + anOwned.MdmArea,
                    KEY_QUERY_VALUE | ViewAccess(true)) == ERROR_SUCCESS &&
           key.Read(anOwned.MdmPolicy, data) == ERROR_SUCCESS && data.Present;
}

} // namespace

TValueOwner PolicyOwnerOf(const std::wstring& aKey, const std::wstring& aValue) noexcept {
    return ResultOr<TValueOwner>("PolicyOwnerOf", voNone, [&]() -> TValueOwner {
        const std::wstring key = PolicyKeyOf(aKey);
        std::vector<const TOwnedValue*> owned;
        for (const TOwnedValue& candidate : kOwnedValues)
            if (PolicyKeyOf(candidate.Key) == key && SameTextAscii(std::wstring(candidate.Value), aValue))
                owned.push_back(&candidate);
        if (owned.empty())
            return voNone;
        if (GroupPolicySets(aKey, aValue))
            return voGroupPolicy;
        for (const TOwnedValue* candidate : owned)
            if (MdmHolds(*candidate))
                return voMdm;
        return voNone;
    });
}

const wchar_t* ValueOwnerName(TValueOwner anOwner) noexcept {
    switch (anOwner) {
    case voGroupPolicy:
        return L"Group Policy";
    case voMdm:
        return L"MDM";
    default:
        return L"";
    }
}
