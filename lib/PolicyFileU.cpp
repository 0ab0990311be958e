#include "PolicyFileU.h"

#include <algorithm>

#include "StringU.h"

#include <initializer_list>
#include <utility>

std::wstring PolicyKeyOf(const std::wstring& aKey) {
    std::wstring key = AsciiUpper(aKey);
    key.erase(0, key.find_first_not_of(L'\\'));
    for (const wchar_t* root : {L"HKLM\\", L"HKEY_LOCAL_MACHINE\\"}) {
        const std::wstring prefix = root;
        if (key.compare(0, prefix.size(), prefix) == 0) {
            key.erase(0, prefix.size());
            break;
        }
    }
    const std::size_t first = key.find_first_not_of(L'\\');
    if (first == std::wstring::npos)
        return std::wstring();
    return key.substr(first, key.find_last_not_of(L'\\') - first + 1);
}

namespace {

constexpr std::uint32_t kSignature = 0x67655250; // "PReg"
constexpr std::uint32_t kVersion = 1;

// Reads the input front to back; every read checks the bytes left first and leaves the position
// alone when they are too few.
class TPolicyReader {
public:
    explicit TPolicyReader(const std::vector<std::uint8_t>& aBytes) : FBytes(aBytes) {}

    bool AtEnd() const { return FPos == FBytes.size(); }

    bool Number(std::uint32_t& aNumber) {
        if (FBytes.size() - FPos < 4)
            return false;
        aNumber = static_cast<std::uint32_t>(FBytes[FPos]) | static_cast<std::uint32_t>(FBytes[FPos + 1]) << 8 |
                  static_cast<std::uint32_t>(FBytes[FPos + 2]) << 16 |
                  static_cast<std::uint32_t>(FBytes[FPos + 3]) << 24;
        FPos += 4;
        return true;
    }

    bool Char(wchar_t aChar) {
        if (FBytes.size() - FPos < 2 || Unit(FPos) != static_cast<std::uint16_t>(aChar))
            return false;
        FPos += 2;
        return true;
    }

    // A NUL-terminated UTF-16LE text; the terminator is consumed, not kept.
    bool Text(std::wstring& aText) {
        std::size_t end = FPos;
        while (FBytes.size() - end >= 2 && Unit(end) != 0)
            end += 2;
        if (FBytes.size() - end < 2)
            return false;
        aText.clear();
        aText.reserve((end - FPos) / 2);
        for (std::size_t i = FPos; i < end; i += 2)
            aText.push_back(static_cast<wchar_t>(Unit(i)));
        FPos = end + 2;
        return true;
    }

    bool Bytes(std::uint32_t aSize, std::vector<std::uint8_t>& aData) {
        if (FBytes.size() - FPos < aSize)
            return false;
        aData.assign(FBytes.begin() + static_cast<std::ptrdiff_t>(FPos),
                     FBytes.begin() + static_cast<std::ptrdiff_t>(FPos + aSize));
        FPos += aSize;
        return true;
    }

private:
    std::uint16_t Unit(std::size_t anAt) const {
        return static_cast<std::uint16_t>(FBytes[anAt] | FBytes[anAt + 1] << 8);
    }

