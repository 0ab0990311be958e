// Message texts of the cabinet library.
#pragma once

extern const char* const SXnCabModuleName;        // "CabXnComps2"
extern const char* const SXnCabInvalidFormat;     // the format error of the file-table reader
extern const char* const SXnCabSetPositionFailed; // a seek in the file-table reader missed
extern const char* const SXnCabUnexpectedDelete;  // FCI asked to delete a stream
extern const char* const SXnCabUnsafeEntryName;   // an entry name that would leave the destination
extern const char* const SXnCabUnsafeCabinetName; // a next-cabinet name that is not a plain file name

// Text of an FDI error code (FDIERROR_NONE .. FDIERROR_USER_ABORT), "FDI error" for others.
const char* FDIErrorText(int aCode) noexcept;
// Text of an FCI error code (FCIERR_NONE .. FCIERR_MCI_FAIL), "FCI error" for others.
const char* FCIErrorText(int aCode) noexcept;
