#include "ArchiveU.h"

#include "../FallbackU.h"
#include "../FileU.h"
#include "../HandleU.h"
#include "../PathU.h"
#include "../SafePathU.h"
#include "../TextU.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

std::wstring Quoted(const std::wstring& aText) {
    return L"\"" + aText + L"\"";
}

// The platform's message of an exception: what() is UTF-8 throughout the library.
std::wstring ExceptionText(const std::exception& e) {
    return Utf8ToWide(e.what());
}

const wchar_t kNotInitialized[] = L"Archives Class is not initialized to specific type!";
const wchar_t kUnknownType[] = L"unknown value in parameter AArchiveType!";

// Appends the plain files (and, recursively, the folders) matching aPattern below aBase.
void CollectFiles(const std::wstring& aBase, const std::wstring& aPattern, const std::wstring& aTargetSubdir,
                  TStrings& aSources, TStrings& aTargets) {
    const std::wstring relFolder = ExtractFilePath(aPattern);
    std::wstring mask = ExtractFileName(aPattern);
    if (mask.empty())
        mask = L"*.*";
    const std::wstring search = aBase + relFolder + mask;
    const std::wstring target = aTargetSubdir.empty() ? relFolder : IncludeTrailingDelimiter(aTargetSubdir) + relFolder;
    WIN32_FIND_DATAW data{};
    {
        TUniqueFind find(FindFirstFileW(search.c_str(), &data));
        if (find) {
            do {
                if (!(data.dwFileAttributes &
                      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
                    aSources.push_back(aBase + relFolder + data.cFileName);
                    aTargets.push_back(target);
                }
            } while (FindNextFileW(find.get(), &data));
        }
    }
    std::vector<std::wstring> folders;
    {
        TUniqueFind find(FindFirstFileW(search.c_str(), &data));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
                    folders.push_back(name);
            } while (FindNextFileW(find.get(), &data));
        }
    }
    for (const std::wstring& folder : folders)
        CollectFiles(aBase, relFolder + folder + L"\\*.*", aTargetSubdir, aSources, aTargets);
}

} // namespace

// -- Registry --------------------------------------------------------------------------------

void TArchiveManager::RegisterArchive(std::uint32_t typ, TArchiveClass archiveClass, const std::wstring& extName,
                                      const std::wstring& dllName) {
    TArchiveInfo info;
    info.typ = typ;
    info.extName = extName;
    info.dllName = dllName;
    info.archiveClass = archiveClass;
    info.supported = dllName.empty() || IsExistingFile(GetAppDir() + dllName);
    fArchive.push_back(std::move(info));
}

int TArchiveManager::IndexOf(std::uint32_t typ) const {
    for (size_t i = 0; i < fArchive.size(); ++i)
        if (fArchive[i].typ == typ)
            return static_cast<int>(i);
    return -1;
}

bool TArchiveManager::IsSupported(std::uint32_t typ) const {
    const int i = IndexOf(typ);
    return i >= 0 && fArchive[static_cast<size_t>(i)].supported;
}

std::wstring TArchiveManager::GetExtName(std::uint32_t typ) const {
    const int i = IndexOf(typ);
    return i >= 0 ? fArchive[static_cast<size_t>(i)].extName : std::wstring();
}

std::wstring TArchiveManager::GetLibraryName(std::uint32_t typ) const {
    const int i = IndexOf(typ);
    return i >= 0 ? fArchive[static_cast<size_t>(i)].dllName : std::wstring();
}

std::unique_ptr<TArchiveFrame> TArchiveManager::CreateInstance(TArchive& FOwner, std::uint32_t typ) const {
    const int i = IndexOf(typ);
    if (i < 0 || !fArchive[static_cast<size_t>(i)].archiveClass)
        return nullptr;
    return fArchive[static_cast<size_t>(i)].archiveClass(FOwner);
}

TArchiveInfo TArchiveManager::Item(int id) const {
    if (id < 0 || id >= Count())
        return TArchiveInfo();
    return fArchive[static_cast<size_t>(id)];
}

TArchiveManager& ArchiveManager() {
    static TArchiveManager manager;
    return manager;
}

void RegisterArchiveHandler(std::uint32_t typ, TArchiveClass archiveClass, const std::wstring& extName,
                            const std::wstring& dllName) {
    ArchiveManager().RegisterArchive(typ, archiveClass, extName, dllName);
}

std::wstring FormatArchiveError(const std::wstring& aMessage, const std::wstring& aFunctionName) {
    std::wstring text = L"Internal error in module \"ArchivesClass\"";
    if (!aFunctionName.empty() || !aMessage.empty())
        text += L": \r\n";
    if (!aFunctionName.empty())
        text += L"Function \"" + aFunctionName + L"\"";
    if (!aFunctionName.empty() && !aMessage.empty())
        text += L" - ";
    return text + aMessage;
}

