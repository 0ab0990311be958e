#include "CabIntf.h"

#include "../HandleU.h"
#include "../TextU.h"

#include <string>

namespace {

using TFCICreate = decltype(&FCICreate);
using TFCIAddFile = decltype(&FCIAddFile);
using TFCIFlushCabinet = decltype(&FCIFlushCabinet);
using TFCIFlushFolder = decltype(&FCIFlushFolder);
using TFCIDestroy = decltype(&FCIDestroy);
using TFDICreate = decltype(&FDICreate);
using TFDIIsCabinet = decltype(&FDIIsCabinet);
using TFDICopy = decltype(&FDICopy);
using TFDIDestroy = decltype(&FDIDestroy);

struct TCabinetBinding {
    TUniqueModule Module; // unloaded at exit through the owner's destructor
    TFCICreate FCICreate = nullptr;
    TFCIAddFile FCIAddFile = nullptr;
    TFCIFlushCabinet FCIFlushCabinet = nullptr;
    TFCIFlushFolder FCIFlushFolder = nullptr;
    TFCIDestroy FCIDestroy = nullptr;
    TFDICreate FDICreate = nullptr;
    TFDIIsCabinet FDIIsCabinet = nullptr;
    TFDICopy FDICopy = nullptr;
    TFDIDestroy FDIDestroy = nullptr;
};

TCabinetBinding& Binding() {
    static TCabinetBinding binding;
    return binding;
}

template <typename T> void Resolve(HMODULE aModule, const char* aName, T& aTarget) {
    FARPROC p = GetProcAddress(aModule, aName);
    if (!p)
        RaiseLastOSError();
    aTarget = reinterpret_cast<T>(reinterpret_cast<void*>(p));
}

} // namespace

EOSError::EOSError(DWORD anErrorCode)
    : std::runtime_error("System Error. Code: " + std::to_string(anErrorCode) + ".\r\n" + SysErrorMessage(anErrorCode)),
      FErrorCode(anErrorCode) {}

void RaiseOSError(DWORD anErrorCode) {
    throw EOSError(anErrorCode);
}

void RaiseLastOSError() {
    RaiseOSError(GetLastError());
}

std::string SysErrorMessage(DWORD anErrorCode) {
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, anErrorCode, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    TUniqueLocal owner(buffer);
    std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return WideToUtf8(text);
}

void LoadCabinetLibrary() {
    TCabinetBinding& b = Binding();
    if (b.Module)
        return;
    TUniqueModule module(LoadLibraryW(L"cabinet.dll"));
    if (!module)
        RaiseLastOSError();
    TCabinetBinding bound;
    const HMODULE h = module.get();
    Resolve(h, "FCICreate", bound.FCICreate);
    Resolve(h, "FCIAddFile", bound.FCIAddFile);
    Resolve(h, "FCIFlushCabinet", bound.FCIFlushCabinet);
    Resolve(h, "FCIFlushFolder", bound.FCIFlushFolder);
    Resolve(h, "FCIDestroy", bound.FCIDestroy);
    Resolve(h, "FDICreate", bound.FDICreate);
    Resolve(h, "FDIIsCabinet", bound.FDIIsCabinet);
    Resolve(h, "FDICopy", bound.FDICopy);
    Resolve(h, "FDIDestroy", bound.FDIDestroy);
    // Only a complete binding is kept; a failure above has unloaded the module through its owner.
    bound.Module = std::move(module);
    b = std::move(bound);
}

bool CabinetLibraryLoaded() noexcept {
    return static_cast<bool>(Binding().Module);
}

extern "C" {

HFCI DIAMONDAPI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf, PFNFCIOPEN pfnopen,
                          PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose, PFNFCISEEK pfnseek,
                          PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab, void* pv) {
    LoadCabinetLibrary();
    return Binding().FCICreate(perf, pfnfcifp, pfna, pfnf, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, pfndelete,
                               pfnfcigtf, pccab, pv);
}

WINBOOL DIAMONDAPI FCIAddFile(HFCI hfci, LPSTR pszSourceFile, LPSTR pszFileName, WINBOOL fExecute,
                              PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                              TCOMP typeCompress) {
    return Binding().FCIAddFile(hfci, pszSourceFile, pszFileName, fExecute, pfnfcignc, pfnfcis, pfnfcigoi,
                                typeCompress);
}

WINBOOL DIAMONDAPI FCIFlushCabinet(HFCI hfci, WINBOOL fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                                   PFNFCISTATUS pfnfcis) {
    return Binding().FCIFlushCabinet(hfci, fGetNextCab, pfnfcignc, pfnfcis);
}

WINBOOL DIAMONDAPI FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis) {
    return Binding().FCIFlushFolder(hfci, pfnfcignc, pfnfcis);
}

WINBOOL DIAMONDAPI FCIDestroy(HFCI hfci) {
    return Binding().FCIDestroy(hfci);
}

HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
                          PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, PERF perf) {
    LoadCabinetLibrary();
    return Binding().FDICreate(pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, cpuType, perf);
}

WINBOOL DIAMONDAPI FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici) {
    return Binding().FDIIsCabinet(hfdi, hf, pfdici);
}

WINBOOL DIAMONDAPI FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
                           PFNFDIDECRYPT pfnfdid, void* pvUser) {
    return Binding().FDICopy(hfdi, pszCabinet, pszCabPath, flags, pfnfdin, pfnfdid, pvUser);
}

WINBOOL DIAMONDAPI FDIDestroy(HFDI hfdi) {
    return Binding().FDIDestroy(hfdi);
}

} // extern "C"
