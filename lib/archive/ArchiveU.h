// Archive facade: TArchive reads and writes archives through a format handler (a TArchiveFrame
// descendant) chosen from a process-wide registry by type number or file extension. No operation
// lets an error escape: each returns false (or 0, or empty) and leaves the reason in ErrResult.
#pragma once

#include "../StreamU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TArchive;
class TArchiveFrame;

using TStrings = std::vector<std::wstring>;

// A handler class: constructs a handler bound to its owning facade.
using TArchiveClass = std::unique_ptr<TArchiveFrame> (*)(TArchive& AOwner);

template <typename T> std::unique_ptr<TArchiveFrame> ArchiveClassOf(TArchive& AOwner) {
    return std::make_unique<T>(AOwner);
}

struct TArchiveInfo {
    std::uint32_t typ = 0;
    std::wstring extName; // without the dot; also the type's display name
    std::wstring dllName; // a library the handler needs in the program's folder; empty: none
    bool supported = false;
    TArchiveClass archiveClass = nullptr;
};

// Registration happens at start-up, before any thread uses the registry; it is read-only after.
class TArchiveManager {
public:
    // Appends an entry; duplicates are kept but never found, since lookups take the first match.
    void RegisterArchive(std::uint32_t typ, TArchiveClass archiveClass, const std::wstring& extName,
                         const std::wstring& dllName);
    int IndexOf(std::uint32_t typ) const;
    bool IsRegistered(std::uint32_t typ) const { return IndexOf(typ) != -1; }
    bool IsSupported(std::uint32_t typ) const;
    std::wstring GetExtName(std::uint32_t typ) const;
    std::wstring GetLibraryName(std::uint32_t typ) const;
    // Null for an unregistered type.
    std::unique_ptr<TArchiveFrame> CreateInstance(TArchive& FOwner, std::uint32_t typ) const;
    int Count() const { return static_cast<int>(fArchive.size()); }
    // A copy of the entry at id, 0 to Count()-1; an empty entry outside that range.
    TArchiveInfo Item(int id) const;

private:
    std::vector<TArchiveInfo> fArchive;
};

// The process-wide registry, created on first use and destroyed at exit.
TArchiveManager& ArchiveManager();

void RegisterArchiveHandler(std::uint32_t typ, TArchiveClass archiveClass, const std::wstring& extName,
                            const std::wstring& dllName);

// "Internal error in module "ArchivesClass"" followed, when given, by the function and message.
std::wstring FormatArchiveError(const std::wstring& aMessage, const std::wstring& aFunctionName);

// The abstract handler. Every descendant calls the inherited operation first and proceeds only
// when it returned true.
class TArchiveFrame {
public:
    explicit TArchiveFrame(TArchive& AOwner);
    virtual ~TArchiveFrame();
    TArchiveFrame(const TArchiveFrame&) = delete;
    TArchiveFrame& operator=(const TArchiveFrame&) = delete;

    // True when the source is an archive of this type; the base clears the entry cache.
    virtual bool Initialize();
    // Appends the entry names to aList; the base runs the open check.
    virtual bool GetContents(TStrings& aList);
    virtual bool DoDecompressToDir(const std::wstring& TargetDir, const std::wstring& FlName);
    virtual bool DoDecompressToStream(const std::wstring& FlName, TByteStream* ResStream);
    virtual bool DoAddFile(const std::wstring& FlName, const std::wstring& TargetFlName);
    // TargetFlNames may be null.
    virtual bool DoAddFiles(const TStrings& FlNames, const TStrings* TargetFlNames, const std::wstring& TargetSubdir);
    virtual bool DoAddStream(TByteStream* SrcStream, const std::wstring& TargetFlName);

    bool OpenChecked() const noexcept { return FOpenChecked; }
    void SetOpenChecked(bool aValue) noexcept { FOpenChecked = aValue; }
    bool ArchiveStreamSupported() const noexcept { return FArchiveStreamSupported; }
    bool AddToArchiveSupported() const noexcept { return FAddToArchiveSupported; }

protected:
    // The source passed the open check (it exists, opens exclusively and Initialize accepts it).
    bool CheckOpen();
    bool CheckAddSupported();
    void SetOwnerError(const std::wstring& aText);
    std::wstring OwnerExtName() const;

