#include "QVMachine.h"

#include "../lib/FallbackU.h"
#include "../lib/PlatformU.h"

#include <algorithm>
#include <bcrypt.h>

const wchar_t kRestartPendingKey[] = L"SOFTWARE\\QuenvarRestartPending";
const wchar_t kMachineKey[] = L"SOFTWARE\\Quenvar";
const wchar_t kAppliedBuildValue[] = L"AppliedBuild";
const wchar_t kAppliedRevisionValue[] = L"AppliedRevision";

TOSVersion CurrentOSVersion() noexcept {
    OSVERSIONINFOEXW info;
    QueryTrueVersion(info);
    TOSVersion os;
    os.Major = info.dwMajorVersion;
    os.Minor = info.dwMinorVersion;
    os.Build = info.dwBuildNumber;
    os.Is64Bit = IsWindows64Bit();
    os.IsServer = info.wProductType != 0 && info.wProductType != VER_NT_WORKSTATION;
    // The update revision is in no version record, only in the registry (the 64-bit view's copy is
    // the same; SOFTWARE\Microsoft\Windows NT is shared).
    int revision = 0;
    if (ReadRegDWord(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"UBR", revision))
        os.Revision = static_cast<DWORD>(revision);
    // Asked only on builds whose SCHANNEL has the hybrid groups, so other machines never load bcrypt.dll.
    if (BuildHasMlKemGroups(os))
        os.MlKemProvider = ResultOr("CurrentOSVersion.MlKem", false, [] {
            BCRYPT_ALG_HANDLE provider = nullptr;
            if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, L"ML-KEM", nullptr, 0)))
                return false;
            BCryptCloseAlgorithmProvider(provider, 0);
            return true;
        });
    return os;
}

namespace {

const wchar_t kRestartNeedsValue[] = L"Needs";

} // namespace

unsigned PendingRestartNeeds() noexcept {
    TRegKey marker;
    if (marker.Open(HKEY_LOCAL_MACHINE, kRestartPendingKey, KEY_READ | ViewAccess(true)) != ERROR_SUCCESS)
        return 0;
    // A marker without its value comes from a version that marked Windows restarts only.
    TRegValueData data;
    DWORD needs = 0;
    if (marker.Read(kRestartNeedsValue, data) != ERROR_SUCCESS || !RegDWordOf(data, needs) || needs == 0)
        return teWindowsRestart;
    return needs & (teProgramsRestart | teServicesRestart | teWindowsRestart);
}

bool RestartPending() noexcept {
    return (PendingRestartNeeds() & teWindowsRestart) != 0;
}

void MarkRestartNeeds(unsigned aNeeds) noexcept {
    if (aNeeds == 0)
        return;
    // A volatile key of its own: it never stands in the way of the backup (a volatile key cannot
    // hold a lasting one).
    const unsigned needs = aNeeds | PendingRestartNeeds();
    TRegKey marker;
    if (marker.Create(HKEY_LOCAL_MACHINE, kRestartPendingKey, KEY_READ | KEY_WRITE | ViewAccess(true),
                      REG_OPTION_VOLATILE) != ERROR_SUCCESS)
        return;
    const DWORD value = needs;
    (void)marker.Write(kRestartNeedsValue, REG_DWORD, &value, sizeof(value));
}

bool ReadAppliedOnBuild(DWORD& aBuild, DWORD& aRevision) noexcept {
    TRegKey owner;
    TRegValueData build, revision;
    if (owner.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_QUERY_VALUE | ViewAccess(true)) != ERROR_SUCCESS ||
        owner.Read(kAppliedBuildValue, build) != ERROR_SUCCESS || !RegDWordOf(build, aBuild))
        return false;
    if (owner.Read(kAppliedRevisionValue, revision) != ERROR_SUCCESS || !RegDWordOf(revision, aRevision))
        aRevision = 0;
    return true;
}

