// Stand-alone registry routines. Each opens the key it needs, does one thing and closes the key
// again; none raises on a registry failure and none keeps a key open between calls. Keys are
// opened in the process's default registry view. 32-bit numbers are signed: -1 is 0xFFFFFFFF.
#pragma once

#include <windows.h>

#include <string>
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
