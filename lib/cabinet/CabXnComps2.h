// Cabinet component library: the stream manager and file operations shared by the FDI and FCI
// callbacks, the cabinet exception, and the reader (TXnCabReader) and writer (TXnCabWriter).
// Failures raise: EXnCabinet for cabinet errors, EOSError for system errors, std::runtime_error
// for a malformed file table. No exception ever crosses an FDI/FCI callback: a callback that
// fails records its exception, makes the library call fail, and the caller raises it afterwards.
#pragma once

#include "CabIntf.h"

#include "../StreamU.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Stream manager: a stream passes through cabinet.dll as a file under a pseudo name "Stream_n".

class TStreamMan {
public:
    // Registers aStream (not owned) under a new pseudo name; numbers are never reused.
    std::wstring AddStream(TByteStream* aStream);
    // Records aHandle for the stream of a registered name, at position 0 or the stream's own
    // position when keepPos is set. An unregistered name records nothing.
    void AddHandle(const std::wstring& aFlName, INT_PTR aHandle, bool keepPos);
    bool CheckFlName(const std::wstring& aFlName) const;
    TByteStream* StreamByFlName(const std::wstring& aFlName) const;
    bool CheckHandle(INT_PTR aHandle) const;
    TByteStream* StreamByHandle(INT_PTR aHandle) const;
    // Reads at the handle's own position; returns the count read, 0 at the end or for an unknown handle.
    int ReadBuffer(INT_PTR aHandle, void* pBuff, unsigned aLen);
    void WriteBuffer(INT_PTR aHandle, const void* pBuff, unsigned aLen);
    // Moves the handle's position (origin 0 start, 1 current, 2 end) and returns it; an unknown
    // handle returns anOffset unchanged.
    long Seek(INT_PTR aHandle, long anOffset, int anOrigin);
    // Removes the name; handles still open for its stream stay valid until released.
    void ReleaseStream(const std::wstring& aFlName);
    void ReleaseHandle(INT_PTR aHandle);
    // A new handle value that no operating-system handle can have (real handles are multiples of 4).
    INT_PTR NewHandleToken() noexcept;

private:
    struct THandleEntry {
        TByteStream* Stream;
        std::int64_t Pos;
    };
    std::map<std::wstring, TByteStream*> FStreamL; // keyed by the upper-cased pseudo name
    std::map<INT_PTR, THandleEntry> FHandleL;
    int FLastFlNameId = 0;
    INT_PTR FLastToken = 0;
};

// The process-wide stream manager, created on first use.
TStreamMan& StreamMan();

// A stream registered with the stream manager for the lifetime of one scope: the pseudo name is
// released on every way out. A null stream registers nothing and has an empty name. With aSlot,
// the name is also published there and the slot is emptied again at the end.
class TRegisteredStream {
public:
    explicit TRegisteredStream(TByteStream* aStream, std::wstring* aSlot = nullptr);
    ~TRegisteredStream();
    TRegisteredStream(const TRegisteredStream&) = delete;
    TRegisteredStream& operator=(const TRegisteredStream&) = delete;
    const std::wstring& Name() const noexcept { return FName; }

private:
    std::wstring FName;
    std::wstring* FSlot;
};

// ---------------------------------------------------------------------------------------------
// Standard file operations behind the FDI and FCI callbacks. Pseudo names and their handles go
// to the stream manager, everything else to the file system. None raises: a failure stores the
// system error code in anErr and returns -1 (false for StdFileSetInfo).

INT_PTR StdFileOpen(const char* aName, int anOFlag, int aPMode, int& anErr) noexcept;
// StdFileOpen for a name in UTF-16, so that names outside the ANSI code page can be written.
INT_PTR StdFileOpenW(const std::wstring& aName, int anOFlag, int& anErr) noexcept;
UINT StdFileRead(INT_PTR aHandle, void* aBuffer, UINT aCount, int& anErr) noexcept;
UINT StdFileWrite(INT_PTR aHandle, const void* aBuffer, UINT aCount, int& anErr) noexcept;
int StdFileClose(INT_PTR aHandle, int& anErr) noexcept;
long StdFileSeek(INT_PTR aHandle, long aDistance, int anOrigin, int& anErr) noexcept;
// Sets the DOS date and time (taken as local time) as creation and last-write time and the
// read-only, hidden, system and archive bits of anAttribs. A pseudo name succeeds doing nothing.
bool StdFileSetInfo(const char* aName, USHORT aDate, USHORT aTime, int& anErr, USHORT anAttribs) noexcept;
bool StdFileSetInfoW(const std::wstring& aName, USHORT aDate, USHORT aTime, int& anErr, USHORT anAttribs) noexcept;
// The same for a file handle open with write access; false with the error in anErr on failure.
bool SetFileInfoOnHandle(HANDLE aFile, USHORT aDate, USHORT aTime, int& anErr, USHORT anAttribs) noexcept;

