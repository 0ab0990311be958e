#include "FileVersionU.h"

#include "FallbackU.h"

#include <cstring>

namespace {

const WORD kLanguageIds[] = {0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409,
                             0x040A, 0x040B, 0x040C, 0x040D, 0x040E, 0x040F, 0x0410, 0x0411, 0x0412,
                             0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B,
                             0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0804, 0x0807, 0x0809,
                             0x080A, 0x080C, 0x0810, 0x0813, 0x0814, 0x0816, 0x081A, 0x0C0C, 0x100C};
static_assert(sizeof(kLanguageIds) / sizeof(kLanguageIds[0]) == vlUnknown, "one identifier per language");

const WORD kCodePages[] = {0, 932, 949, 950, 1200, 1250, 1251, 1252, 1253, 1254, 1255, 1256};
static_assert(sizeof(kCodePages) / sizeof(kCodePages[0]) == vcsUnknown, "one code page per character set");

const size_t kMaxQueryPath = 255;

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, the NUL-terminated key, padding
// to 32 bits, the value, padding, then the children.
struct TNode {
    size_t start = 0;
    size_t length = 0;
    std::wstring key;
    size_t children = 0; // offset of the first child
};

size_t Align4(size_t anOffset) {
    return (anOffset + 3) & ~size_t(3);
}

WORD WordAt(const BYTE* aBlock, size_t anOffset) {
    WORD w;
    std::memcpy(&w, aBlock + anOffset, sizeof(w));
    return w;
}

// Reads the node at aStart, bounded by aLimit; false when it does not fit.
bool ReadNode(const BYTE* aBlock, size_t aStart, size_t aLimit, TNode& aNode) {
    if (aStart + 6 > aLimit)
        return false;
    const size_t length = WordAt(aBlock, aStart);
    const size_t valueLength = WordAt(aBlock, aStart + 2);
    const WORD type = WordAt(aBlock, aStart + 4);
    if (length < 6 || aStart + length > aLimit)
        return false;
    const size_t end = aStart + length;
    size_t p = aStart + 6;
    std::wstring key;
    for (;;) {
        if (p + 2 > end)
            return false;
        const wchar_t c = static_cast<wchar_t>(WordAt(aBlock, p));
        p += 2;
        if (c == 0)
            break;
        key.push_back(c);
    }
    p = Align4(p);
    // A text value counts its length in characters, a binary one in bytes.
    p += type == 1 ? valueLength * 2 : valueLength;
    aNode.start = aStart;
    aNode.length = length;
    aNode.key = key;
    aNode.children = Align4(p);
    return true;
}

} // namespace

TVersionLanguage VersionLanguageOf(WORD aLanguageId) noexcept {
    for (size_t i = 0; i < vlUnknown; ++i)
        if (kLanguageIds[i] == aLanguageId)
            return static_cast<TVersionLanguage>(i);
    return vlUnknown;
}

TVersionCharSet VersionCharSetOf(WORD aCodePage) noexcept {
    for (size_t i = 0; i < vcsUnknown; ++i)
        if (kCodePages[i] == aCodePage)
            return static_cast<TVersionCharSet>(i);
    return vcsUnknown;
}

std::wstring TranslationText(DWORD aTranslation) {
    const DWORD rotated = (aTranslation << 16) | (aTranslation >> 16);
    wchar_t text[9];
    swprintf(text, 9, L"%08lX", static_cast<unsigned long>(rotated));
    return text;
}

std::wstring FirstStringTableKey(const BYTE* aBlock, size_t aSize) {
    TNode root;
    if (!aBlock || !ReadNode(aBlock, 0, aSize, root))
        return std::wstring();
    const size_t rootEnd = root.start + root.length;
    for (size_t p = root.children; p < rootEnd;) {
        TNode child;
        if (!ReadNode(aBlock, p, rootEnd, child))
            return std::wstring();
        if (child.key == L"StringFileInfo") {
            TNode table;
            if (child.children < child.start + child.length &&
                ReadNode(aBlock, child.children, child.start + child.length, table))
                return table.key;
            return std::wstring();
        }
        p = Align4(child.start + child.length);
    }
    return std::wstring();
}

TFileVersion::TFileVersion(const std::wstring& AFileName) : FFileName(AFileName) {
    GetVersionInfo();
}

