// File routines that keep files replaceable whatever account created them: world-access
// directories and grants, forced deletion, replacement and deletion at the next system start,
// and the file writer.
#pragma once

#include "HandleU.h"
#include "StreamU.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Pauses the calling thread for aMilliseconds.
void Delay(DWORD aMilliseconds) noexcept;

bool IsExistingDirectory(const std::wstring& aPath) noexcept;
// True for an existing entry that is not a directory.
bool IsExistingFile(const std::wstring& aPath) noexcept;

// Creates the directory and every missing parent, outermost first, each with world access when
// aEveryone. True when the directory exists afterwards.
bool ForceDirectoriesEx(const std::wstring& aPath, bool aEveryone) noexcept;

// Self-relative descriptor with owner, group and DACL of aFile, or null.
TUniqueSecurityDescriptor GetFileSecurityDescriptor(const std::wstring& aFile) noexcept;

// Adds a full-access grant for the world group to the file's DACL. False on the 9x family.
bool GrantEveryoneFileAccess(const std::wstring& aFile) noexcept;

// Size of the first entry matching aPath (wildcards allowed), or -1.
std::int64_t FileSizeByName(const std::wstring& aPath) noexcept;

// Copies aSource over aDest; an existing aDest is replaced only with anOverwrite, through
// ForceDeleteFile. With aGrant the copy is opened up to the world group.
bool CopyFileTo(const std::wstring& aSource, const std::wstring& aDest, bool aGrant, bool anOverwrite) noexcept;

// Deletes aFile; when that fails, grants world access, clears its attributes and tries once more.
bool ForceDeleteFile(const std::wstring& aFile) noexcept;

// Registers moving aSource over aDest at the next system start. Always false: the move is only
// registered, and whether the system accepted it cannot be known.
bool MoveFileOnRestart(const std::wstring& aSource, const std::wstring& aDest) noexcept;

// Registers the deletion of aFile at the next system start; true also when it is already gone.
bool DeleteFileOnRestart(const std::wstring& aFile) noexcept;

// The 9x route of MoveFileOnRestart against the "wininit.ini" in aWindowsDir: the file is
// upper-cased, gets one "[RENAME]" section header and the new entry DEST=SOURCE (short paths) as
// its last line.
void WriteWinInitRename(const std::wstring& aWindowsDir, const std::wstring& aSource,
                        const std::wstring& aDest) noexcept;

// The pure part of it: the file's lines after adding anEntry (empty: none).
std::vector<std::string> AddWinInitRename(std::vector<std::string> aLines, const std::string& anEntry);

// The Windows directory with a trailing backslash, or empty.
std::wstring GetWindowsDir() noexcept;
// The running executable's path and its directory with a trailing delimiter; cached.
std::wstring GetAppFileName() noexcept;
std::wstring GetAppDir() noexcept;

// Writes to a disk file; owns the file stream it opens.
class TFileWriter : public TStreamWriter {
public:
    TFileWriter();
    ~TFileWriter() override;

    // Creates (or, with fAppend, opens and appends to) the file, creating a missing directory
    // chain first. An open refused with ERROR_ACCESS_DENIED is retried fTimeout / 100 times with
    // 100 ms pauses, then tried once more; any other error ends the retries at once.
    virtual bool Open(const std::wstring& iFileName);
    virtual void Close();
    virtual void Flush();
    // Size of the open file, or -1.
    std::int64_t FileSize();
    HANDLE Handle() const noexcept { return fHandle; }

    bool fUnicode = false;
    bool fEveryone = true;
    bool fShareWrite = false;
    bool fShareRead = false;
    bool fAppend = false;
    std::int32_t fTimeout = 800;
    bool fForceDirectory = true;

protected:
    // One open attempt; the last-error value is that of CreateFileW.
    virtual HANDLE CreateHandle(const std::wstring& iFileName, DWORD aShare, SECURITY_ATTRIBUTES* anAttributes,
                                DWORD aDisposition);

private:
    HANDLE fHandle = INVALID_HANDLE_VALUE;
    std::unique_ptr<TFileStream> FFile;
};