// System error code of the most recent failed FDI file callback on this thread.
extern thread_local DWORD LastCabFileError;

// ---------------------------------------------------------------------------------------------

// A cabinet failure; what() is UTF-8.
class EXnCabinet : public std::runtime_error {
public:
    // From the error record FDI or FCI filled.
    EXnCabinet(const TERF& anERF, bool anIsCompressing);
    // A failure the library detected itself (an unsafe name...), with the FDI/FCI code it ends in.
    EXnCabinet(const std::string& aMessage, int aCabError, bool anIsCompressing);

    int CabError() const noexcept { return FCabError; }
    DWORD WinError() const noexcept { return FWinError; }
    bool ErrorPresent() const noexcept { return FErrorPresent; }
    bool IsCompressing() const noexcept { return FIsCompressing; }

    static std::string BuildMessage(const TERF& anERF, bool anIsCompressing);

private:
    int FCabError;
    DWORD FWinError;
    bool FErrorPresent;
    bool FIsCompressing;
};

// "Internal error in module "CabXnComps2"" and, when given, the function and the message.
std::string FormatCabError(const std::string& aMessage, const std::string& aFunctionName);

// Joins two path parts with exactly one backslash; an empty part is skipped.
std::wstring ConcatPaths(const std::wstring& aPart1, const std::wstring& aPart2);

// ---------------------------------------------------------------------------------------------
// Reader

class TXnCabReader;

enum TXnCabReaderOption : unsigned { croExecuteOnExtract = 1, croDontOverwriteReadOnlyFiles = 2 };
using TXnCabReaderOptions = unsigned;
enum TXnCabExtractFilesOption : unsigned { cefsoProcessOnlyOneVolume = 1 };
using TXnCabExtractFilesOptions = unsigned;

using TXnCabReaderCabinetInfoEvent =
    std::function<void(TXnCabReader& aSender, const std::wstring& aNextCabName, const std::wstring& aNextDiskName,
                       const std::wstring& aCabPath, USHORT aSetID, USHORT aCabNo, bool& anAbort)>;
using TXnCabReaderCopyFileEvent =
    std::function<void(TXnCabReader& aSender, const std::wstring& aSrcFileName, LONG anUncompressedSize, USHORT aDate,
                       USHORT aTime, USHORT anAttrs, USHORT aFolderNo, std::wstring& aDstFullFileName, bool& anAbort)>;
using TXnCabReaderCopyPartialFileEvent =
    std::function<void(TXnCabReader& aSender, const std::wstring& aSrcFileName, const std::wstring& aStartCabName,
                       const std::wstring& aStartDiskName, const std::wstring& aDstFullFileName, bool& anAbort)>;
using TXnCabReaderCloseFileEvent = std::function<void(
    TXnCabReader& aSender, const std::wstring& aSrcFileName, USHORT aDate, USHORT aTime, USHORT anAttrs,
    USHORT aFolderNo, bool& anExec, const std::wstring& aDstFullFileName, bool& anAbort)>;
using TXnCabReaderNextCabinetEvent =
    std::function<void(TXnCabReader& aSender, const std::wstring& aCabName, const std::wstring& aDiskName,
                       std::wstring& aCabPath, TFDIERROR anError, bool& anAbort)>;
using TXnCabReaderUnrecognizedNotifyEvent = std::function<void(TXnCabReader& aSender, TFDINOTIFICATIONTYPE aNotifyType,
                                                               TFDINOTIFICATION& aNotify, INT_PTR& aResult)>;
using TXnCabReaderEnumFilesEntriesEvent =
    std::function<void(TXnCabReader& aSender, const std::wstring& aFileName, ULONG anUncompressedSize, USHORT aFlags,
                       USHORT aDate, USHORT aTime, USHORT anAttrs, bool& anAbort)>;

class TXnCabReader {
public:
    TXnCabReader();
    ~TXnCabReader();
    TXnCabReader(const TXnCabReader&) = delete;
    TXnCabReader& operator=(const TXnCabReader&) = delete;

    TXnCabReaderOptions Options = 0;
    TXnCabReaderCabinetInfoEvent OnCabinetInfo;
    TXnCabReaderCopyFileEvent OnCopyFile;
    TXnCabReaderCopyPartialFileEvent OnCopyPartialFile;
    TXnCabReaderCloseFileEvent OnCloseFile;
    TXnCabReaderNextCabinetEvent OnNextCabinet;
    TXnCabReaderUnrecognizedNotifyEvent OnUnrecognizedNotify;

