#include "CabXnComps2.h"

#include "CabXnConsts.h"

#include "../FallbackU.h"
#include "../HandleU.h"
#include "../PathU.h"
#include "../SafePathU.h"
#include "../TextU.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// C runtime open flags as FDI and FCI pass them.
constexpr int kORdOnly = 0x0000;
constexpr int kOWrOnly = 0x0001;
constexpr int kORdWr = 0x0002;
constexpr int kOAppend = 0x0008;
constexpr int kORandom = 0x0010;
constexpr int kOSequential = 0x0020;
constexpr int kOTemporary = 0x0040;
constexpr int kOCreat = 0x0100;
constexpr int kOTrunc = 0x0200;
constexpr int kOExcl = 0x0400;
constexpr int kOShortLived = 0x1000;
constexpr int kOBinary = 0x8000;

constexpr USHORT kAttrMask =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE; // 0x27
constexpr USHORT kNameIsUtf8 = 0x80;                                                                  // _A_NAME_IS_UTF
constexpr size_t kMaxEnumNameBytes = 780;
constexpr size_t kFdiPathBuffer = 256; // FDI's buffer for the folder of the next cabinet

HANDLE AsHandle(INT_PTR aHandle) noexcept {
    return reinterpret_cast<HANDLE>(aHandle);
}

