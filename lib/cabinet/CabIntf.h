// Run-time binding of the system's cabinet library (cabinet.dll) and its FDI/FCI declarations.
// The FDI/FCI functions declared by <fdi.h> and <fci.h> are defined here as thin wrappers over
// the library's entry points; only FDICreate and FCICreate load the library, since every other
// call needs a context that one of them returned.
#pragma once

#include <windows.h>
#include <fci.h>
#include <fdi.h>

#include <cstdint>
#include <stdexcept>
#include <string>

using TERF = ERF;
using TCCAB = CCAB;
using TFDICABINETINFO = FDICABINETINFO;
using TFDINOTIFICATION = FDINOTIFICATION;
using TFDIERROR = FDIERROR;
using TFDINOTIFICATIONTYPE = FDINOTIFICATIONTYPE;

// An operating-system failure raised by the cabinet library; what() is UTF-8.
class EOSError : public std::runtime_error {
public:
    explicit EOSError(DWORD anErrorCode);
    DWORD ErrorCode() const noexcept { return FErrorCode; }

private:
    DWORD FErrorCode;
};

[[noreturn]] void RaiseOSError(DWORD anErrorCode);
[[noreturn]] void RaiseLastOSError();

// The system's text for an error code, UTF-8, without trailing line breaks.
std::string SysErrorMessage(DWORD anErrorCode);

// Loads cabinet.dll and resolves every entry point. Raises EOSError on failure, leaving the library
// unloaded so that the next call tries again from the start. Does nothing when already bound.
void LoadCabinetLibrary();
bool CabinetLibraryLoaded() noexcept;

// The FCI compression code of an LZX window exponent (15..21): exponent << 8 | tcompTYPE_LZX.
constexpr std::uint16_t CompressionLzxCode(unsigned aWindowBits) noexcept {
    return static_cast<std::uint16_t>((aWindowBits << 8) | 3u);
}