    // The FDI context, created on first use.
    HFDI Handle();
    const std::wstring& FileName() const noexcept { return FFileName; }
    const std::wstring& DstPath() const noexcept { return FDstPath; }
    const std::wstring& NextFileName() const noexcept { return FNextFileName; }
    const std::wstring& NextDiskName() const noexcept { return FNextDiskName; }
    const std::wstring& CurrentFileName() const noexcept { return FCurrentFileName; }
    bool IsOnPartialFile() const noexcept { return FIsOnPartialFile; }

    // False for a file that is no cabinet; raises EOSError when the file cannot be opened.
    bool IsCabinet(const std::wstring& aFileName, TFDICABINETINFO& aCabInfo);
    bool IsCabinet(TByteStream* aSrcStream, TFDICABINETINFO& aCabInfo);

    // Extracts every entry below aDstPath and follows the cabinet set while the next member
    // exists. An entry whose name would leave aDstPath stops the extraction with EXnCabinet.
    void ExtractFiles(const std::wstring& aFileName, const std::wstring& aDstPath,
                      TXnCabExtractFilesOptions anOptions = 0);
    void ExtractFiles(TByteStream* aSrcStream, const std::wstring& aDstPath);

    // Lists the cabinet's own file table. False, without calling back, for a file that is no
    // cabinet; a truncated or inconsistent table raises the format error.
    bool EnumFilesEntries(const std::wstring& aFileName, const TXnCabReaderEnumFilesEntriesEvent& aCallback);
    bool EnumFilesEntries(TByteStream* aSrcStream, const TXnCabReaderEnumFilesEntriesEvent& aCallback);

private:
    static INT_PTR DIAMONDAPI NotifyCallback(FDINOTIFICATIONTYPE aType, PFDINOTIFICATION aNotify);
    INT_PTR ReaderNotify(TFDINOTIFICATIONTYPE aType, TFDINOTIFICATION& aNotify);
    INT_PTR NotifyCopyFile(TFDINOTIFICATION& aNotify);
    INT_PTR NotifyCloseFile(TFDINOTIFICATION& aNotify);
    INT_PTR NotifyNextCabinet(TFDINOTIFICATION& aNotify);
    void EnsureContext();
    void DestroyContext();
    void CheckCabResult(bool anOK);
    // Index of an open entry by its name bytes as FDI passed them, or -1.
    int IndexOfOpenEntry(const char* aRawName) const;

    HFDI FHandle = nullptr;
    std::wstring FFileName;
    std::wstring FDstPath;
    std::wstring FNextFileName;
    std::wstring FNextDiskName;
    std::wstring FCurrentFileName;
    std::wstring FCurrentFileName2;
    bool FIsOnPartialFile = false;
    TERF FERF{};
    std::vector<std::wstring> FSrcFileNames;
    std::vector<std::string> FSrcRawNames; // the same entries as FDI names them, for matching
    std::vector<std::wstring> FDstFileNames;
    std::exception_ptr FPendingError; // raised by a callback, rethrown after FDI returns
};

// ---------------------------------------------------------------------------------------------
// Writer

class TXnCabWriter;

enum TXnCabCompressionType { cctNone, cctMsZip, cctLzx };
using TXnCabLzxLevel = int; // LZX window exponent, 15..21
enum TXnCabAddFileOption : unsigned { cafoExecuteOnExtract = 1 };
using TXnCabAddFileOptions = unsigned;
enum TXnCabAddFilesOption : unsigned { cafsoRecurseSubdirs = 1 };
using TXnCabAddFilesOptions = unsigned;

using TXnCabWriterFilePlacedEvent =
    std::function<void(TXnCabWriter& aSender, const TCCAB& aCCab, const std::wstring& aFileName, LONG aFileSize,
                       bool aContinuation, bool& anAbort)>;
using TXnCabWriterGetNextCabinetEvent =
    std::function<void(TXnCabWriter& aSender, TCCAB& aCCab, ULONG aPrevCabSize, bool& anAbort)>;
using TXnCabWriterFileStatusEvent = std::function<void(TXnCabWriter& aSender, ULONG aCompressedBlockSize,
                                                       ULONG anUncompressedBlockSize, bool& anAbort)>;
using TXnCabWriterFolderStatusEvent =
    std::function<void(TXnCabWriter& aSender, ULONG aCopiedSize, ULONG aTotalSize, bool& anAbort)>;