    const std::vector<std::uint8_t>& FBytes;
    std::size_t FPos = 0;
};

bool ReadRecord(TPolicyReader& aReader, TPolicyRecord& aRecord) {
    std::uint32_t size = 0;
    return aReader.Char(L'[') && aReader.Text(aRecord.Key) && aReader.Char(L';') && aReader.Text(aRecord.Value) &&
           aReader.Char(L';') && aReader.Number(aRecord.Type) && aReader.Char(L';') && aReader.Number(size) &&
           aReader.Char(L';') && aReader.Bytes(size, aRecord.Data) && aReader.Char(L']');
}

void PutNumber(std::vector<std::uint8_t>& aBytes, std::uint32_t aNumber) {
    for (int shift = 0; shift < 32; shift += 8)
        aBytes.push_back(static_cast<std::uint8_t>(aNumber >> shift));
}

void PutUnit(std::vector<std::uint8_t>& aBytes, wchar_t aUnit) {
    const auto unit = static_cast<std::uint32_t>(aUnit) & 0xFFFF;
    aBytes.push_back(static_cast<std::uint8_t>(unit));
    aBytes.push_back(static_cast<std::uint8_t>(unit >> 8));
}

void PutText(std::vector<std::uint8_t>& aBytes, const std::wstring& aText) {
    for (wchar_t c : aText)
        PutUnit(aBytes, c);
    PutUnit(aBytes, L'\0');
}

// aKey (as PolicyKeyOf gives it) is aDeleted or lies below it.
bool KeyWithin(const std::wstring& aKey, const std::wstring& aDeleted) {
    if (aDeleted.empty() || aKey.compare(0, aDeleted.size(), aDeleted) != 0)
        return false;
    return aKey.size() == aDeleted.size() || aKey[aDeleted.size()] == L'\\';
}

// The semicolon-separated names a control record's data holds (UTF-16LE, NUL-terminated), each
// trimmed and upper-cased; an odd last byte and everything from the first NUL on are ignored.
std::vector<std::wstring> NameList(const std::vector<std::uint8_t>& aData) {
    std::vector<std::wstring> names(1);
    for (std::size_t i = 0; i + 1 < aData.size(); i += 2) {
        const auto c = static_cast<wchar_t>(aData[i] | aData[i + 1] << 8);
        if (c == L'\0')
            break;
        if (c == L';')
            names.emplace_back();
        else
            names.back().push_back(c);
    }
    for (std::wstring& name : names)
        name = AsciiUpper(TrimBlanks(name));
    return names;
}

bool Lists(const std::vector<std::uint8_t>& aData, const std::wstring& anUpperName) {
    for (const std::wstring& name : NameList(aData))
        if (name == anUpperName)
            return true;
    return false;
}

enum class TEffect { None, Sets, Deletes };

// What one record does to the value anUpperValue of the key anUpperKey (both as PolicyKeyOf and
// AsciiUpper give them).
TEffect EffectOf(const TPolicyRecord& aRecord, const std::wstring& anUpperKey, const std::wstring& anUpperValue) {
    const std::wstring key = PolicyKeyOf(aRecord.Key);
    const std::wstring value = AsciiUpper(aRecord.Value);
    if (value.compare(0, 2, L"**") != 0)
        return key == anUpperKey && value == anUpperValue ? TEffect::Sets : TEffect::None;
    // A control code may be followed by blanks; the name after "**del." is taken as it stands.
    const std::wstring code = TrimBlanks(value);
    if (code == L"**DELETEKEYS") {
        for (const std::wstring& name : NameList(aRecord.Data)) {
            const std::wstring listed = PolicyKeyOf(name);
            if (KeyWithin(anUpperKey, listed) || (!listed.empty() && KeyWithin(anUpperKey, key + L"\\" + listed)))
                return TEffect::Deletes;
        }
        return TEffect::None;
    }
    if (key != anUpperKey)
        return TEffect::None;
    if (value == L"**DEL." + anUpperValue || code == L"**DELVALS" || code == L"**DELVALS.")
        return TEffect::Deletes;
    if (code == L"**DELETEVALUES" && Lists(aRecord.Data, anUpperValue))
        return TEffect::Deletes;
    return TEffect::None;
}

} // namespace

bool ParsePolicyFile(const std::vector<std::uint8_t>& aBytes, std::vector<TPolicyRecord>& aRecords) {
    aRecords.clear();
    TPolicyReader reader(aBytes);
    std::uint32_t signature = 0, version = 0;
    if (!reader.Number(signature) || signature != kSignature || !reader.Number(version) || version != kVersion)
        return false;
    while (!reader.AtEnd()) {
        TPolicyRecord record;
        if (!ReadRecord(reader, record))
            return false;
        aRecords.push_back(std::move(record));
    }
    return true;
}

std::vector<std::uint8_t> PolicyFileBytes(const std::vector<TPolicyRecord>& aRecords) {
    std::vector<std::uint8_t> bytes;
    PutNumber(bytes, kSignature);
    PutNumber(bytes, kVersion);
    for (const TPolicyRecord& record : aRecords) {
        PutUnit(bytes, L'[');
        PutText(bytes, record.Key);
        PutUnit(bytes, L';');
        PutText(bytes, record.Value);
        PutUnit(bytes, L';');
        PutNumber(bytes, record.Type);
        PutUnit(bytes, L';');
        PutNumber(bytes, static_cast<std::uint32_t>(record.Data.size()));
        PutUnit(bytes, L';');
        bytes.insert(bytes.end(), record.Data.begin(), record.Data.end());
        PutUnit(bytes, L']');
    }
    return bytes;
}

bool PolicySetsValue(const std::vector<TPolicyRecord>& aRecords, const std::wstring& aKey, const std::wstring& aValue) {
    const std::wstring key = PolicyKeyOf(aKey);
    const std::wstring value = AsciiUpper(aValue);
    bool sets = false;
    for (const TPolicyRecord& record : aRecords) {
        const TEffect effect = EffectOf(record, key, value);
        if (effect != TEffect::None)
            sets = effect == TEffect::Sets;
    }
    return sets;
}

bool PolicyDecidesValue(const std::vector<TPolicyRecord>& aRecords, const std::wstring& aKey,
                        const std::wstring& aValue) {
    const std::wstring key = PolicyKeyOf(aKey);
    const std::wstring value = AsciiUpper(aValue);
    return std::any_of(aRecords.begin(), aRecords.end(),
                       [&](const TPolicyRecord& aRecord) { return EffectOf(aRecord, key, value) != TEffect::None; });
}
