#include "ArchiveCABU.h"

#include "../FallbackU.h"
#include "../FileU.h"
#include "../PathU.h"
#include "../SafePathU.h"

#include <windows.h>

namespace {

// Entry names compare as the file system does: case ignored, beyond ASCII too.
bool SameEntryName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

} // namespace

TCABArchive::TCABArchive(TArchive& AOwner)
    : TArchiveFrame(AOwner), FCABReader(std::make_unique<TXnCabReader>()),
      FCABWriter(std::make_unique<TXnCabWriter>()) {
    FArchiveStreamSupported = true;
    FAddToArchiveSupported = true;
    FCABReader->OnCopyFile = [this](TXnCabReader& aSender, const std::wstring& aSrcFileName, LONG aSize, USHORT aDate,
                                    USHORT aTime, USHORT anAttrs, USHORT aFolder, std::wstring& aDst, bool& anAbort) {
        ReaderCopyFile(aSender, aSrcFileName, aSize, aDate, aTime, anAttrs, aFolder, aDst, anAbort);
    };
}

TCABArchive::~TCABArchive() = default;

bool TCABArchive::Initialize() {
    if (!TArchiveFrame::Initialize())
        return false;
    TFDICABINETINFO info{};
    if (FOwner.ArchiveStream())
        return FCABReader->IsCabinet(FOwner.ArchiveStream(), info);
    return FCABReader->IsCabinet(FOwner.FileName(), info);
}

bool TCABArchive::GetContents(TStrings& aList) {
    if (!TArchiveFrame::GetContents(aList))
        return false;
    bool result = true;
    if (FFileList.empty()) {
        const auto callback = [this](TXnCabReader& aSender, const std::wstring& aFileName, ULONG aSize, USHORT aFlags,
                                     USHORT aDate, USHORT aTime, USHORT anAttrs, bool& anAbort) {
            ReaderEnumEntry(aSender, aFileName, aSize, aFlags, aDate, aTime, anAttrs, anAbort);
        };
        result = FOwner.ArchiveStream() ? FCABReader->EnumFilesEntries(FOwner.ArchiveStream(), callback)
                                        : FCABReader->EnumFilesEntries(FOwner.FileName(), callback);
    }
    aList.insert(aList.end(), FFileList.begin(), FFileList.end());
    return result;
}

void TCABArchive::ExtractFromSource(const std::wstring& aFolder) {
    if (FOwner.ArchiveStream())
        FCABReader->ExtractFiles(FOwner.ArchiveStream(), aFolder);
    else
        FCABReader->ExtractFiles(FOwner.FileName(), aFolder, 0);
}

bool TCABArchive::DoDecompressToDir(const std::wstring& TargetDir, const std::wstring& FlName) {
    if (!TArchiveFrame::DoDecompressToDir(TargetDir, FlName))
        return false;
    const std::wstring folder = IncludeTrailingDelimiter(TargetDir);
    TStrings names;
    GetContents(names);
    for (const std::wstring& name : names) {
        // A hostile entry name must not make us delete a file outside the folder.
        if ((FlName.empty() || SameEntryName(name, FlName)) && IsSafeRelativePath(name) &&
            IsExistingFile(folder + name))
            DeleteFileW((folder + name).c_str());
    }
    FSelectedFlName = FlName;
    ExtractFromSource(folder);
    return true;
}

bool TCABArchive::DoDecompressToStream(const std::wstring& FlName, TByteStream* ResStream) {
    if (!TArchiveFrame::DoDecompressToStream(FlName, ResStream))
        return false;
    const TRegisteredStream target(ResStream, &FStreamFlName);
    FSelectedFlName = FlName;
    ExtractFromSource(std::wstring());
    return true;
}

template <typename F> bool TCABArchive::WithWriter(F&& anAdd) {
    const TRegisteredStream target(FOwner.ArchiveStream());
    FCABWriter->Open(target.Name().empty() ? FOwner.FileName() : target.Name());
    try {
        anAdd();
    } catch (...) {
        // The add's own failure is the one reported; the cabinet is finished as far as it goes.
        IgnoringFailure("TCABArchive.WithWriter", [&] { FCABWriter->Close(true); });
        throw;
    }
    FCABWriter->Close(true);
    return true;
}

bool TCABArchive::DoAddFile(const std::wstring& FlName, const std::wstring& TargetFlName) {
    if (!TArchiveFrame::DoAddFile(FlName, TargetFlName))
        return false;
    return WithWriter(
        [&] { FCABWriter->AddFile(FlName, TargetFlName.empty() ? ExtractFileName(FlName) : TargetFlName, 0); });
}

bool TCABArchive::DoAddFiles(const TStrings& FlNames, const TStrings* TargetFlNames, const std::wstring& TargetSubdir) {
    if (!TArchiveFrame::DoAddFiles(FlNames, TargetFlNames, TargetSubdir))
        return false;
    return WithWriter([&] {
        for (size_t i = 0; i < FlNames.size(); ++i) {
            std::wstring target;
            if (TargetFlNames) {
                // A target list shorter than the sources leaves the rest in the archive's root.
                const std::wstring t = i < TargetFlNames->size() ? (*TargetFlNames)[i] : std::wstring();
                if (!t.empty() && t.front() == L'*')
                    target = t.substr(1);
                else
                    target = IncludeTrailingDelimiter(t) + ExtractFileName(FlNames[i]);
            } else {
                target = IncludeTrailingDelimiter(TargetSubdir) + ExtractFileName(FlNames[i]);
            }
            FCABWriter->AddFile(FlNames[i], target, 0);
        }
    });
}

bool TCABArchive::DoAddStream(TByteStream* SrcStream, const std::wstring& TargetFlName) {
    if (!TArchiveFrame::DoAddStream(SrcStream, TargetFlName))
        return false;
    return WithWriter([&] { FCABWriter->AddFile(SrcStream, TargetFlName); });
}

void TCABArchive::ReaderCopyFile(TXnCabReader&, const std::wstring& aSrcFileName, LONG, USHORT, USHORT, USHORT, USHORT,
                                 std::wstring& aDstFullFileName, bool&) {
    if (FSelectedFlName.empty())
        return;
    if (!SameEntryName(aSrcFileName, FSelectedFlName)) {
        aDstFullFileName.clear();
        return;
    }
    if (!FStreamFlName.empty())
        aDstFullFileName = FStreamFlName;
}

void TCABArchive::ReaderEnumEntry(TXnCabReader&, const std::wstring& aFileName, ULONG, USHORT, USHORT, USHORT, USHORT,
                                  bool& anAbort) {
    FFileList.push_back(aFileName);
    anAbort = false;
}

void RegisterCABArchive() noexcept {
    static bool registered = false;
    if (registered)
        return;
    IgnoringFailure("RegisterCABArchive", [&] {
        RegisterArchiveHandler(1, ArchiveClassOf<TCABArchive>, L"CAB", L"");
        registered = true;
    });
}
