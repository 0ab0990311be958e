// Group Policy's registry policy files ("Registry.pol"): the header "PReg" and version 1, then
// records [key;value;type;size;data] whose brackets and semicolons are UTF-16LE characters, key
// and value NUL-terminated UTF-16LE texts, type and size little-endian 32-bit numbers and data
// size raw bytes. Standard C++ only: the bytes come from whoever reads the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TPolicyRecord {
    std::wstring Key;
    std::wstring Value;
    std::uint32_t Type = 0;
    std::vector<std::uint8_t> Data;
};

// All records of a policy file; false for anything that is not such a file (bad header, a record cut short,
// a size beyond the end...), with the records read before the fault left in aRecords. Nothing is allocated
// beyond what the input holds.
bool ParsePolicyFile(const std::vector<std::uint8_t>& aBytes, std::vector<TPolicyRecord>& aRecords);

// The bytes of a policy file holding aRecords, the inverse of ParsePolicyFile for texts without NUL.
std::vector<std::uint8_t> PolicyFileBytes(const std::vector<TPolicyRecord>& aRecords);

// A key as policy records are compared: ASCII upper case, without backslashes at either end and
// without a leading "HKLM\" (or "HKEY_LOCAL_MACHINE\").
std::wstring PolicyKeyOf(const std::wstring& aKey);

// Whether the records set value aValue of key aKey (key compared without ASCII case, without a leading
// "HKLM\" or backslash; value compared without ASCII case). The last record that concerns the value decides:
// a plain record sets it; "**del.<value>", "**DeleteValues" naming it, "**DelVals" of its key and
// "**DeleteKeys" naming its key or a key above delete it. Other control codes ("**soft.", "**SecureKey",
// unknown ones) neither set nor delete.
bool PolicySetsValue(const std::vector<TPolicyRecord>& aRecords, const std::wstring& aKey, const std::wstring& aValue);

// Whether the records decide value aValue of key aKey at all: the last record that concerns it sets
// it, or deletes it (a policy set to Disabled deletes its value at every refresh).
bool PolicyDecidesValue(const std::vector<TPolicyRecord>& aRecords, const std::wstring& aKey,
                        const std::wstring& aValue);
