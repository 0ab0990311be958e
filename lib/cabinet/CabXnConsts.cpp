#include "CabXnConsts.h"

const char* const SXnCabModuleName = "CabXnComps2";
const char* const SXnCabInvalidFormat = "Cabinet file does not have the correct format";
const char* const SXnCabSetPositionFailed = "Failure setting file stream position";
const char* const SXnCabUnexpectedDelete = "Unexpected operation during decompression to memory";
const char* const SXnCabUnsafeEntryName = "Unsafe entry name in cabinet, nothing written for it";
const char* const SXnCabUnsafeCabinetName = "Unsafe next cabinet name in cabinet header";

const char* FDIErrorText(int aCode) noexcept {
    static const char* const kTexts[] = {"No error",
                                         "Cabinet not found",
                                         "Cabinet file does not have the correct format",
                                         "Cabinet file has an unknown version number",
                                         "Cabinet file is corrupt",
                                         "Could not allocate enough memory",
                                         "Unknown compression type in a cabinet folder",
                                         "Failure decompressing data from a cabinet file",
                                         "Failure writing to target file",
                                         "Cabinets in a set do not have the same RESERVE sizes",
                                         "Cabinet returned on fdintNEXT_CABINET is incorrect",
                                         "FDI aborted"};
    if (aCode < 0 || aCode >= static_cast<int>(sizeof(kTexts) / sizeof(kTexts[0])))
        return "FDI error";
    return kTexts[aCode];
}

const char* FCIErrorText(int aCode) noexcept {
    static const char* const kTexts[] = {"No error",
                                         "Failure opening file to be stored in cabinet",
                                         "Failure reading file to be stored in cabinet",
                                         "Out of memory in FCI",
                                         "Could not create a temporary file",
                                         "Unknown compression type",
                                         "Could not create cabinet file",
                                         "Client requested abort",
                                         "Failure compressing data"};
    if (aCode < 0 || aCode >= static_cast<int>(sizeof(kTexts) / sizeof(kTexts[0])))
        return "FCI error";
    return kTexts[aCode];
}
