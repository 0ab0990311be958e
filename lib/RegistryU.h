// Stand-alone registry routines. Each opens the key it needs, does one thing and closes the key
// again; none raises on a registry failure and none keeps a key open between calls. Keys are
// opened in the process's default registry view. 32-bit numbers are signed: -1 is 0xFFFFFFFF.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// True for a 32-bit process on 64-bit Windows; set once during start-up from IsWow64().
extern bool RunningUnderWow64;

// IsWow64Process for the current process, bound at run time; false when unavailable or failing.
bool IsWow64() noexcept;

// Stores aSize bytes of aData as a value of type aType; missing keys along aKeyPath are created.
// An empty value name addresses the key's default value.
bool WriteRegValue(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, DWORD aSize,
                   const void* aData, DWORD aType) noexcept;

// Reads a value whose stored type is exactly aType. aData is emptied first and stays empty on failure.
bool ReadRegValue(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, DWORD aType,
                  std::vector<BYTE>& aData) noexcept;

bool WriteRegString(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName,
                    const std::wstring& aText) noexcept;
bool WriteRegDWord(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, int aValue) noexcept;

// aText is emptied first and stays empty on failure; only REG_SZ data is read.
bool ReadRegString(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName,
                   std::wstring& aText) noexcept;
// aValue is set to 0 first and stays 0 on failure; only REG_DWORD data is read.
bool ReadRegDWord(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName, int& aValue) noexcept;

bool DeleteRegValue(HKEY aRoot, const std::wstring& aKeyPath, const std::wstring& aValueName) noexcept;

// Deletes the child aName (which must have no subkeys) of an open key; an empty name deletes the
// key aParent refers to. Returns the platform status, 0 on success.
LONG DeleteRegKey(HKEY aParent, const std::wstring& aName) noexcept;

// Deletes the key named by the text after the last backslash of aKeyPath. A trailing backslash
// makes that name empty, which deletes the key the text before it names. No backslash: false.
bool DeleteRegKeyPath(HKEY aRoot, const std::wstring& aKeyPath) noexcept;

// DeleteRegKeyPath, after deleting every subkey first when aRecurse is set. Stops at the first
// child that cannot be deleted. A path without a backslash is refused.
bool DeleteRegKeyTree(HKEY aRoot, const std::wstring& aKeyPath, bool aRecurse) noexcept;

// A value as it is stored: absent, or its type and bytes.
struct TRegValueData {
    bool Present = false;
    DWORD Type = REG_NONE;
    std::vector<BYTE> Bytes;
    bool operator==(const TRegValueData& o) const {
        return Present == o.Present && (!Present || (Type == o.Type && Bytes == o.Bytes));
    }
    bool operator!=(const TRegValueData& o) const { return !(*this == o); }
};

// The DWORD a value holds when it is exactly a 4-byte REG_DWORD.
bool RegDWordOf(const TRegValueData& aValue, DWORD& aNumber) noexcept;

// One open key for several operations, where the routines above would open it once per value.
// Move-only; the key is closed with the object. Every call returns the platform status, and out
// parameters are only filled on success.
class TRegKey {
public:
    TRegKey() = default;
    TRegKey(TRegKey&&) = default;
    TRegKey& operator=(TRegKey&&) = default;

    // An existing key; anAccess may carry KEY_WOW64_64KEY or KEY_WOW64_32KEY.
    [[nodiscard]] LONG Open(HKEY aRoot, const std::wstring& aPath, REGSAM anAccess) noexcept;
    // Opens or creates the key (and any missing keys above it). aCreated tells which happened.
    [[nodiscard]] LONG Create(HKEY aRoot, const std::wstring& aPath, REGSAM anAccess, DWORD anOptions,
                              bool* aCreated = nullptr) noexcept;
    bool Valid() const noexcept { return static_cast<bool>(FKey); }
    HKEY Get() const noexcept { return FKey.get(); }

    // An absent value is a success with Present false; any other failure leaves aValue alone.
    [[nodiscard]] LONG Read(const std::wstring& aName, TRegValueData& aValue) const noexcept;
    [[nodiscard]] LONG Write(const std::wstring& aName, DWORD aType, const void* aData, DWORD aSize) const noexcept;
    // Writes aValue's type and bytes, or deletes the value when aValue is absent.
    [[nodiscard]] LONG Put(const std::wstring& aName, const TRegValueData& aValue) const noexcept;
    // Deleting a value that does not exist is a success.
    [[nodiscard]] LONG DeleteValue(const std::wstring& aName) const noexcept;
    // Every value's name and data, in the platform's order.
    [[nodiscard]] LONG Values(std::vector<std::pair<std::wstring, TRegValueData>>& aValues) const noexcept;
    // True when the key holds no value and no subkey; false also when it cannot be asked.
    bool IsEmpty() const noexcept;

private:
    TUniqueHKey FKey;
};

// Maps this process's HKEY_CURRENT_USER to the loaded hive of another account, HKEY_USERS\<SID>,
// for the object's lifetime; afterwards HKEY_CURRENT_USER is the process's own user again (an
// earlier override is not restored). A process running as another account (an installer's
// elevated service) reaches the user's settings this way. Only a text that is a SID is taken, and
// nothing is mapped when that user's hive is not loaded.
class TCurrentUserOverride {
public:
    explicit TCurrentUserOverride(const std::wstring& aSid) noexcept;
    ~TCurrentUserOverride();
    TCurrentUserOverride(const TCurrentUserOverride&) = delete;
    TCurrentUserOverride& operator=(const TCurrentUserOverride&) = delete;

    bool Active() const noexcept { return FActive; }

private:
    TUniqueHKey FKey;
    bool FActive = false;
};

// The SID, as text, of the user HKEY_CURRENT_USER stands for: the one an active
// TCurrentUserOverride maps, otherwise the process token's user. Empty when it cannot be told.
std::wstring CurrentUserSid() noexcept;