namespace {

// The views the descriptors are looked for in, in order: the 64-bit view first on 64-bit Windows,
// where a 32-bit process's own view is the redirected WOW6432Node copy.
std::vector<REGSAM> DescriptorViews() {
    if (!IsWindows64Bit())
        return {0};
    return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
}

} // namespace

bool ReadIECryptoDescriptor(const std::wstring& aName, TIECryptoDescriptor& aDescriptor) noexcept {
    return ResultOr<bool>("ReadIECryptoDescriptor", false, [&]() -> bool {
        if (aName.empty())
            return false;
        TRegKey key;
        bool found = false;
        for (const REGSAM view : DescriptorViews())
            if (key.Open(HKEY_LOCAL_MACHINE, kIECryptoKey + aName, KEY_QUERY_VALUE | view) == ERROR_SUCCESS) {
                found = true;
                break;
            }
        if (!found)
            return false;
        const auto text = [&](const wchar_t* aValue) {
            TRegValueData data;
            if (key.Read(aValue, data) != ERROR_SUCCESS || data.Type != REG_SZ || data.Bytes.size() < sizeof(wchar_t))
                return std::wstring();
            std::wstring s(reinterpret_cast<const wchar_t*>(data.Bytes.data()), data.Bytes.size() / sizeof(wchar_t));
            const size_t nul = s.find(L'\0');
            return nul == std::wstring::npos ? s : s.substr(0, nul);
        };
        const auto number = [&](const wchar_t* aValue, bool* aPresent = nullptr) {
            TRegValueData data;
            DWORD n = 0;
            const bool present = key.Read(aValue, data) == ERROR_SUCCESS && RegDWordOf(data, n);
            if (aPresent)
                *aPresent = present;
            return present ? n : 0;
        };
        TIECryptoDescriptor d;
        d.RegPath = text(L"RegPath");
        d.ValueName = text(L"ValueName");
        d.CheckedValue = number(L"CheckedValue");
        d.DefaultValue = number(L"DefaultValue", &d.HasDefaultValue);
        d.Mask = number(L"Mask");
        d.UncheckedValue = number(L"UncheckedValue");
        d.HKeyRoot = number(L"HKeyRoot");
        d.RegPoliciesPath = text(L"RegPoliciesPath");
        aDescriptor = std::move(d);
        return true;
    });
}

std::vector<TIECryptoOption> ReadIECryptoOptions() noexcept {
    return ResultOr<std::vector<TIECryptoOption>>("ReadIECryptoOptions", {}, [&] {
        std::wstring crypto = kIECryptoKey;
        crypto.pop_back(); // the trailing backslash
        std::vector<std::wstring> names;
        for (const REGSAM view : DescriptorViews()) {
            TRegKey key;
            if (key.Open(HKEY_LOCAL_MACHINE, crypto, KEY_ENUMERATE_SUB_KEYS | view) != ERROR_SUCCESS)
                continue;
            for (DWORD i = 0;; ++i) {
                wchar_t name[256];
                DWORD length = ARRAYSIZE(name);
                const LONG status = RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
                if (status == ERROR_MORE_DATA)
                    continue; // longer than any key name the registry allows
                if (status != ERROR_SUCCESS)
                    break;
                const std::wstring found(name, length);
                if (std::none_of(names.begin(), names.end(),
                                 [&](const std::wstring& n) { return _wcsicmp(n.c_str(), found.c_str()) == 0; }))
                    names.push_back(found);
            }
        }
        std::vector<TIECryptoOption> options;
        for (const std::wstring& name : names) {
            TIECryptoOption option;
            option.Name = name;
            if (ReadIECryptoDescriptor(name, option.Descriptor))
                options.push_back(std::move(option));
        }
        return options;
    });
}

REGSAM ViewAccess(bool aView64) noexcept {
    return aView64 && RunningUnderWow64 ? KEY_WOW64_64KEY : 0;
}
