#include "RegistryU.h"

#include <cstring>

#include "FallbackU.h"
#include "HandleU.h"

#include <sddl.h>

namespace {

// 0x2000F: query and set values, create and enumerate subkeys, and the standard read right.
constexpr REGSAM KEY_TREE_WALK =
    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | STANDARD_RIGHTS_READ;

// An empty value name is passed as a null name: both address the default value.
const wchar_t* ValueNameOrNull(const std::wstring& aName) noexcept {
    return aName.empty() ? nullptr : aName.c_str();
}

// Opens an existing key; on failure aKey stays empty.
bool OpenKey(HKEY aRoot, const std::wstring& aPath, REGSAM anAccess, TUniqueHKey& aKey) noexcept {
    HKEY h = nullptr;
    if (RegOpenKeyExW(aRoot, aPath.c_str(), 0, anAccess, &h) != ERROR_SUCCESS)
        return false;
    aKey.reset(h);
    return true;
}

template <typename Fn> Fn BindProc(const wchar_t* aModule, const char* aName) noexcept {
    // Both modules are loaded in every process; GetModuleHandleW takes no reference to release.
    HMODULE m = GetModuleHandleW(aModule);
    return m ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, aName))) : nullptr;
}

using TIsWow64Process = BOOL(WINAPI*)(HANDLE, PBOOL);
using TRegDeleteKeyExW = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

} // namespace

bool RunningUnderWow64 = IsWow64();

bool IsWow64() noexcept {
    static const auto isWow64Process = BindProc<TIsWow64Process>(L"kernel32.dll", "IsWow64Process");
    BOOL result = FALSE;
    if (!isWow64Process || !isWow64Process(GetCurrentProcess(), &result))
        return false;
    return result != FALSE;
}

bool WriteRegValue(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, DWORD aSize,
                   const void* aData, DWORD aType) noexcept {
    TUniqueHKey key;
    if (RegCreateKeyExW(aRoot, aKeyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), ValueNameOrNull(aValueName), 0, aType, static_cast<const BYTE*>(aData), aSize) ==
           ERROR_SUCCESS;
}

bool ReadRegValue(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, DWORD aType,
                  std::vector<BYTE>& aData) noexcept {
    aData.clear();
    return ResultOr<bool>("ReadRegValue", false, [&]() -> bool {
        TUniqueHKey key;
        if (!OpenKey(aRoot, aKeyPath, KEY_READ, key))
            return false;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), ValueNameOrNull(aValueName), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return false;
        std::vector<BYTE> buffer(size);
        DWORD type = REG_NONE;
        if (RegQueryValueExW(key.get(), ValueNameOrNull(aValueName), nullptr, &type, buffer.data(), &size) !=
            ERROR_SUCCESS)
            return false;
        if (type != aType)
            return false;
        buffer.resize(size);
        aData.swap(buffer);
        return true;
    });
}

bool WriteRegString(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName,
                    const std::wstring& aText) noexcept {
    const DWORD size = static_cast<DWORD>((aText.size() + 1) * sizeof(wchar_t));
    return WriteRegValue(aRoot, aKeyPath, aValueName, size, aText.c_str(), REG_SZ);
}

bool WriteRegDWord(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, int aValue) noexcept {
    const DWORD bits = static_cast<DWORD>(aValue);
    return WriteRegValue(aRoot, aKeyPath, aValueName, sizeof(bits), &bits, REG_DWORD);
}

bool ReadRegString(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName,
                   std::wstring& aText) noexcept {
    aText.clear();
    const bool read = ResultOr("ReadRegString", false, [&] {
        std::vector<BYTE> data;
        if (!ReadRegValue(aRoot, aKeyPath, aValueName, REG_SZ, data))
            return false;
        // The last stored character is the terminator and is dropped; 0 or 1 byte is an empty text.
        if (data.size() > 1) {
            const size_t chars = (data.size() - 2) / sizeof(wchar_t);
            aText.assign(reinterpret_cast<const wchar_t*>(data.data()), chars);
        }
        return true;
    });
    if (!read)
        aText.clear();
    return read;
}

bool ReadRegDWord(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, int& aValue) noexcept {
    aValue = 0;
    std::vector<BYTE> data;
    if (!ReadRegValue(aRoot, aKeyPath, aValueName, REG_DWORD, data) || data.size() < sizeof(DWORD))
        return false;
    DWORD bits = 0;
    memcpy(&bits, data.data(), sizeof(bits));
    aValue = static_cast<int>(bits);
    return true;
}

bool DeleteRegValue(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName) noexcept {
    TUniqueHKey key;
    if (!OpenKey(aRoot, aKeyPath, KEY_WRITE, key))
        return false;
    return RegDeleteValueW(key.get(), ValueNameOrNull(aValueName)) == ERROR_SUCCESS;
}

