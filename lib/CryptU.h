// The service token: an ordered list of named parameters packed into one URL-safe text (additive
// checksum, XOR with a 256-byte key, Base64 with "-", "_" and "@" for "+", "/" and "="), and back.
// Standard C++ only: the vendor's service builds this unit natively and must decode exactly what
// the client encodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

struct TParam {
    std::wstring name; // upper case
    std::wstring value;
};

enum TCryptDirection : std::uint8_t { cdEncrypt = 0, cdDecrypt = 1 };

// Value escaping: LF, CR and TAB inside a value become LF "1", LF "3" and LF "2".
std::wstring EscapeValue(const std::wstring& aValue);
std::wstring UnescapeValue(const std::wstring& aValue);

// One byte per character, the low 8 bits of its code; and back, one character per byte.
TBytes TextToBytes(const std::wstring& aText);
std::wstring BytesToText(const TBytes& aBytes);

// The XOR layer. Default mode leaves byte 0 as it is and XORs byte i with key[(i - 1) mod n];
// random-start mode starts at key[aStart mod n] and chains every byte to the previous plain byte.
// An empty key XORs with 0.
TBytes CryptBytes(TCryptDirection aDirection, const TBytes& anInput, const TBytes& aKey, bool aRandomStart, int aStart);

// Base64 (RFC 4648) with "+", "/" and "=" replaced by "-", "_" and "@".
std::wstring EncodeURLText(const TBytes& aBytes);
// The inverse; "." is accepted as fill like "@". A length that is 0 or no multiple of 4, a
// character outside the alphabet or a misplaced fill character gives no bytes.
TBytes DecodeURLText(const std::wstring& aText);

class TCryptURL {
public:
    using TTickSource = std::uint32_t (*)();
    using TRandomSource = int (*)(int aRange);

    // Loads the built-in 256-byte key when bSetDefaultKey is true; the key stays empty otherwise.
    explicit TCryptURL(bool bSetDefaultKey);
    ~TCryptURL();

    // Empties the parameter list; the key stays.
    void Clear();

    std::wstring GetKeyStr() const;
    void SetKeyStr(const std::wstring& aKey);

    // Index of the parameter named sName (ASCII letters compared without case), or -1.
    int FindParameter(const std::wstring& sName) const;
    int ParametersCount() const { return static_cast<int>(_Pars.size()); }
    const std::vector<TParam>& Parameters() const { return _Pars; }
    std::wstring GetParameters(const std::wstring& sName) const;
    // Replaces the value in place, or appends a new parameter at the end.
    void SetParameters(const std::wstring& sName, const std::wstring& value);

    // The token of the list; sets RANDOMIZER to the tick count first (appended on first use).
    std::wstring Encrypt();
    // Adds the token's parameters to the list. A malformed or tampered token returns false and
    // leaves the list as it was.
    bool Decrypt(const std::wstring& urlData);
    bool IsValid() const { return _isValid; }

    // The additive checksum: sum of the low bytes, reduced modulo 65535 whenever it exceeds 65535.
    static std::int32_t GetCRC(const std::wstring& sRetezec);

    // Token of a raw text without parameter structure or checksum, and back (empty when undecodable).
    std::wstring EncryptData(const std::wstring& sData) const;
    std::wstring DecryptData(const std::wstring& sData) const;

    // The millisecond tick count written to RANDOMIZER and the source of the random start
    // position (a value from 0 to aRange - 1); replaceable so tests and callers can fix them.
    TTickSource TickSource;
    TRandomSource RandomSource;

private:
    std::wstring ParameterText() const;

    TBytes _Password;
    std::vector<TParam> _Pars;
    bool _isValid;
    std::wstring _randoFirstChars;
    bool _useRandomPwdStart;
};

// Milliseconds of a monotonic clock, truncated to 32 bits.
std::uint32_t DefaultTickCount();
// A uniform integer from 0 to aRange - 1 from a process-wide generator.
int DefaultRandom(int aRange);
