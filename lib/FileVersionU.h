// Version resource of an executable file: fixed version numbers, the first translation and the
// standard string values. The file is read once per name; every property works on that copy.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Eight bytes seen whole or as two signed halves: MS is bytes 0-3, LS bytes 4-7.
union TLongVersion {
    BYTE All[8];
    struct {
        std::int32_t MS;
        std::int32_t LS;
    };
};

enum TVersionLanguage : std::uint8_t {
    vlArabic,
    vlBulgarian,
    vlCatalan,
    vlTraditionalChinese,
    vlCzech,
    vlDanish,
    vlGerman,
    vlGreek,
    vlUSEnglish,
    vlCastilianSpanish,
    vlFinnish,
    vlFrench,
    vlHebrew,
    vlHungarian,
    vlIcelandic,
    vlItalian,
    vlJapanese,
    vlKorean,
    vlDutch,
    vlNorwegianBokmel,
    vlPolish,
    vlBrazilianPortuguese,
    vlRhaetoRomanic,
    vlRomanian,
    vlRussian,
    vlCroatoSerbian,
    vlSlovak,
    vlAlbanian,
    vlSwedish,
    vlThai,
    vlTurkish,
    vlUrdu,
    vlBahasa,
    vlSimplifiedChinese,
    vlSwissGerman,
    vlUKEnglish,
    vlMexicanSpanish,
    vlBelgianFrench,
    vlSwissItalian,
    vlBelgianDutch,
    vlNorwegianNynorsk,
    vlPortuguese,
    vlSerboCroatian,
    vlCanadianFrench,
    vlSwissFrench,
    vlUnknown
};

enum TVersionCharSet : std::uint8_t {
    vcsASCII,
    vcsJapan,
    vcsKorea,
    vcsTaiwan,
    vcsUnicode,
    vcsEasternEuropean,
    vcsCyrillic,
    vcsMultilingual,
    vcsGreek,
    vcsTurkish,
    vcsHebrew,
    vcsArabic,
    vcsUnknown
};

// The first table value for a language identifier; vlUnknown when it has none.
TVersionLanguage VersionLanguageOf(WORD aLanguageId) noexcept;
// The table value for a code page; vcsUnknown when it has none.
TVersionCharSet VersionCharSetOf(WORD aCodePage) noexcept;
// A translation entry (language in the low half, code page in the high half) as 8 upper-case hex
// digits, language first: 0x04B00409 gives "040904B0".
std::wstring TranslationText(DWORD aTranslation);
// The 8-digit key of the first string table under "StringFileInfo" of a VS_VERSIONINFO block;
// empty when the block has none or is malformed. Never reads past aSize bytes.
std::wstring FirstStringTableKey(const BYTE* aBlock, size_t aSize);

class TFileVersion {
public:
    explicit TFileVersion(const std::wstring& AFileName);

    bool Valid() const noexcept { return FValid; }
    const std::wstring& FileName() const noexcept { return FFileName; }
    // Releases the old block and reads the version resource of the new file.
    void SetFileName(const std::wstring& AFileName);

    // Null when not valid or the block has no fixed part. Points into this object.
    const VS_FIXEDFILEINFO* FixedFileVersion() const;
    TLongVersion FileLongVersion() const;
    TLongVersion ProductLongVersion() const;
    // The first entry of "\VarFileInfo\Translation"; null when not valid or absent.
    const DWORD* Translation() const;
    TVersionLanguage VersionLanguage() const;
    TVersionCharSet VersionCharSet() const;
    // dwFileVersionMS when valid, else 0.
    DWORD VersionNum() const;

    std::wstring Comments() const { return GetVerValue(L"Comments"); }
    std::wstring CompanyName() const { return GetVerValue(L"CompanyName"); }
    std::wstring FileDescription() const { return GetVerValue(L"FileDescription"); }
    std::wstring FileVersion() const { return GetVerValue(L"FileVersion"); }
    std::wstring InternalName() const { return GetVerValue(L"InternalName"); }
    std::wstring LegalCopyright() const { return GetVerValue(L"LegalCopyright"); }
    std::wstring LegalTrademarks() const { return GetVerValue(L"LegalTrademarks"); }
    std::wstring OriginalFilename() const { return GetVerValue(L"OriginalFilename"); }
    std::wstring ProductVersion() const { return GetVerValue(L"ProductVersion"); }
    std::wstring ProductName() const { return GetVerValue(L"ProductName"); }
    std::wstring SpecialBuild() const { return GetVerValue(L"SpecialBuild"); }
    std::wstring PrivateBuild() const { return GetVerValue(L"PrivateBuild"); }

    // The string value VerName: first from the table the first translation names, else from the
    // first string table of the block. Empty when absent, when not valid, or when the query path
    // would exceed 255 characters.
    std::wstring GetVerValue(const std::wstring& VerName) const;
    // The first translation as 8 hex digits (see TranslationText); empty without one.
    std::wstring GetTranslationString() const;

private:
    void GetVersionInfo();
    // VerQueryValueW on the block; false when not valid or absent.
    bool Query(const std::wstring& aPath, void*& aValue, UINT& aLength) const;
    std::wstring QueryString(const std::wstring& aPath) const;

    std::wstring FFileName;
    bool FValid = false;
    DWORD FSize = 0;
    mutable std::vector<BYTE> FBuffer; // VerQueryValueW takes a non-const block
    DWORD FHandle = 0;
};

// The "FileVersion" string of aFileName; empty when it cannot be read. Never raises.
std::wstring GetFileVersionString(const std::wstring& AFileName) noexcept;
