#include "QVPolicy.h"

TValueOwner PolicyOwnerOf(const std::wstring&, const std::wstring&) noexcept {
    return voNone;
}

const wchar_t* ValueOwnerName(TValueOwner anOwner) noexcept {
    return anOwner == voGroupPolicy ? L"Group Policy" : anOwner == voMdm ? L"MDM" : L"";
}