// -- TArchiveFrame ---------------------------------------------------------------------------

TArchiveFrame::TArchiveFrame(TArchive& AOwner) : FOwner(AOwner) {}

TArchiveFrame::~TArchiveFrame() = default;

bool TArchiveFrame::Initialize() {
    FFileList.clear();
    return true;
}

bool TArchiveFrame::GetContents(TStrings&) {
    return CheckOpen();
}

bool TArchiveFrame::DoDecompressToDir(const std::wstring&, const std::wstring&) {
    return CheckOpen();
}

bool TArchiveFrame::DoDecompressToStream(const std::wstring&, TByteStream*) {
    return CheckOpen();
}

bool TArchiveFrame::DoAddFile(const std::wstring&, const std::wstring&) {
    return CheckAddSupported();
}

bool TArchiveFrame::DoAddFiles(const TStrings&, const TStrings*, const std::wstring&) {
    return CheckAddSupported();
}

bool TArchiveFrame::DoAddStream(TByteStream*, const std::wstring&) {
    return CheckAddSupported();
}

void TArchiveFrame::SetOwnerError(const std::wstring& aText) {
    FOwner.FErrResult = aText;
}

std::wstring TArchiveFrame::OwnerExtName() const {
    return ArchiveManager().GetExtName(FOwner.ArchiveType());
}

bool TArchiveFrame::CheckOpen() {
    if (FOpenChecked)
        return true;
    bool ok = false;
    if (FOwner.ArchiveStream()) {
        if (!FArchiveStreamSupported) {
            SetOwnerError(L"Source stream is not supported (" + Quoted(OwnerExtName()) + L" archive)!");
            FOpenChecked = false;
            return false;
        }
        ok = Initialize();
        if (!ok)
            SetOwnerError(L"Cannot initialize archive " + Quoted(FOwner.FileName()) + L"!");
    } else {
        const std::wstring name = FOwner.FileName();
        if (!IsExistingFile(name)) {
            SetOwnerError(L"File " + Quoted(name) + L" does not exist!");
            FOpenChecked = false;
            return false;
        }
        // Exclusive: fails while anything else holds the file open.
        TUniqueFile probe(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!probe) {
            SetOwnerError(L"Cannot open file " + std::to_wstring(GetLastError()) + L" " + Quoted(name) + L"!");
            FOpenChecked = false;
            return false;
        }
        probe.reset();
        ok = Initialize();
        if (!ok)
            SetOwnerError(L"Cannot initialize archive " + Quoted(name) + L"!");
    }
    FOpenChecked = ok;
    return ok;
}

bool TArchiveFrame::CheckAddSupported() {
    if (FAddToArchiveSupported)
        return true;
    SetOwnerError(L"Adding to archive is not supported (" + Quoted(OwnerExtName()) + L" archive)!");
    return false;
}

// -- TArchive --------------------------------------------------------------------------------

TArchive::TArchive(const std::wstring& AFileName) {
    SetFileName(AFileName);
}

TArchive::TArchive(TByteStream* AArchiveStream) {
    SetArchiveStream(AArchiveStream);
}

TArchive::~TArchive() = default;

template <typename F> bool TArchive::Guarded(F&& aCall) {
    try {
        return aCall();
    } catch (const std::exception& e) {
        NoteSwallowed("TArchive.Guarded", e.what());
        FErrResult = ExceptionText(e);
        return false;
    }
}

void TArchive::SetError(const std::wstring& aMessage, const std::wstring& aFunctionName) {
    FErrResult = FormatArchiveError(aMessage, aFunctionName);
}

bool TArchive::CheckInitialized(const std::wstring& aFunctionName) {
    if (FArchive)
        return true;
    SetError(kNotInitialized, aFunctionName);
    return false;
}

void TArchive::SetFileName(const std::wstring& aValue) {
    FErrResult.clear();
    if (aValue == FFileName)
        return;
    FFileName = aValue;
    if (FFileName.empty())
        return;
    FArchiveStream = nullptr;
    const std::uint32_t type = ArchiveTypeFromExt(ExtractFileExt(FFileName));
    if (ArchiveIsAvailable(type))
        SetArchiveType(type);
    else
        FErrResult.clear();
    if (FArchive)
        FArchive->SetOpenChecked(false);
}

void TArchive::SetArchiveStream(TByteStream* aValue) {
    FErrResult.clear();
    if (aValue == FArchiveStream)
        return;
    FArchiveStream = aValue;
    if (!FArchiveStream)
        return;
    FFileName.clear();
    if (FArchive)
        FArchive->SetOpenChecked(false);
}