std::wstring ExpandFileName(const std::wstring& aName) {
    const DWORD n = GetFullPathNameW(aName.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return aName;
    std::wstring full(n, L'\0');
    const DWORD m = GetFullPathNameW(aName.c_str(), n, full.data(), nullptr);
    if (m == 0 || m >= n)
        return aName;
    full.resize(m);
    return full;
}

bool FileExists(const std::wstring& aName) {
    const DWORD attrs = GetFileAttributesW(aName.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates aDir and every missing parent; true when the folder exists afterwards.
bool ForceDirectories(const std::wstring& aDir) {
    std::wstring dir = aDir;
    while (dir.size() > 1 && (dir.back() == L'\\' || dir.back() == L'/'))
        dir.pop_back();
    if (dir.empty() || (dir.size() == 2 && dir[1] == L':'))
        return true;
    const DWORD attrs = GetFileAttributesW(dir.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES)
        return (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::wstring parent = ExtractFilePath(dir);
    if (!parent.empty() && parent != dir && !ForceDirectories(parent))
        return false;
    return CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Entry names are in the ANSI code page unless their attributes flag them as UTF-8.
std::wstring DecodeEntryName(const char* aName, USHORT anAttribs) {
    const std::string bytes = aName ? aName : "";
    return (anAttribs & kNameIsUtf8) ? Utf8ToWide(bytes) : AnsiToWide(bytes);
}

std::wstring FromAnsi(const char* aText) {
    return AnsiToWide(aText ? aText : "");
}

// Copies aText with its zero into a fixed buffer; raises when it does not fit.
void CopyToBuffer(char* aBuffer, size_t aSize, const std::string& aText) {
    if (aText.size() >= aSize)
        throw std::runtime_error("Name too long for the cabinet library: " + aText);
    std::memcpy(aBuffer, aText.c_str(), aText.size() + 1);
}

std::string UnsafeNameMessage(const char* aWhat, const std::wstring& aName) {
    return std::string(aWhat) + ": \"" + WideToUtf8(aName) + "\"";
}

// -- FDI callback set ------------------------------------------------------------------------

void* DIAMONDAPI CabAlloc(ULONG aSize) {
    return std::malloc(aSize ? aSize : 1);
}

void DIAMONDAPI CabFree(void* aBlock) {
    std::free(aBlock);
}

void NoteFileError(int anErr) noexcept {
    if (anErr != 0)
        LastCabFileError = static_cast<DWORD>(anErr);
}

INT_PTR DIAMONDAPI FdiOpen(char* aName, int anOFlag, int aPMode) {
    int err = 0;
    const INT_PTR h = StdFileOpen(aName, anOFlag, aPMode, err);
    NoteFileError(err);
    return h;
}

UINT DIAMONDAPI FdiRead(INT_PTR aHandle, void* aBuffer, UINT aCount) {
    int err = 0;
    const UINT n = StdFileRead(aHandle, aBuffer, aCount, err);
    NoteFileError(err);
    return n;
}

UINT DIAMONDAPI FdiWrite(INT_PTR aHandle, void* aBuffer, UINT aCount) {
    int err = 0;
    const UINT n = StdFileWrite(aHandle, aBuffer, aCount, err);
    NoteFileError(err);
    return n;
}

int DIAMONDAPI FdiClose(INT_PTR aHandle) {
    int err = 0;
    const int r = StdFileClose(aHandle, err);
    NoteFileError(err);
    return r;
}

LONG DIAMONDAPI FdiSeek(INT_PTR aHandle, LONG aDistance, int anOrigin) {
    int err = 0;
    const long r = StdFileSeek(aHandle, aDistance, anOrigin, err);
    NoteFileError(err);
    return r;
}

// A file of the standard file operations (a real handle or a pseudo-stream token), closed with them.
struct TStdFileTraits {
    using type = INT_PTR;
    static type invalid() noexcept { return -1; }
    static void close(type h) noexcept {
        int err = 0;
        StdFileClose(h, err);
    }
};

} // namespace

thread_local DWORD LastCabFileError = 0;

// -- TStreamMan ------------------------------------------------------------------------------

std::wstring TStreamMan::AddStream(TByteStream* aStream) {
    const std::wstring name = L"Stream_" + std::to_wstring(++FLastFlNameId);
    FStreamL[AsciiUpper(name)] = aStream;
    return name;
}

void TStreamMan::AddHandle(const std::wstring& aFlName, INT_PTR aHandle, bool keepPos) {
    TByteStream* stream = StreamByFlName(aFlName);
    if (!stream)
        return;
    FHandleL[aHandle] = THandleEntry{stream, keepPos ? stream->GetPosition() : 0};
}

bool TStreamMan::CheckFlName(const std::wstring& aFlName) const {
    return FStreamL.count(AsciiUpper(aFlName)) != 0;
}

TByteStream* TStreamMan::StreamByFlName(const std::wstring& aFlName) const {
    const auto it = FStreamL.find(AsciiUpper(aFlName));
    return it == FStreamL.end() ? nullptr : it->second;
}

bool TStreamMan::CheckHandle(INT_PTR aHandle) const {
    return FHandleL.count(aHandle) != 0;
}

TByteStream* TStreamMan::StreamByHandle(INT_PTR aHandle) const {
    const auto it = FHandleL.find(aHandle);
    return it == FHandleL.end() ? nullptr : it->second.Stream;
}

int TStreamMan::ReadBuffer(INT_PTR aHandle, void* pBuff, unsigned aLen) {
    const auto it = FHandleL.find(aHandle);
    if (it == FHandleL.end())
        return 0;
    TByteStream& s = *it->second.Stream;
    const std::int64_t size = s.GetSize();
    const std::int64_t left = std::max<std::int64_t>(size - it->second.Pos, 0);
    const size_t wanted = static_cast<size_t>(std::min<std::int64_t>(aLen, left));
    s.SetPosition(it->second.Pos);
    const std::int64_t n = wanted ? s.Read(pBuff, static_cast<std::int64_t>(wanted)) : 0;
    it->second.Pos = s.GetPosition();
    return static_cast<int>(n);
}

void TStreamMan::WriteBuffer(INT_PTR aHandle, const void* pBuff, unsigned aLen) {
    const auto it = FHandleL.find(aHandle);
    if (it == FHandleL.end())
        return;
    TByteStream& s = *it->second.Stream;
    s.SetPosition(it->second.Pos);
    if (s.Write(pBuff, aLen) != aLen)
        throw std::runtime_error("Stream write error");
    it->second.Pos = s.GetPosition();
}

long TStreamMan::Seek(INT_PTR aHandle, long anOffset, int anOrigin) {
    const auto it = FHandleL.find(aHandle);
    if (it == FHandleL.end())
        return anOffset;
    TByteStream& s = *it->second.Stream;
    s.SetPosition(it->second.Pos);
    const std::int64_t base = anOrigin == 1 ? it->second.Pos : anOrigin == 2 ? s.GetSize() : 0;
    s.SetPosition(base + anOffset);
    it->second.Pos = s.GetPosition();
    return static_cast<long>(it->second.Pos);
}

void TStreamMan::ReleaseStream(const std::wstring& aFlName) {
    FStreamL.erase(AsciiUpper(aFlName));
}

void TStreamMan::ReleaseHandle(INT_PTR aHandle) {
    FHandleL.erase(aHandle);
}

INT_PTR TStreamMan::NewHandleToken() noexcept {
    return (++FLastToken << 2) | 2;
}

TStreamMan& StreamMan() {
    static TStreamMan manager;
    return manager;
}

TRegisteredStream::TRegisteredStream(TByteStream* aStream, std::wstring* aSlot)
    : FName(aStream ? StreamMan().AddStream(aStream) : std::wstring()), FSlot(aSlot) {
    if (FSlot)
        *FSlot = FName;
}

TRegisteredStream::~TRegisteredStream() {
    if (FSlot)
        FSlot->clear();
    if (!FName.empty())
        StreamMan().ReleaseStream(FName);
}

// -- Standard file operations -----------------------------------------------------------------

INT_PTR StdFileOpen(const char* aName, int anOFlag, int, int& anErr) noexcept {
    try {
        return StdFileOpenW(FromAnsi(aName), anOFlag, anErr);
    } catch (...) {
        NoteCurrentSwallowed("StdFileOpen");
        anErr = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
}

INT_PTR StdFileOpenW(const std::wstring& aName, int anOFlag, int& anErr) noexcept {
    try {
        TStreamMan& sm = StreamMan();
        if (sm.CheckFlName(aName)) {
            const INT_PTR token = sm.NewHandleToken();
            sm.AddHandle(aName, token, false);
            // A stream opened for a new cabinet or entry starts empty, as a truncated file would.
            if (anOFlag & kOTrunc)
                sm.StreamByFlName(aName)->SetSize(0);
            return token;
        }
        DWORD access = GENERIC_READ;
        switch (anOFlag & 3) {
        case kOWrOnly:
            access = GENERIC_WRITE;
            break;
        case kORdWr:
            access = GENERIC_READ | GENERIC_WRITE;
            break;
        default:
            break;
        }
        DWORD disposition = OPEN_EXISTING;
        if ((anOFlag & kOCreat) && (anOFlag & kOExcl))
            disposition = CREATE_NEW;
        else if (anOFlag & kOTrunc)
            disposition = (anOFlag & kOCreat) ? CREATE_ALWAYS : TRUNCATE_EXISTING;
        else if (anOFlag & kOCreat)
            disposition = OPEN_ALWAYS;
        DWORD flags =
            ((anOFlag & kOShortLived) && (anOFlag & kOCreat)) ? FILE_ATTRIBUTE_TEMPORARY : FILE_ATTRIBUTE_NORMAL;
        if (anOFlag & kORandom)
            flags |= FILE_FLAG_RANDOM_ACCESS;
        if (anOFlag & kOSequential)
            flags |= FILE_FLAG_SEQUENTIAL_SCAN;
        if ((anOFlag & kOTemporary) && (anOFlag & kOCreat))
            flags |= FILE_FLAG_DELETE_ON_CLOSE;
        TUniqueFile file(CreateFileW(aName.c_str(), access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr));
        if (!file) {
            anErr = static_cast<int>(GetLastError());
            return -1;
        }
        if ((anOFlag & kOAppend) && SetFilePointer(file.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
            GetLastError() != NO_ERROR) {
            anErr = static_cast<int>(GetLastError());
            return -1;
        }
        return reinterpret_cast<INT_PTR>(file.release());
    } catch (...) {
        NoteCurrentSwallowed("StdFileOpenW");
        anErr = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
}

UINT StdFileRead(INT_PTR aHandle, void* aBuffer, UINT aCount, int& anErr) noexcept {
    try {
        TStreamMan& sm = StreamMan();
        if (sm.CheckHandle(aHandle))
            return static_cast<UINT>(sm.ReadBuffer(aHandle, aBuffer, aCount));
        DWORD done = 0;
        if (!ReadFile(AsHandle(aHandle), aBuffer, aCount, &done, nullptr)) {
            anErr = static_cast<int>(GetLastError());
            return static_cast<UINT>(-1);
        }
        return done;
    } catch (...) {
        NoteCurrentSwallowed("StdFileRead");
        anErr = ERROR_READ_FAULT;
        return static_cast<UINT>(-1);
    }
}

UINT StdFileWrite(INT_PTR aHandle, const void* aBuffer, UINT aCount, int& anErr) noexcept {
    try {
        TStreamMan& sm = StreamMan();
        if (sm.CheckHandle(aHandle)) {
            sm.WriteBuffer(aHandle, aBuffer, aCount);
            return aCount;
        }
        DWORD done = 0;
        if (!WriteFile(AsHandle(aHandle), aBuffer, aCount, &done, nullptr)) {
            anErr = static_cast<int>(GetLastError());
            return static_cast<UINT>(-1);
        }
        return done;
    } catch (...) {
        NoteCurrentSwallowed("StdFileWrite");
        anErr = ERROR_WRITE_FAULT;
        return static_cast<UINT>(-1);
    }
}

int StdFileClose(INT_PTR aHandle, int& anErr) noexcept {
    TStreamMan& sm = StreamMan();
    if (sm.CheckHandle(aHandle)) {
        sm.ReleaseHandle(aHandle);
        return 0;
    }
    if (!CloseHandle(AsHandle(aHandle))) {
        anErr = static_cast<int>(GetLastError());
        return -1;
    }
    return 0;
}

long StdFileSeek(INT_PTR aHandle, long aDistance, int anOrigin, int& anErr) noexcept {
    try {
        TStreamMan& sm = StreamMan();
        if (sm.CheckHandle(aHandle))
            return sm.Seek(aHandle, aDistance, anOrigin);
        const DWORD method = anOrigin == 1 ? FILE_CURRENT : anOrigin == 2 ? FILE_END : FILE_BEGIN;
        SetLastError(NO_ERROR);
        const DWORD pos = SetFilePointer(AsHandle(aHandle), aDistance, nullptr, method);
        if (pos == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
            anErr = static_cast<int>(GetLastError());
            return -1;
        }
        return static_cast<long>(pos);
    } catch (...) {
        NoteCurrentSwallowed("StdFileSeek");
        anErr = ERROR_SEEK;
        return -1;
    }
}

bool StdFileSetInfo(const char* aName, USHORT aDate, USHORT aTime, int& anErr, USHORT anAttribs) noexcept {
    try {
        return StdFileSetInfoW(FromAnsi(aName), aDate, aTime, anErr, anAttribs);
    } catch (...) {
        NoteCurrentSwallowed("StdFileSetInfo");
        anErr = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

bool StdFileSetInfoW(const std::wstring& aName, USHORT aDate, USHORT aTime, int& anErr, USHORT anAttribs) noexcept {
    try {
        if (StreamMan().CheckFlName(aName))
            return true;
        TUniqueFile file(CreateFileW(aName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file) {
            anErr = static_cast<int>(GetLastError());
            return false;
        }
        return SetFileInfoOnHandle(file.get(), aDate, aTime, anErr, anAttribs);
    } catch (...) {
        NoteCurrentSwallowed("StdFileSetInfoW");
        anErr = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

bool SetFileInfoOnHandle(HANDLE aFile, USHORT aDate, USHORT aTime, int& anErr, USHORT anAttribs) noexcept {
    // Times and attributes in one call on the open handle: no second open, no lookup by name.
    FILE_BASIC_INFO info{};
    FILETIME local{}, utc{};
    if (DosDateTimeToFileTime(aDate, aTime, &local) && LocalFileTimeToFileTime(&local, &utc)) {
        info.CreationTime.LowPart = utc.dwLowDateTime;
        info.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
        info.LastWriteTime = info.CreationTime;
    }
    const DWORD attrs = anAttribs & kAttrMask;
    info.FileAttributes = attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(aFile, FileBasicInfo, &info, sizeof(info))) {
        anErr = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

// -- EXnCabinet ------------------------------------------------------------------------------

namespace {

std::string Hex4(unsigned long aValue) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%04lX", aValue);
    return buffer;
}

} // namespace

std::string EXnCabinet::BuildMessage(const TERF& anERF, bool anIsCompressing) {
    if (!anERF.fError)
        return anIsCompressing ? "FCI error" : "FDI error";
    const unsigned long code = static_cast<unsigned long>(anERF.erfOper);
    std::string message = std::string(anIsCompressing ? FCIErrorText(anERF.erfOper) : FDIErrorText(anERF.erfOper)) +
                          " [0x" + Hex4(code) + "]";
    if (anERF.erfType != 0) {
        const DWORD win = static_cast<DWORD>(anERF.erfType);
        message += ".\r\n" + SysErrorMessage(win) + " [0x" + Hex4(win) + "].";
    }
    return message;
}

EXnCabinet::EXnCabinet(const TERF& anERF, bool anIsCompressing)
    : std::runtime_error(BuildMessage(anERF, anIsCompressing)), FCabError(anERF.erfOper),
      FWinError(static_cast<DWORD>(anERF.erfType)), FErrorPresent(anERF.fError != 0), FIsCompressing(anIsCompressing) {}

EXnCabinet::EXnCabinet(const std::string& aMessage, int aCabError, bool anIsCompressing)
    : std::runtime_error(aMessage), FCabError(aCabError), FWinError(0), FErrorPresent(true),
      FIsCompressing(anIsCompressing) {}

std::string FormatCabError(const std::string& aMessage, const std::string& aFunctionName) {
    std::string text = std::string("Internal error in module \"") + SXnCabModuleName + "\"";
    if (!aFunctionName.empty() || !aMessage.empty())
        text += ": \r\n";
    if (!aFunctionName.empty())
        text += "Function \"" + aFunctionName + "\"";
    if (!aFunctionName.empty() && !aMessage.empty())
        text += " - ";
    return text + aMessage;
}

std::wstring ConcatPaths(const std::wstring& aPart1, const std::wstring& aPart2) {
    if (aPart1.empty())
        return aPart2;
    if (aPart2.empty())
        return aPart1;
    const bool tail = aPart1.back() == L'\\';
    const bool head = aPart2.front() == L'\\';
    if (tail && head)
        return aPart1 + aPart2.substr(1);
    if (tail || head)
        return aPart1 + aPart2;
    return aPart1 + L'\\' + aPart2;
}

// -- TXnCabReader ----------------------------------------------------------------------------

TXnCabReader::TXnCabReader() = default;

TXnCabReader::~TXnCabReader() {
    // A destructor never raises: a context that fails to go is left to the process's end.
    IgnoringFailure("TXnCabReader.~TXnCabReader", [this] { DestroyContext(); });
}

HFDI TXnCabReader::Handle() {
    EnsureContext();
    return FHandle;
}

void TXnCabReader::EnsureContext() {
    if (FHandle)
        return;
    FERF = TERF{};
    FHandle = FDICreate(CabAlloc, CabFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &FERF);
    CheckCabResult(FHandle != nullptr);
}

void TXnCabReader::DestroyContext() {
    if (!FHandle)
        return;
    const HFDI h = FHandle;
    FHandle = nullptr;
    CheckCabResult(FDIDestroy(h) != FALSE);
}

void TXnCabReader::CheckCabResult(bool anOK) {
    if (FPendingError) {
        std::exception_ptr pending = FPendingError;
        FPendingError = nullptr;
        std::rethrow_exception(pending);
    }
    if (anOK)
        return;
    FERF.erfType = static_cast<int>(LastCabFileError);
    throw EXnCabinet(FERF, false);
}

bool TXnCabReader::IsCabinet(const std::wstring& aFileName, TFDICABINETINFO& aCabInfo) {
    int err = 0;
    const TUniqueHandle<TStdFileTraits> file(StdFileOpenW(aFileName, kOBinary | kORdOnly, err));
    if (!file)
        RaiseOSError(static_cast<DWORD>(err));
    return FDIIsCabinet(Handle(), file.get(), &aCabInfo) != FALSE;
}

bool TXnCabReader::IsCabinet(TByteStream* aSrcStream, TFDICABINETINFO& aCabInfo) {
    if (!aSrcStream)
        return false;
    const TRegisteredStream source(aSrcStream);
    return IsCabinet(source.Name(), aCabInfo);
}

void TXnCabReader::ExtractFiles(const std::wstring& aFileName, const std::wstring& aDstPath,
                                TXnCabExtractFilesOptions anOptions) {
    const bool pseudo = StreamMan().CheckFlName(aFileName);
    FFileName = pseudo ? aFileName : ExpandFileName(aFileName);
    FDstPath = IncludeTrailingDelimiter(aDstPath);
    FSrcFileNames.clear();
    FSrcRawNames.clear();
    FDstFileNames.clear();
    // Every member visited so far: a set whose headers point back to an earlier member ends there.
    std::vector<std::wstring> visited;
    std::wstring current = FFileName;
    while (!current.empty()) {
        FNextFileName.clear();
        FNextDiskName.clear();
        FCurrentFileName2.clear();
        FCurrentFileName = current;
        FIsOnPartialFile = false;
        visited.push_back(AsciiUpper(current));

        const bool currentPseudo = StreamMan().CheckFlName(current);
        std::string name = WideToAnsi(currentPseudo ? current : ExtractFileName(current));
        std::string folder = WideToAnsi(currentPseudo ? std::wstring() : ExtractFilePath(current));
        FPendingError = nullptr;
        const HFDI h = Handle();
        const BOOL ok = FDICopy(h, name.data(), folder.data(), 0, NotifyCallback, nullptr, this);
        CheckCabResult(ok != FALSE);

        std::wstring next;
        if (FIsOnPartialFile)
            next = FCurrentFileName2;
        else if (!SameTextAscii(FNextFileName, current))
            next = FNextFileName;
        if (anOptions & cefsoProcessOnlyOneVolume)
            break;
        if (next.empty() || !FileExists(next) ||
            std::find(visited.begin(), visited.end(), AsciiUpper(next)) != visited.end())
            break;
        current = next;
    }
}

void TXnCabReader::ExtractFiles(TByteStream* aSrcStream, const std::wstring& aDstPath) {
    if (!aSrcStream)
        return;
    const TRegisteredStream source(aSrcStream);
    ExtractFiles(source.Name(), aDstPath, 0);
}

INT_PTR DIAMONDAPI TXnCabReader::NotifyCallback(FDINOTIFICATIONTYPE aType, PFDINOTIFICATION aNotify) {
    auto* reader = static_cast<TXnCabReader*>(aNotify->pv);
    try {
        return reader->ReaderNotify(aType, *aNotify);
    } catch (...) {
        reader->FPendingError = std::current_exception();
        return -1;
    }
}

int TXnCabReader::IndexOfOpenEntry(const char* aRawName) const {
    const std::string raw = aRawName ? aRawName : "";
    for (size_t i = 0; i < FSrcRawNames.size(); ++i)
        if (FSrcRawNames[i] == raw)
            return static_cast<int>(i);
    return -1;
}

INT_PTR TXnCabReader::ReaderNotify(TFDINOTIFICATIONTYPE aType, TFDINOTIFICATION& aNotify) {
    LastCabFileError = 0;
    bool abort = false;
    switch (aType) {
    case fdintCABINET_INFO: {
        if (!FCurrentFileName2.empty())
            FCurrentFileName = FCurrentFileName2;
        const std::wstring next = FromAnsi(aNotify.psz1);
        const std::wstring cabPath = FromAnsi(aNotify.psz3);
        // The next member is looked for beside this one, and only under a plain file name; a
        // stream has no folder, so a set is never followed from one.
        FNextFileName.clear();
        if (!next.empty() && !cabPath.empty() && IsPlainFileName(next))
            FNextFileName = ConcatPaths(cabPath, next);
        FNextDiskName = FromAnsi(aNotify.psz2);
        if (OnCabinetInfo)
            OnCabinetInfo(*this, next, FNextDiskName, cabPath, aNotify.setID, aNotify.iCabinet, abort);
        return abort ? -1 : 0;
    }
    case fdintPARTIAL_FILE: {
        const int i = IndexOfOpenEntry(aNotify.psz1);
        const std::wstring dst = i >= 0 ? FDstFileNames[static_cast<size_t>(i)] : std::wstring();
        if (OnCopyPartialFile)
            OnCopyPartialFile(*this, DecodeEntryName(aNotify.psz1, aNotify.attribs), FromAnsi(aNotify.psz2),
                              FromAnsi(aNotify.psz3), dst, abort);
        return abort ? -1 : 0;
    }
    case fdintCOPY_FILE:
        return NotifyCopyFile(aNotify);
    case fdintCLOSE_FILE_INFO:
        return NotifyCloseFile(aNotify);
    case fdintNEXT_CABINET:
        return NotifyNextCabinet(aNotify);
    default: {
        INT_PTR result = 0;
        if (OnUnrecognizedNotify)
            OnUnrecognizedNotify(*this, aType, aNotify, result);
        return result;
    }
    }
}

INT_PTR TXnCabReader::NotifyCopyFile(TFDINOTIFICATION& aNotify) {
    const std::wstring entry = DecodeEntryName(aNotify.psz1, aNotify.attribs);
    // The cabinet comes from outside: an entry may never name a place outside the destination.
    if (!IsSafeRelativePath(entry))
        throw EXnCabinet(UnsafeNameMessage(SXnCabUnsafeEntryName, entry), FDIERROR_USER_ABORT, false);
    std::wstring dst = ConcatPaths(FDstPath, entry);
    bool abort = false;
    if (OnCopyFile)
        OnCopyFile(*this, entry, aNotify.cb, aNotify.date, aNotify.time, aNotify.attribs, aNotify.iFolder, dst, abort);
    if (abort)
        return -1;
    if (dst.empty())
        return 0;
    TStreamMan& sm = StreamMan();
    const bool pseudo = sm.CheckFlName(dst);
    bool existed = false;
    if (!pseudo) {
        ForceDirectories(ExtractFilePath(dst));
        const DWORD attrs = GetFileAttributesW(dst.c_str());
        existed = attrs != INVALID_FILE_ATTRIBUTES;
        if (existed && (attrs & FILE_ATTRIBUTE_READONLY)) {
            if (Options & croDontOverwriteReadOnlyFiles)
                return 0;
            SetFileAttributesW(dst.c_str(), attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
    }
    int err = 0;
    const INT_PTR h = StdFileOpenW(dst, kOBinary | kOCreat | kOSequential | kOWrOnly, err);
    if (h == -1) {
        LastCabFileError = static_cast<DWORD>(err);
        return -1;
    }
    // The open keeps an existing file (its attributes may forbid re-creating it); an older,
    // longer content must not survive behind the new one.
    if (pseudo)
        sm.StreamByHandle(h)->SetSize(0);
    else if (existed)
        SetEndOfFile(AsHandle(h));
    FSrcFileNames.push_back(entry);
    FSrcRawNames.push_back(aNotify.psz1 ? aNotify.psz1 : "");
    FDstFileNames.push_back(dst);
    return h;
}

INT_PTR TXnCabReader::NotifyCloseFile(TFDINOTIFICATION& aNotify) {
    int err = 0;
    std::wstring dst;
    const int i = IndexOfOpenEntry(aNotify.psz1);
    if (i >= 0) {
        const auto at = static_cast<size_t>(i);
        dst = FDstFileNames[at];
        FSrcFileNames.erase(FSrcFileNames.begin() + i);
        FSrcRawNames.erase(FSrcRawNames.begin() + i);
        FDstFileNames.erase(FDstFileNames.begin() + i);
        // A file still open for writing takes its date and attributes through that handle.
        if (!StreamMan().CheckHandle(aNotify.hf))
            SetFileInfoOnHandle(AsHandle(aNotify.hf), aNotify.date, aNotify.time, err, aNotify.attribs);
    }
    StdFileClose(aNotify.hf, err);
    bool exec = (aNotify.cb & 1) != 0;
    bool abort = false;
    if (OnCloseFile)
        OnCloseFile(*this, DecodeEntryName(aNotify.psz1, aNotify.attribs), aNotify.date, aNotify.time, aNotify.attribs,
                    aNotify.iFolder, exec, dst, abort);
    if (abort)
        return -1;
    if (exec && (Options & croExecuteOnExtract) && !dst.empty())
        ShellExecuteW(nullptr, L"open", dst.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return 1;
}

INT_PTR TXnCabReader::NotifyNextCabinet(TFDINOTIFICATION& aNotify) {
    const std::wstring cabName = FromAnsi(aNotify.psz1);
    if (!IsPlainFileName(cabName))
        throw EXnCabinet(UnsafeNameMessage(SXnCabUnsafeCabinetName, cabName), FDIERROR_USER_ABORT, false);
    INT_PTR result = 0;
    if (OnNextCabinet) {
        std::wstring path = FromAnsi(aNotify.psz3);
        bool abort = false;
        OnNextCabinet(*this, cabName, FromAnsi(aNotify.psz2), path, aNotify.fdie, abort);
        if (abort) {
            result = -1;
        } else {
            CopyToBuffer(aNotify.psz3, kFdiPathBuffer, WideToAnsi(IncludeTrailingDelimiter(path)));
        }
    } else if (aNotify.fdie != FDIERROR_NONE) {
        result = -1;
    }
    FCurrentFileName2 = ConcatPaths(FromAnsi(aNotify.psz3), cabName);
    FIsOnPartialFile = true;
    return result;
}

namespace {

// Buffered sequential reads of a cabinet's file table; a short read is a format error.
class TTableReader {
public:
    explicit TTableReader(TByteStream& aStream) : FStream(aStream), FBuffer(64 * 1024) {}

    void ReadExact(void* aTarget, size_t aCount) {
        auto* p = static_cast<std::uint8_t*>(aTarget);
        while (aCount > 0) {
            if (FPos == FFill) {
                FPos = 0;
                FFill = static_cast<size_t>(FStream.Read(FBuffer.data(), static_cast<std::int64_t>(FBuffer.size())));
                if (FFill == 0)
                    throw std::runtime_error(SXnCabInvalidFormat);
            }
            const size_t n = std::min(aCount, FFill - FPos);
            std::memcpy(p, FBuffer.data() + FPos, n);
            FPos += n;
            p += n;
            aCount -= n;
        }
    }

    std::uint8_t ReadByte() {
        std::uint8_t b = 0;
        ReadExact(&b, 1);
        return b;
    }

private:
    TByteStream& FStream;
    std::vector<std::uint8_t> FBuffer;
    size_t FPos = 0;
    size_t FFill = 0;
};

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

bool TXnCabReader::EnumFilesEntries(const std::wstring& aFileName, const TXnCabReaderEnumFilesEntriesEvent& aCallback) {
    TFDICABINETINFO info{};
    const bool result = IsCabinet(aFileName, info);
    if (!result)
        return false;
    std::unique_ptr<TByteStream> owned;
    TByteStream* stream = StreamMan().StreamByFlName(aFileName);
    if (stream) {
        stream->SetPosition(0);
    } else {
        TUniqueFile file(CreateFileW(aFileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file)
            RaiseLastOSError();
        owned = std::make_unique<TFileStream>(file.release());
        stream = owned.get();
    }
    const std::int64_t size = stream->GetSize();
    std::uint8_t header[36];
    if (stream->Read(header, sizeof(header)) != static_cast<std::int64_t>(sizeof(header)) ||
        std::memcmp(header, "MSCF", 4) != 0)
        throw std::runtime_error(SXnCabInvalidFormat);
    const std::uint32_t coffFiles = Le32(header + 16);
    const std::uint16_t cFiles = Le16(header + 28);
    if (static_cast<std::int64_t>(coffFiles) > size)
        throw std::runtime_error(SXnCabInvalidFormat);
    stream->SetPosition(coffFiles);
    if (stream->GetPosition() != static_cast<std::int64_t>(coffFiles))
        throw std::runtime_error(SXnCabSetPositionFailed);
    TTableReader reader(*stream);
    std::string name;
    for (unsigned i = 0; i < cFiles; ++i) {
        std::uint8_t record[16];
        reader.ReadExact(record, sizeof(record));
        name.clear();
        for (;;) {
            const std::uint8_t b = reader.ReadByte();
            if (b == 0)
                break;
            if (name.size() >= kMaxEnumNameBytes)
                throw std::runtime_error(SXnCabInvalidFormat);
            name.push_back(static_cast<char>(b));
        }
        const USHORT attribs = Le16(record + 14);
        bool abort = false;
        if (aCallback)
            aCallback(*this, DecodeEntryName(name.c_str(), attribs), Le32(record), Le16(record + 8), Le16(record + 10),
                      Le16(record + 12), attribs, abort);
        if (abort)
            break;
    }
    return result;
}

bool TXnCabReader::EnumFilesEntries(TByteStream* aSrcStream, const TXnCabReaderEnumFilesEntriesEvent& aCallback) {
    if (!aSrcStream)
        return false;
    const TRegisteredStream source(aSrcStream);
    return EnumFilesEntries(source.Name(), aCallback);
}

// -- TXnCabWriter ----------------------------------------------------------------------------

USHORT XnCabCompressionCode(TXnCabCompressionType aType, TXnCabLzxLevel aLzxLevel) noexcept {
    switch (aType) {
    case cctNone:
        return tcompTYPE_NONE;
    case cctMsZip:
        return tcompTYPE_MSZIP;
    case cctLzx:
        return CompressionLzxCode(static_cast<unsigned>(aLzxLevel));
    }
    return 15;
}

namespace {

std::wstring ReplaceAsterisks(const std::wstring& aTemplate, int aNumber) {
    std::wstring result;
    const std::wstring number = std::to_wstring(aNumber);
    for (wchar_t c : aTemplate)
        if (c == L'*')
            result += number;
        else
            result += c;
    return result;
}

void LocalNowAsDos(USHORT& aDate, USHORT& aTime) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FILETIME ft{};
    WORD date = 0, time = 0;
    if (SystemTimeToFileTime(&now, &ft))
        FileTimeToDosDateTime(&ft, &date, &time);
    aDate = date;
    aTime = time;
}

} // namespace

// The FCI callbacks; the writer is FCI's user value.
struct TXnCabWriterCallbacks {
    static TXnCabWriter& Writer(void* pv) { return *static_cast<TXnCabWriter*>(pv); }

    // Runs aBody; an exception is kept for the writer to raise once FCI has returned.
    template <typename R, typename F> static R Guard(void* pv, R aFailure, F&& aBody) {
        try {
            return aBody();
        } catch (...) {
            Writer(pv).FPendingError = std::current_exception();
            return aFailure;
        }
    }

    static int DIAMONDAPI FilePlaced(PCCAB pccab, char* pszFile, LONG cbFile, BOOL fContinuation, void* pv) {
        return Guard(pv, -1, [&]() -> int {
            TXnCabWriter& w = Writer(pv);
            bool abort = false;
            if (w.OnFilePlaced)
                w.OnFilePlaced(w, *pccab, FromAnsi(pszFile), cbFile, fContinuation != FALSE, abort);
            return abort ? -1 : 0;
        });
    }

    static INT_PTR DIAMONDAPI Open(char* pszFile, int oflag, int pmode, int* err, void*) {
        return StdFileOpen(pszFile, oflag, pmode, *err);
    }

    static UINT DIAMONDAPI Read(INT_PTR hf, void* memory, UINT cb, int* err, void*) {
        return StdFileRead(hf, memory, cb, *err);
    }

    static UINT DIAMONDAPI Write(INT_PTR hf, void* memory, UINT cb, int* err, void*) {
        return StdFileWrite(hf, memory, cb, *err);
    }

    static int DIAMONDAPI Close(INT_PTR hf, int* err, void*) { return StdFileClose(hf, *err); }

    static LONG DIAMONDAPI Seek(INT_PTR hf, LONG dist, int seektype, int* err, void*) {
        return StdFileSeek(hf, dist, seektype, *err);
    }

    static int DIAMONDAPI Delete(char* pszFile, int* err, void* pv) {
        return Guard(pv, -1, [&]() -> int {
            const std::wstring name = FromAnsi(pszFile);
            if (StreamMan().CheckFlName(name)) {
                *err = ERROR_ACCESS_DENIED;
                throw std::runtime_error(FormatCabError(SXnCabUnexpectedDelete, "StdFileDelete"));
            }
            if (!DeleteFileW(name.c_str())) {
                *err = static_cast<int>(GetLastError());
                return -1;
            }
            return 0;
        });
    }

    static BOOL DIAMONDAPI GetTempFile(char* pszTempName, int cbTempName, void*) {
        char folder[MAX_PATH + 1];
        const DWORD n = GetTempPathA(MAX_PATH, folder);
        if (n == 0 || n > MAX_PATH)
            return FALSE;
        char name[MAX_PATH + 1];
        if (!GetTempFileNameA(folder, "xnc", 0, name))
            return FALSE;
        const size_t len = std::strlen(name);
        if (len >= static_cast<size_t>(cbTempName)) {
            DeleteFileA(name);
            return FALSE;
        }
        std::memcpy(pszTempName, name, len + 1);
        DeleteFileA(name);
        return TRUE;
    }

    static BOOL DIAMONDAPI GetNextCabinet(PCCAB pccab, ULONG cbPrevCab, void* pv) {
        return Guard(pv, FALSE, [&]() -> BOOL {
            TXnCabWriter& w = Writer(pv);
            ++pccab->iDisk;
            CopyToBuffer(pccab->szDisk, sizeof(pccab->szDisk), WideToAnsi(w.DiskLabel(pccab->iDisk)));
            CopyToBuffer(pccab->szCab, sizeof(pccab->szCab), WideToAnsi(w.CabinetName(pccab->iCab)));
            CopyToBuffer(pccab->szCabPath, sizeof(pccab->szCabPath), WideToAnsi(w.CabinetPath(pccab->iDisk)));
            bool abort = false;
            if (w.OnGetNextCabinet)
                w.OnGetNextCabinet(w, *pccab, cbPrevCab, abort);
            if (!abort) {
                const std::wstring folder = FromAnsi(pccab->szCabPath);
                if (!folder.empty())
                    ForceDirectories(folder);
                const std::wstring full = ConcatPaths(folder, FromAnsi(pccab->szCab));
                if (!StreamMan().CheckFlName(full))
                    DeleteFileW(full.c_str());
            }
            w.FFileCountPerCabinet = 0;
            w.FFileCountPerFolder = 0;
            return abort ? FALSE : TRUE;
        });
    }

    static LONG DIAMONDAPI Status(UINT typeStatus, ULONG cb1, ULONG cb2, void* pv) {
        return Guard(pv, -1L, [&]() -> LONG {
            TXnCabWriter& w = Writer(pv);
            bool abort = false;
            LONG result = 0;
            switch (typeStatus) {
            case statusFile:
                if (w.OnFileStatus)
                    w.OnFileStatus(w, cb1, cb2, abort);
                if (w.FProgressCount < 0 && w.OnProgress && !abort) {
                    w.OnProgress(w, abort);
                    w.FProgressCount = 8;
                }
                --w.FProgressCount;
                break;
            case statusFolder:
                if (w.OnFolderStatus)
                    w.OnFolderStatus(w, cb1, cb2, abort);
                w.FFileCountPerFolder = 0;
                break;
            case statusCabinet: {
                ULONG desired = 0;
                if (w.OnCabinetStatus)
                    w.OnCabinetStatus(w, cb1, cb2, desired, abort);
                w.FFileCountPerCabinet = 0;
                w.FFileCountPerFolder = 0;
                result = static_cast<LONG>(desired);
                break;
            }
            default:
                break;
            }
            return abort ? -1 : result;
        });
    }

    static INT_PTR DIAMONDAPI GetOpenInfo(char* pszName, USHORT* pdate, USHORT* ptime, USHORT* pattribs, int* err,
                                          void* pv) {
        return Guard(pv, static_cast<INT_PTR>(-1), [&]() -> INT_PTR {
            TXnCabWriter& w = Writer(pv);
            const std::wstring name = FromAnsi(pszName);
            if (StreamMan().CheckFlName(name)) {
                LocalNowAsDos(*pdate, *ptime);
                *pattribs = FILE_ATTRIBUTE_ARCHIVE;
            } else {
                WIN32_FILE_ATTRIBUTE_DATA data{};
                FILETIME local{};
                WORD date = 0, time = 0;
                if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data) ||
                    !FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
                    !FileTimeToDosDateTime(&local, &date, &time)) {
                    *err = static_cast<int>(GetLastError());
                    return -1;
                }
                *pdate = date;
                *ptime = time;
                *pattribs = static_cast<USHORT>(data.dwFileAttributes & kAttrMask);
            }
            if (w.FNameIsUtf8)
                *pattribs |= kNameIsUtf8;
            return StdFileOpen(pszName, kORdOnly | kOBinary, 0, *err);
        });
    }
};

TXnCabWriter::TXnCabWriter() : FCabComp(XnCabCompressionCode(cctLzx, 21)) {}

TXnCabWriter::~TXnCabWriter() {
    IgnoringFailure("TXnCabWriter.~TXnCabWriter", [this] { Close(false); });
}

void TXnCabWriter::SetCompressionType(TXnCabCompressionType aType) noexcept {
    FCompressionType = aType;
    FCabComp = XnCabCompressionCode(FCompressionType, FCompressionLzxLevel);
}

void TXnCabWriter::SetCompressionLzxLevel(TXnCabLzxLevel aLevel) noexcept {
    FCompressionLzxLevel = std::min(21, std::max(15, aLevel));
    FCabComp = XnCabCompressionCode(FCompressionType, FCompressionLzxLevel);
}

void TXnCabWriter::CheckCabResult(bool anOK) {
    if (FPendingError) {
        std::exception_ptr pending = FPendingError;
        FPendingError = nullptr;
        std::rethrow_exception(pending);
    }
    if (!anOK)
        throw EXnCabinet(FERF, true);
}

void TXnCabWriter::CheckOpen() const {
    if (!FHandle)
        throw std::runtime_error(FormatCabError("No cabinet is open", "TXnCabWriter"));
}

std::wstring TXnCabWriter::CabinetName(int aCabNo) const {
    std::wstring pattern = CabinetNameTemplate;
    if (pattern.empty()) {
        pattern = ExtractFileName(FFileName);
        const size_t dot = pattern.find_last_of(L'.');
        if (dot == std::wstring::npos)
            pattern += L'*';
        else
            pattern.insert(dot, 1, L'*');
    }
    return ReplaceAsterisks(pattern, aCabNo);
}

std::wstring TXnCabWriter::CabinetPath(int aDiskNo) const {
    const std::wstring pattern = CabinetPathTemplate.empty() ? ExtractFilePath(FFileName) : CabinetPathTemplate;
    const std::wstring path = ReplaceAsterisks(pattern, aDiskNo);
    return path.empty() ? path : IncludeTrailingDelimiter(path);
}

std::wstring TXnCabWriter::DiskLabel(int aDiskNo) const {
    return ReplaceAsterisks(DiskLabelTemplate.empty() ? std::wstring(L"Disk*") : DiskLabelTemplate, aDiskNo);
}

void TXnCabWriter::Open(const std::wstring& aFileName) {
    Close(false);
    FFileName = StreamMan().CheckFlName(aFileName) ? aFileName : ExpandFileName(aFileName);
    FERF = TERF{};
    FOriginalCCAB = TCCAB{};
    FOriginalCCAB.cb = CabinetSizeThreshold ? CabinetSizeThreshold : 2147483647UL;
    FOriginalCCAB.cbFolderThresh = FolderSizeThreshold ? FolderSizeThreshold : 2147483647UL;
    FOriginalCCAB.cbReserveCFHeader = ReservePerCabinetSize;
    FOriginalCCAB.cbReserveCFFolder = ReservePerFolderSize;
    FOriginalCCAB.cbReserveCFData = ReservePerDataSize;
    FOriginalCCAB.iDisk = 1;
    FOriginalCCAB.setID = SetID;
    CopyToBuffer(FOriginalCCAB.szDisk, sizeof(FOriginalCCAB.szDisk), WideToAnsi(DiskLabel(1)));
    const bool pseudo = StreamMan().CheckFlName(FFileName);
    CopyToBuffer(FOriginalCCAB.szCab, sizeof(FOriginalCCAB.szCab),
                 WideToAnsi(pseudo ? FFileName : ExtractFileName(FFileName)));
    CopyToBuffer(FOriginalCCAB.szCabPath, sizeof(FOriginalCCAB.szCabPath),
                 WideToAnsi(pseudo ? std::wstring() : ExtractFilePath(FFileName)));
    bool abort = false;
    if (OnGetNextCabinet)
        OnGetNextCabinet(*this, FOriginalCCAB, 0, abort);
    if (abort)
        return;
    std::wstring folder = FromAnsi(FOriginalCCAB.szCabPath);
    if (!folder.empty()) {
        folder = IncludeTrailingDelimiter(folder);
        CopyToBuffer(FOriginalCCAB.szCabPath, sizeof(FOriginalCCAB.szCabPath), WideToAnsi(folder));
        ForceDirectories(folder);
    }
    const std::wstring target = ConcatPaths(folder, FromAnsi(FOriginalCCAB.szCab));
    if (!StreamMan().CheckFlName(target))
        DeleteFileW(target.c_str());
    FFileCountPerCabinet = 0;
    FFileCountPerFolder = 0;
    FProgressCount = 0;
    FPendingError = nullptr;
    FHandle = FCICreate(&FERF, TXnCabWriterCallbacks::FilePlaced, CabAlloc, CabFree, TXnCabWriterCallbacks::Open,
                        TXnCabWriterCallbacks::Read, TXnCabWriterCallbacks::Write, TXnCabWriterCallbacks::Close,
                        TXnCabWriterCallbacks::Seek, TXnCabWriterCallbacks::Delete, TXnCabWriterCallbacks::GetTempFile,
                        &FOriginalCCAB, this);
    CheckCabResult(FHandle != nullptr);
}

void TXnCabWriter::Close(bool aFlushCab) {
    if (!FHandle)
        return;
    if (aFlushCab) {
        FPendingError = nullptr;
        const BOOL ok =
            FCIFlushCabinet(FHandle, FALSE, TXnCabWriterCallbacks::GetNextCabinet, TXnCabWriterCallbacks::Status);
        CheckCabResult(ok != FALSE);
    }
    const HFCI h = FHandle;
    FHandle = nullptr;
    CheckCabResult(FCIDestroy(h) != FALSE);
}

void TXnCabWriter::AddFile(const std::wstring& aSrcFileName, const std::wstring& aDstFileName,
                           TXnCabAddFileOptions anOptions) {
    if (OnBeforeFileAdd) {
        bool skip = false;
        OnBeforeFileAdd(*this, aSrcFileName, skip);
        if (skip)
            return;
    }
    CheckOpen();
    if (CabinetFileCountThreshold != 0 && FFileCountPerCabinet >= CabinetFileCountThreshold)
        StartNewCabinet();
    else if (FolderFileCountThreshold != 0 && FFileCountPerFolder >= FolderFileCountThreshold)
        StartNewFolder();
    std::wstring dst = aDstFileName;
    if (!dst.empty() && (dst.front() == L'\\' || dst.front() == L'/'))
        dst.erase(0, 1);
    // Names the ANSI code page cannot carry are stored as UTF-8 and flagged so in the entry.
    FNameIsUtf8 = !IsAnsiRepresentable(dst);
    std::string dstBytes = FNameIsUtf8 ? WideToUtf8(dst) : WideToAnsi(dst);
    std::string srcBytes = WideToAnsi(aSrcFileName);
    FPendingError = nullptr;
    const BOOL ok = FCIAddFile(FHandle, srcBytes.data(), dstBytes.data(), (anOptions & cafoExecuteOnExtract) ? 1 : 0,
                               TXnCabWriterCallbacks::GetNextCabinet, TXnCabWriterCallbacks::Status,
                               TXnCabWriterCallbacks::GetOpenInfo, FCabComp);
    FNameIsUtf8 = false;
    CheckCabResult(ok != FALSE);
    ++FFileCountPerCabinet;
    ++FFileCountPerFolder;
}

void TXnCabWriter::AddFile(TByteStream* aSrcStream, const std::wstring& aDstFileName) {
    if (!aSrcStream)
        return;
    const TRegisteredStream source(aSrcStream);
    AddFile(source.Name(), aDstFileName, 0);
}

void TXnCabWriter::AddFiles(const std::wstring& aSrcPath, const std::wstring& aDstPath,
                            TXnCabAddFilesOptions anOptions) {
    AddFilesIn(ExtractFilePath(aSrcPath), ExtractFileName(aSrcPath), aDstPath, anOptions);
}

void TXnCabWriter::AddFilesIn(const std::wstring& aFolder, const std::wstring& aMask, const std::wstring& aDstFolder,
                              TXnCabAddFilesOptions anOptions) {
    WIN32_FIND_DATAW data{};
    {
        TUniqueFind find(FindFirstFileW(ConcatPaths(aFolder, aMask).c_str(), &data));
        if (!find) {
            if (GetLastError() != ERROR_FILE_NOT_FOUND)
                RaiseLastOSError();
        } else {
            do {
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    AddFile(ConcatPaths(aFolder, data.cFileName), ConcatPaths(aDstFolder, data.cFileName), 0);
            } while (FindNextFileW(find.get(), &data));
            if (GetLastError() != ERROR_NO_MORE_FILES)
                RaiseLastOSError();
        }
    }
    if (!(anOptions & cafsoRecurseSubdirs))
        return;
    std::vector<std::wstring> subfolders;
    {
        TUniqueFind find(FindFirstFileW(ConcatPaths(aFolder, L"*").c_str(), &data));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
                    subfolders.push_back(name);
            } while (FindNextFileW(find.get(), &data));
        }
    }
    for (const std::wstring& sub : subfolders)
        AddFilesIn(ConcatPaths(aFolder, sub), aMask, ConcatPaths(aDstFolder, sub), anOptions);
}

void TXnCabWriter::StartNewCabinet() {
    CheckOpen();
    FPendingError = nullptr;
    const BOOL ok =
        FCIFlushCabinet(FHandle, TRUE, TXnCabWriterCallbacks::GetNextCabinet, TXnCabWriterCallbacks::Status);
    CheckCabResult(ok != FALSE);
    FFileCountPerCabinet = 0;
    FFileCountPerFolder = 0;
}

void TXnCabWriter::StartNewFolder() {
    CheckOpen();
    FPendingError = nullptr;
    const BOOL ok = FCIFlushFolder(FHandle, TXnCabWriterCallbacks::GetNextCabinet, TXnCabWriterCallbacks::Status);
    CheckCabResult(ok != FALSE);
    FFileCountPerFolder = 0;
}
