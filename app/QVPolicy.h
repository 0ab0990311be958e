// Who else sets a policy value: placeholder until the policy reader lands.
#pragma once

#include <cstdint>
#include <string>

enum TValueOwner : std::uint8_t { voNone = 0, voGroupPolicy = 1, voMdm = 2 };
TValueOwner PolicyOwnerOf(const std::wstring& aKey, const std::wstring& aValue) noexcept;
const wchar_t* ValueOwnerName(TValueOwner anOwner) noexcept;