    bool FOpenChecked = false;
    TArchive& FOwner;
    bool FArchiveStreamSupported = false;
    bool FAddToArchiveSupported = false;
    TStrings FFileList;
};

class TArchive {
public:
    // Selects the handler from the file name's extension.
    explicit TArchive(const std::wstring& AFileName);
    // No handler until ArchiveType is set. The stream is not owned.
    explicit TArchive(TByteStream* AArchiveStream);
    ~TArchive();
    TArchive(const TArchive&) = delete;
    TArchive& operator=(const TArchive&) = delete;

    const std::wstring& FileName() const noexcept { return FFileName; }
    void SetFileName(const std::wstring& aValue);
    TByteStream* ArchiveStream() const noexcept { return FArchiveStream; }
    void SetArchiveStream(TByteStream* aValue);
    std::uint32_t ArchiveType() const noexcept { return FArchiveType; }
    void SetArchiveType(std::uint32_t aValue);
    const std::wstring& ErrResult() const noexcept { return FErrResult; }
    // The current handler; null while no available type is selected.
    TArchiveFrame* Handler() const noexcept { return FArchive.get(); }

    int SupportArchivesCount() const;
    bool SupportArchiveStream() const noexcept;
    bool SupportAddToArchive() const noexcept;
    std::uint32_t SupportArchives(int Index) { return GetAvailableArchives(Index); }

    std::wstring ArchiveTypeName(std::uint32_t AArchiveType, bool LibName);
    // The type whose "." + extension name equals the argument (ASCII case ignored); 0 for none.
    std::uint32_t ArchiveTypeFromExt(const std::wstring& AArchiveTypeExt) const;
    bool ArchiveIsAvailable(std::uint32_t AArchiveType);
    bool AvailableArchiveNames(TStrings* ResTypeNames);
    // The Index-th available type, from 0; 0 with an error when there is none.
    std::uint32_t GetAvailableArchives(int Index);
    bool LoadArchiveContents(TStrings* ResFileNames);
    bool DecompressToDir(const std::wstring& TargetDir, const std::wstring& FlName, bool allowEveryone);
    // On success ResStream is rewound to position 0.
    bool DecompressToStream(const std::wstring& FlName, TByteStream* ResStream);
    bool DecompressToMem(const std::wstring& FlName, TMemoryStream* ResStream);
    // The entry as text (a byte-order mark selects UTF-8 or UTF-16, else the ANSI code page),
    // every line ended by CR LF.
    bool DecompressText(const std::wstring& FlName, std::wstring& outText);
    bool AddFile(const std::wstring& FlName, const std::wstring& TargetFlName);
    bool AddFiles(const TStrings* FlNames, const TStrings* TargetFLNames, const std::wstring& TargetSubdir);
    // Every plain file below the folder of FlPath matching its mask, recursively.
    bool AddFiles(const std::wstring& FlPath, const TStrings* TargetFLNames, const std::wstring& TargetSubdir);
    bool AddStream(TByteStream* SrcStream, const std::wstring& TargetFlName);

private:
    friend class TArchiveFrame;
    bool CheckInitialized(const std::wstring& aFunctionName);
    void SetError(const std::wstring& aMessage, const std::wstring& aFunctionName);
    // Runs a handler call; an exception becomes ErrResult and the result false.
    template <typename F> bool Guarded(F&& aCall);

    std::unique_ptr<TArchiveFrame> FArchive;
    std::wstring FFileName;
    TByteStream* FArchiveStream = nullptr;
    std::uint32_t FArchiveType = 0;
    std::wstring FErrResult;
};

// The text of a list as its lines, each ended by CR LF; the bytes are decoded as DecompressText does.
std::wstring DecodeTextLines(const std::vector<std::uint8_t>& aBytes);
