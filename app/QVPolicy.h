// Registry values that an organization's policy owns: Group Policy (the local policy object and the
// cached copies of domain policy objects) or the MDM policy store rewrite them at every refresh, so
// the program never writes over them. Reads the running machine and never writes.
#pragma once

#include <cstdint>
#include <string>

enum TValueOwner : std::uint8_t { voNone = 0, voGroupPolicy = 1, voMdm = 2 };

// Who, besides this program, sets HKLM value aValue of aKey (a path below HKLM such as
// "SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002"): Group Policy when a machine
// Registry.pol of the local GPO or of a cached domain GPO sets it, MDM when the MDM policy store holds the
// matching policy. Only the values of a small fixed table can be owned; voNone for any other value, and when
// nothing sets it or nothing can be read. Never raises.
TValueOwner PolicyOwnerOf(const std::wstring& aKey, const std::wstring& aValue) noexcept;

// "Group Policy", "MDM", or empty.
const wchar_t* ValueOwnerName(TValueOwner anOwner) noexcept;