void TArchive::SetArchiveType(std::uint32_t aValue) {
    FErrResult.clear();
    if (aValue == FArchiveType)
        return;
    FArchiveType = aValue;
    FArchive.reset();
    if (!ArchiveIsAvailable(aValue)) {
        SetError(L"required ArchiveType is not available!", L"SetArchiveType");
        return;
    }
    try {
        FArchive = ArchiveManager().CreateInstance(*this, aValue);
    } catch (const std::exception& e) {
        NoteSwallowed("TArchive.SetArchiveType", e.what());
        FArchive.reset();
    }
    if (!FArchive)
        SetError(L"Create Instance of archive error!", L"SetArchiveType");
}

int TArchive::SupportArchivesCount() const {
    return ArchiveManager().Count();
}

bool TArchive::SupportArchiveStream() const noexcept {
    return FArchive && FArchive->ArchiveStreamSupported();
}

bool TArchive::SupportAddToArchive() const noexcept {
    return FArchive && FArchive->AddToArchiveSupported();
}

std::wstring TArchive::ArchiveTypeName(std::uint32_t AArchiveType, bool LibName) {
    FErrResult.clear();
    if (!ArchiveManager().IsRegistered(AArchiveType)) {
        SetError(kUnknownType, L"ArchiveTypeName");
        return std::wstring();
    }
    return LibName ? ArchiveManager().GetLibraryName(AArchiveType) : ArchiveManager().GetExtName(AArchiveType);
}

std::uint32_t TArchive::ArchiveTypeFromExt(const std::wstring& AArchiveTypeExt) const {
    const TArchiveManager& m = ArchiveManager();
    for (int i = 0; i < m.Count(); ++i) {
        const TArchiveInfo info = m.Item(i);
        if (SameTextAscii(L"." + info.extName, AArchiveTypeExt))
            return info.typ;
    }
    return 0;
}

bool TArchive::ArchiveIsAvailable(std::uint32_t AArchiveType) {
    FErrResult.clear();
    if (!ArchiveManager().IsRegistered(AArchiveType)) {
        SetError(kUnknownType, L"ArchiveIsAvailable");
        return false;
    }
    return ArchiveManager().IsSupported(AArchiveType);
}

bool TArchive::AvailableArchiveNames(TStrings* ResTypeNames) {
    FErrResult.clear();
    if (!ResTypeNames) {
        SetError(L"parameter ResTypeNames (TStrings) is nil!", L"AvailableArchiveNames");
        return false;
    }
    ResTypeNames->clear();
    const TArchiveManager& m = ArchiveManager();
    for (int i = 0; i < m.Count(); ++i) {
        const TArchiveInfo info = m.Item(i);
        if (m.IsSupported(info.typ))
            ResTypeNames->push_back(info.extName);
    }
    return true;
}

std::uint32_t TArchive::GetAvailableArchives(int Index) {
    FErrResult.clear();
    if (Index >= 0) {
        // Type numbers above the largest registered one cannot be available.
        std::uint32_t highest = 0;
        const TArchiveManager& m = ArchiveManager();
        for (int i = 0; i < m.Count(); ++i)
            highest = std::max(highest, m.Item(i).typ);
        int found = -1;
        for (std::uint32_t typ = 1; typ != 0 && typ <= highest; ++typ) {
            if (m.IsSupported(typ) && ++found == Index)
                return typ;
        }
    }
    SetError(L"parameter Index is out of range!", L"GetAvailArchives");
    return 0;
}

bool TArchive::LoadArchiveContents(TStrings* ResFileNames) {
    FErrResult.clear();
    if (!ResFileNames) {
        SetError(L"parameter ResFileNames (TStrings) is nil!", L"LoadArchiveContents");
        return false;
    }
    ResFileNames->clear();
    if (!CheckInitialized(L"LoadArchiveContents"))
        return false;
    return Guarded([&] { return FArchive->GetContents(*ResFileNames); });
}

bool TArchive::DecompressToDir(const std::wstring& TargetDir, const std::wstring& FlName, bool allowEveryone) {
    bool result = false;
    FErrResult.clear();
    if (TargetDir.empty()) {
        SetError(L"parameter TargetDit (string) is empty!", L"DecompressToDir");
        return false;
    }
    if (!CheckInitialized(L"DecompressToDir"))
        return false;
    Guarded([&] {
        result = FArchive->DoDecompressToDir(TargetDir, FlName);
        if (allowEveryone) {
            TStrings names;
            FArchive->GetContents(names);
            const std::wstring folder = IncludeTrailingDelimiter(TargetDir);
            // Only names that stay inside the folder: a hostile entry must not open up other files.
            for (const std::wstring& name : names)
                if (IsSafeRelativePath(name))
                    GrantEveryoneFileAccess(folder + name);
        }
        return result;
    });
    return result;
}

