// The cabinet (CAB) handler of the archive facade: reads through TXnCabReader, writes through
// TXnCabWriter, takes file and stream sources, and replaces the whole cabinet when adding.
#pragma once

#include "ArchiveU.h"

#include "../cabinet/CabXnComps2.h"

#include <memory>
#include <string>

class TCABArchive : public TArchiveFrame {
public:
    explicit TCABArchive(TArchive& AOwner);
    ~TCABArchive() override;

    bool Initialize() override;
    bool GetContents(TStrings& aList) override;
    // Deletes the old copies of the entries it will write (never outside the folder), then
    // extracts. True also when FlName names no entry.
    bool DoDecompressToDir(const std::wstring& TargetDir, const std::wstring& FlName) override;
    // Writes the entry's bytes into ResStream from position 0; an older, longer content is cut off.
    bool DoDecompressToStream(const std::wstring& FlName, TByteStream* ResStream) override;
    // The add operations write a new cabinet in place of the source, holding only what they add.
    bool DoAddFile(const std::wstring& FlName, const std::wstring& TargetFlName) override;
    bool DoAddFiles(const TStrings& FlNames, const TStrings* TargetFlNames, const std::wstring& TargetSubdir) override;
    bool DoAddStream(TByteStream* SrcStream, const std::wstring& TargetFlName) override;

    void ReaderCopyFile(TXnCabReader& aSender, const std::wstring& aSrcFileName, LONG anUncompressedSize, USHORT aDate,
                        USHORT aTime, USHORT anAttrs, USHORT aFolderNo, std::wstring& aDstFullFileName, bool& anAbort);
    void ReaderEnumEntry(TXnCabReader& aSender, const std::wstring& aFileName, ULONG anUncompressedSize, USHORT aFlags,
                         USHORT aDate, USHORT aTime, USHORT anAttrs, bool& anAbort);

private:
    void ExtractFromSource(const std::wstring& aFolder);
    template <typename F> bool WithWriter(F&& anAdd);

    std::unique_ptr<TXnCabReader> FCABReader;
    std::unique_ptr<TXnCabWriter> FCABWriter;
    std::wstring FSelectedFlName;
    std::wstring FStreamFlName;
};

// Registers TCABArchive under type 1 and "CAB" with no library; later calls do nothing.
void RegisterCABArchive() noexcept;