LONG DeleteRegKey(HKEY aParent, const std::wstring& aName) noexcept {
    if (RunningUnderWow64) {
        // Bound lazily so the program still starts where RegDeleteKeyExW does not exist.
        static const auto regDeleteKeyEx = BindProc<TRegDeleteKeyExW>(L"advapi32.dll", "RegDeleteKeyExW");
        if (regDeleteKeyEx)
            return regDeleteKeyEx(aParent, aName.c_str(), 0, 0);
    }
    return RegDeleteKeyW(aParent, aName.c_str());
}

bool DeleteRegKeyPath(HKEY aRoot, const std::wstring& aKeyPath) noexcept {
    return ResultOr<bool>("DeleteRegKeyPath", false, [&]() -> bool {
        const size_t slash = aKeyPath.rfind(L'\\');
        if (slash == std::wstring::npos)
            return false;
        TUniqueHKey parent;
        if (!OpenKey(aRoot, aKeyPath.substr(0, slash), KEY_WRITE, parent))
            return false;
        return DeleteRegKey(parent.get(), aKeyPath.substr(slash + 1)) == ERROR_SUCCESS;
    });
}

bool DeleteRegKeyTree(HKEY aRoot, const std::wstring& aKeyPath, bool aRecurse) noexcept {
    if (aKeyPath.find(L'\\') == std::wstring::npos)
        return false;
    // Children first; a child that cannot be deleted ends the walk with false. A walk that fails
    // for want of memory still tries the key itself.
    const bool childrenGone = !aRecurse || ResultOr("DeleteRegKeyTree", true, [&] {
        TUniqueHKey key;
        DWORD subKeys = 0;
        if (OpenKey(aRoot, aKeyPath, KEY_TREE_WALK, key) &&
            RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            // From the highest index down, so the indexes still to visit stay valid while children go.
            for (DWORD i = subKeys; i-- > 0;) {
                wchar_t name[1024];
                DWORD nameLen = ARRAYSIZE(name);
                if (RegEnumKeyExW(key.get(), i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                    continue;
                std::wstring child = aKeyPath;
                if (child.back() != L'\\')
                    child += L'\\';
                child.append(name, nameLen);
                if (!DeleteRegKeyTree(aRoot, child, aRecurse))
                    return false;
            }
        }
        return true;
    });
    return childrenGone && DeleteRegKeyPath(aRoot, aKeyPath);
}

bool RegDWordOf(const TRegValueData& aValue, DWORD& aNumber) noexcept {
    if (!aValue.Present || aValue.Type != REG_DWORD || aValue.Bytes.size() != sizeof(DWORD))
        return false;
    memcpy(&aNumber, aValue.Bytes.data(), sizeof(DWORD));
    return true;
}

LONG TRegKey::Open(HKEY aRoot, const std::wstring& aPath, REGSAM anAccess) noexcept {
    HKEY h = nullptr;
    const LONG status = RegOpenKeyExW(aRoot, aPath.c_str(), 0, anAccess, &h);
    if (status == ERROR_SUCCESS)
        FKey.reset(h);
    return status;
}

LONG TRegKey::Create(HKEY aRoot, const std::wstring& aPath, REGSAM anAccess, DWORD anOptions, bool* aCreated) noexcept {
    HKEY h = nullptr;
    DWORD disposition = 0;
    const LONG status =
        RegCreateKeyExW(aRoot, aPath.c_str(), 0, nullptr, anOptions, anAccess, nullptr, &h, &disposition);
    if (status != ERROR_SUCCESS)
        return status;
    FKey.reset(h);
    if (aCreated)
        *aCreated = disposition == REG_CREATED_NEW_KEY;
    return status;
}

LONG TRegKey::Read(const std::wstring& aName, TRegValueData& aValue) const noexcept {
    return ResultOr<LONG>("TRegKey.Read", ERROR_OUTOFMEMORY, [&]() -> LONG {
        // A value can grow between the size query and the read: ask again until it fits. The first
        // buffer has the stored size exactly.
        DWORD stored = 0;
        const LONG sized = RegQueryValueExW(FKey.get(), ValueNameOrNull(aName), nullptr, nullptr, nullptr, &stored);
        if (sized == ERROR_FILE_NOT_FOUND) {
            aValue = TRegValueData{};
            return ERROR_SUCCESS;
        }
        std::vector<BYTE> buffer(sized == ERROR_SUCCESS ? stored : 64);
        for (int attempt = 0; attempt < 8; ++attempt) {
            DWORD size = static_cast<DWORD>(buffer.size());
            DWORD type = REG_NONE;
            const LONG status =
                RegQueryValueExW(FKey.get(), ValueNameOrNull(aName), nullptr, &type, buffer.data(), &size);
            if (status == ERROR_FILE_NOT_FOUND) {
                aValue = TRegValueData{};
                return ERROR_SUCCESS;
            }
            if (status == ERROR_MORE_DATA) {
                buffer.resize(size);
                continue;
            }
            if (status != ERROR_SUCCESS)
                return status;
            buffer.resize(size);
            aValue.Present = true;
            aValue.Type = type;
            aValue.Bytes.swap(buffer);
            return ERROR_SUCCESS;
        }
        return ERROR_MORE_DATA;
    });
}

LONG TRegKey::Write(const std::wstring& aName, DWORD aType, const void* aData, DWORD aSize) const noexcept {
    // RegSetValueExW stores a string value one character longer when its last character is not a
    // NUL but the one after the data is (NT "adds the forgotten terminator", and Wine does as NT).
    // A value put back must be stored byte for byte: such data goes through a copy followed by a
    // character that is not NUL.
    const bool stringType = aType == REG_SZ || aType == REG_EXPAND_SZ || aType == REG_MULTI_SZ;
    if (stringType && aData && aSize >= sizeof(wchar_t) && aSize % sizeof(wchar_t) == 0 &&
        static_cast<const wchar_t*>(aData)[aSize / sizeof(wchar_t) - 1] != L'\0') {
        return ResultOr<LONG>("TRegKey.Write", ERROR_OUTOFMEMORY, [&]() -> LONG {
            std::vector<wchar_t> copy(aSize / sizeof(wchar_t) + 1, L'\xFFFF');
            memcpy(copy.data(), aData, aSize);
            return RegSetValueExW(FKey.get(), ValueNameOrNull(aName), 0, aType,
                                  reinterpret_cast<const BYTE*>(copy.data()), aSize);
        });
    }
    return RegSetValueExW(FKey.get(), ValueNameOrNull(aName), 0, aType, static_cast<const BYTE*>(aData), aSize);
}

LONG TRegKey::Put(const std::wstring& aName, const TRegValueData& aValue) const noexcept {
    if (!aValue.Present)
        return DeleteValue(aName);
    return Write(aName, aValue.Type, aValue.Bytes.data(), static_cast<DWORD>(aValue.Bytes.size()));
}

LONG TRegKey::DeleteValue(const std::wstring& aName) const noexcept {
    const LONG status = RegDeleteValueW(FKey.get(), ValueNameOrNull(aName));
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG TRegKey::Values(std::vector<std::pair<std::wstring, TRegValueData>>& aValues) const noexcept {
    return ResultOr<LONG>("TRegKey.Values", ERROR_OUTOFMEMORY, [&]() -> LONG {
        DWORD count = 0, maxName = 0, maxData = 0;
        LONG status = RegQueryInfoKeyW(FKey.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                       &maxName, &maxData, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            return status;
        std::vector<std::pair<std::wstring, TRegValueData>> values;
        std::vector<wchar_t> name(maxName + 2);
        std::vector<BYTE> data(maxData + 1);
        for (DWORD i = 0; i < count; ++i) {
            DWORD nameLen = static_cast<DWORD>(name.size());
            DWORD size = static_cast<DWORD>(data.size());
            DWORD type = REG_NONE;
            status = RegEnumValueW(FKey.get(), i, name.data(), &nameLen, nullptr, &type, data.data(), &size);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status == ERROR_MORE_DATA) {
                // Changed since the count was taken: grow and read this index again.
                name.resize(name.size() * 2 + 256);
                data.resize(data.size() * 2 + 256);
                --i;
                continue;
            }
            if (status != ERROR_SUCCESS)
                return status;
            TRegValueData value;
            value.Present = true;
            value.Type = type;
            value.Bytes.assign(data.begin(), data.begin() + size);
            values.emplace_back(std::wstring(name.data(), nameLen), std::move(value));
        }
        aValues.swap(values);
        return ERROR_SUCCESS;
    });
}

bool TRegKey::IsEmpty() const noexcept {
    DWORD subKeys = 0, values = 0;
    return RegQueryInfoKeyW(FKey.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subKeys == 0 && values == 0;
}

namespace {

// The SID an active override maps HKEY_CURRENT_USER to; empty without one.
std::wstring OverriddenUserSid;

} // namespace

TCurrentUserOverride::TCurrentUserOverride(const std::wstring& aSid) noexcept {
    // The SID names a key below HKEY_USERS: a text that does not parse as one is no key name to try.
    PSID sid = nullptr;
    if (aSid.empty() || !ConvertStringSidToSidW(aSid.c_str(), &sid))
        return;
    TUniqueLocal sidOwner(sid);
    if (!OpenKey(HKEY_USERS, aSid, KEY_READ | KEY_WRITE, FKey))
        return;
    FActive = RegOverridePredefKey(HKEY_CURRENT_USER, FKey.get()) == ERROR_SUCCESS;
    if (FActive)
        IgnoringFailure("TCurrentUserOverride", [&] { OverriddenUserSid = aSid; });
}

TCurrentUserOverride::~TCurrentUserOverride() {
    // Undone before the key closes: the predefined handle must never refer to a closed key.
    if (FActive) {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        OverriddenUserSid.clear();
    }
}

std::wstring CurrentUserSid() noexcept {
    return ResultOr<std::wstring>("CurrentUserSid", std::wstring(), []() -> std::wstring {
        if (!OverriddenUserSid.empty())
            return OverriddenUserSid;
        HANDLE raw = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
            return std::wstring();
        const TUniqueKernelHandle token(raw);
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        LPWSTR text = nullptr;
        if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) ||
            !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
            return std::wstring();
        const TUniqueLocal owner(text);
        return text;
    });
}