using TXnCabWriterCabinetStatusEvent = std::function<void(TXnCabWriter& aSender, ULONG aPrevEstimatedSize,
                                                          ULONG anActualSize, ULONG& aDesiredSize, bool& anAbort)>;
using TXnCabWriterProgressEvent = std::function<void(TXnCabWriter& aSender, bool& anAbort)>;
using TXnCabWriterBeforeFileAddEvent =
    std::function<void(TXnCabWriter& aSender, const std::wstring& aFileName, bool& aSkip)>;

// The FCI compression code of a compression type and LZX level; 15 for an unknown type.
USHORT XnCabCompressionCode(TXnCabCompressionType aType, TXnCabLzxLevel aLzxLevel) noexcept;

class TXnCabWriter {
public:
    TXnCabWriter();
    ~TXnCabWriter(); // closes without flushing
    TXnCabWriter(const TXnCabWriter&) = delete;
    TXnCabWriter& operator=(const TXnCabWriter&) = delete;

    ULONG CabinetSizeThreshold = 0; // 0: no limit
    ULONG CabinetFileCountThreshold = 0;
    ULONG FolderSizeThreshold = 0;
    ULONG FolderFileCountThreshold = 0;
    ULONG ReservePerCabinetSize = 0;
    ULONG ReservePerFolderSize = 0;
    ULONG ReservePerDataSize = 0;
    USHORT SetID = 0;
    // An asterisk stands for the cabinet number (name) or the disk number (path, label).
    std::wstring CabinetNameTemplate;
    std::wstring CabinetPathTemplate;
    std::wstring DiskLabelTemplate;
    TXnCabWriterFilePlacedEvent OnFilePlaced;
    TXnCabWriterGetNextCabinetEvent OnGetNextCabinet;
    TXnCabWriterFileStatusEvent OnFileStatus;
    TXnCabWriterFolderStatusEvent OnFolderStatus;
    TXnCabWriterCabinetStatusEvent OnCabinetStatus;
    TXnCabWriterProgressEvent OnProgress;
    TXnCabWriterBeforeFileAddEvent OnBeforeFileAdd;

    TXnCabCompressionType CompressionType() const noexcept { return FCompressionType; }
    void SetCompressionType(TXnCabCompressionType aType) noexcept;
    TXnCabLzxLevel CompressionLzxLevel() const noexcept { return FCompressionLzxLevel; }
    // Clamped to 15..21.
    void SetCompressionLzxLevel(TXnCabLzxLevel aLevel) noexcept;
    USHORT CabComp() const noexcept { return FCabComp; }

    HFCI Handle() const noexcept { return FHandle; }
    const std::wstring& FileName() const noexcept { return FFileName; }

    // Starts a new cabinet at a file name (an existing file is deleted) or a pseudo name.
    void Open(const std::wstring& aFileName);
    // Finishes the cabinet (with aFlushCab) and releases the FCI context. A failed flush raises
    // and leaves the context open until the next Open or the destructor.
    void Close(bool aFlushCab);
    // Raises when no cabinet is open.
    void AddFile(const std::wstring& aSrcFileName, const std::wstring& aDstFileName,
                 TXnCabAddFileOptions anOptions = 0);
    void AddFile(TByteStream* aSrcStream, const std::wstring& aDstFileName);
    // aSrcPath is a folder followed by a file mask.
    void AddFiles(const std::wstring& aSrcPath, const std::wstring& aDstPath, TXnCabAddFilesOptions anOptions = 0);
    void StartNewCabinet();
    void StartNewFolder();

private:
    friend struct TXnCabWriterCallbacks;
    void CheckCabResult(bool anOK);
    void CheckOpen() const;
    void AddFilesIn(const std::wstring& aFolder, const std::wstring& aMask, const std::wstring& aDstFolder,
                    TXnCabAddFilesOptions anOptions);
    std::wstring CabinetName(int aCabNo) const;
    std::wstring CabinetPath(int aDiskNo) const;
    std::wstring DiskLabel(int aDiskNo) const;

    HFCI FHandle = nullptr;
    std::wstring FFileName;
    TXnCabCompressionType FCompressionType = cctLzx;
    TXnCabLzxLevel FCompressionLzxLevel = 21;
    USHORT FCabComp = 0;
    TERF FERF{};
    TCCAB FOriginalCCAB{};
    ULONG FFileCountPerCabinet = 0;
    ULONG FFileCountPerFolder = 0;
    LONG FProgressCount = 0;
    bool FNameIsUtf8 = false; // the entry being added is stored under a UTF-8 name
    std::exception_ptr FPendingError;
};