void TFileVersion::SetFileName(const std::wstring& AFileName) {
    FBuffer.clear();
    FBuffer.shrink_to_fit();
    FSize = 0;
    FFileName = AFileName;
    GetVersionInfo();
}

void TFileVersion::GetVersionInfo() {
    FValid = false;
    FSize = GetFileVersionInfoSizeW(FFileName.c_str(), &FHandle);
    if (FSize == 0)
        return;
    FValid = ResultOr("TFileVersion.GetVersionInfo", false, [&] {
        FBuffer.assign(FSize, 0);
        return GetFileVersionInfoW(FFileName.c_str(), FHandle, FSize, FBuffer.data()) != FALSE;
    });
}

bool TFileVersion::Query(const std::wstring& aPath, void*& aValue, UINT& aLength) const {
    aValue = nullptr;
    aLength = 0;
    return FValid && VerQueryValueW(FBuffer.data(), aPath.c_str(), &aValue, &aLength) && aValue;
}

std::wstring TFileVersion::QueryString(const std::wstring& aPath) const {
    void* value = nullptr;
    UINT length = 0;
    if (aPath.size() > kMaxQueryPath || !Query(aPath, value, length))
        return std::wstring();
    const auto* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length));
}

const VS_FIXEDFILEINFO* TFileVersion::FixedFileVersion() const {
    void* value = nullptr;
    UINT length = 0;
    if (!Query(L"\\", value, length) || length < sizeof(VS_FIXEDFILEINFO))
        return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(value);
}

TLongVersion TFileVersion::FileLongVersion() const {
    TLongVersion v{};
    if (const VS_FIXEDFILEINFO* info = FixedFileVersion()) {
        v.MS = static_cast<std::int32_t>(info->dwFileVersionMS);
        v.LS = static_cast<std::int32_t>(info->dwFileVersionLS);
    }
    return v;
}

TLongVersion TFileVersion::ProductLongVersion() const {
    TLongVersion v{};
    if (const VS_FIXEDFILEINFO* info = FixedFileVersion()) {
        v.MS = static_cast<std::int32_t>(info->dwProductVersionMS);
        v.LS = static_cast<std::int32_t>(info->dwProductVersionLS);
    }
    return v;
}

const DWORD* TFileVersion::Translation() const {
    void* value = nullptr;
    UINT length = 0;
    if (!Query(L"\\VarFileInfo\\Translation", value, length) || length < sizeof(DWORD))
        return nullptr;
    return static_cast<const DWORD*>(value);
}

TVersionLanguage TFileVersion::VersionLanguage() const {
    const DWORD* t = Translation();
    return t ? VersionLanguageOf(LOWORD(*t)) : vlUnknown;
}

TVersionCharSet TFileVersion::VersionCharSet() const {
    const DWORD* t = Translation();
    return t ? VersionCharSetOf(HIWORD(*t)) : vcsUnknown;
}

DWORD TFileVersion::VersionNum() const {
    const VS_FIXEDFILEINFO* info = FixedFileVersion();
    return info ? info->dwFileVersionMS : 0;
}

std::wstring TFileVersion::GetTranslationString() const {
    const DWORD* t = Translation();
    return t ? TranslationText(*t) : std::wstring();
}

std::wstring TFileVersion::GetVerValue(const std::wstring& VerName) const {
    return ResultOr<std::wstring>("TFileVersion.GetVerValue", std::wstring(), [&]() -> std::wstring {
        if (!FValid || VerName.empty())
            return std::wstring();
        const std::wstring translation = GetTranslationString();
        if (!translation.empty()) {
            void* value = nullptr;
            UINT length = 0;
            const std::wstring path = L"\\StringFileInfo\\" + translation + L"\\" + VerName;
            if (path.size() <= kMaxQueryPath && Query(path, value, length))
                return QueryString(path);
        }
        const std::wstring first = FirstStringTableKey(FBuffer.data(), FBuffer.size());
        if (first.empty())
            return std::wstring();
        return QueryString(L"\\StringFileInfo\\" + first + L"\\" + VerName);
    });
}

std::wstring GetFileVersionString(const std::wstring& AFileName) noexcept {
    return ResultOr<std::wstring>("GetFileVersionString", std::wstring(),
                                  [&]() -> std::wstring { return TFileVersion(AFileName).FileVersion(); });
}