bool TArchive::DecompressToStream(const std::wstring& FlName, TByteStream* ResStream) {
    FErrResult.clear();
    if (FlName.empty()) {
        SetError(L"parameter FlName (string) is empty!", L"DecompressToStream");
        return false;
    }
    if (!ResStream) {
        SetError(L"parameter ResStream (tStream) is nil!", L"DecompressToStream");
        return false;
    }
    if (!CheckInitialized(L"DecompressToStream"))
        return false;
    return Guarded([&] {
        const bool ok = FArchive->DoDecompressToStream(FlName, ResStream);
        if (ok)
            ResStream->SetPosition(0);
        return ok;
    });
}

bool TArchive::DecompressToMem(const std::wstring& FlName, TMemoryStream* ResStream) {
    return DecompressToStream(FlName, ResStream);
}

std::wstring DecodeTextLines(const std::vector<std::uint8_t>& aBytes) {
    std::wstring text;
    if (aBytes.size() >= 3 && aBytes[0] == 0xEF && aBytes[1] == 0xBB && aBytes[2] == 0xBF) {
        text = Utf8ToWide(std::string(aBytes.begin() + 3, aBytes.end()));
    } else if (aBytes.size() >= 2 &&
               ((aBytes[0] == 0xFF && aBytes[1] == 0xFE) || (aBytes[0] == 0xFE && aBytes[1] == 0xFF))) {
        const bool bigEndian = aBytes[0] == 0xFE;
        for (size_t i = 2; i + 1 < aBytes.size(); i += 2)
            text +=
                static_cast<wchar_t>(bigEndian ? (aBytes[i] << 8) | aBytes[i + 1] : aBytes[i] | (aBytes[i + 1] << 8));
    } else {
        text = AnsiToWide(std::string(aBytes.begin(), aBytes.end()));
    }
    std::wstring result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        result += text.substr(start, end - start) + L"\r\n";
        if (end < text.size() && text[end] == L'\r' && end + 1 < text.size() && text[end + 1] == L'\n')
            ++end;
        start = end + 1;
    }
    return result;
}

bool TArchive::DecompressText(const std::wstring& FlName, std::wstring& outText) {
    outText.clear();
    try {
        TMemoryStream memory;
        if (!DecompressToStream(FlName, &memory))
            return false;
        outText = DecodeTextLines(memory.Data());
        return true;
    } catch (const std::exception& e) {
        NoteSwallowed("TArchive.DecompressText", e.what());
        return false;
    }
}

bool TArchive::AddFile(const std::wstring& FlName, const std::wstring& TargetFlName) {
    FErrResult.clear();
    if (FlName.empty()) {
        SetError(L"parameter FlName (string) is empty!", L"AddFile");
        return false;
    }
    if (!CheckInitialized(L"AddFile"))
        return false;
    return Guarded([&] { return FArchive->DoAddFile(FlName, TargetFlName); });
}

bool TArchive::AddFiles(const TStrings* FlNames, const TStrings* TargetFLNames, const std::wstring& TargetSubdir) {
    FErrResult.clear();
    if (!FlNames) {
        SetError(L"parameter FlNames (TStrings) is nil!", L"AddFiles");
        return false;
    }
    if (!CheckInitialized(L"AddFiles"))
        return false;
    return Guarded([&] { return FArchive->DoAddFiles(*FlNames, TargetFLNames, TargetSubdir); });
}

bool TArchive::AddFiles(const std::wstring& FlPath, const TStrings*, const std::wstring& TargetSubdir) {
    FErrResult.clear();
    if (FlPath.empty()) {
        SetError(L"parameter FlPath (string) is empty!", L"AddFiles");
        return false;
    }
    if (!CheckInitialized(L"AddFiles"))
        return false;
    return Guarded([&] {
        TStrings sources, targets;
        CollectFiles(ExtractFilePath(FlPath), ExtractFileName(FlPath), TargetSubdir, sources, targets);
        return FArchive->DoAddFiles(sources, &targets, std::wstring());
    });
}

bool TArchive::AddStream(TByteStream* SrcStream, const std::wstring& TargetFlName) {
    FErrResult.clear();
    if (!SrcStream) {
        SetError(L"parameter SrcStream (tStream) is nil!", L"AddStream");
        return false;
    }
    if (TargetFlName.empty()) {
        SetError(L"parameter FlName (string) is empty!", L"AddStream");
        return false;
    }
    if (!CheckInitialized(L"AddStream"))
        return false;
    return Guarded([&] { return FArchive->DoAddStream(SrcStream, TargetFlName); });
}
