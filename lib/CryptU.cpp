#include "CryptU.h"

#include "FallbackU.h"
#include "ServiceVocabU.h"
#include "StringU.h"

#include <chrono>
#include <limits>
#include <mutex>
#include <random>

namespace {

const wchar_t kParamSep = L'\r';
const wchar_t kNameValueSep = L'\t';
const wchar_t kEscape = L'\n';
const wchar_t kCRCName[] = L"_CRC";
const wchar_t kRandomStartAlphabet[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// The key shared with the vendor's service; changing it breaks every deployed client.
const std::uint8_t kDefaultKey[256] = {
    0x41, 0x5D, 0xF0, 0xBF, 0xA8, 0xE4, 0x2D, 0xB7, 0x5C, 0xD2, 0xA8, 0xEC, 0xB2, 0x2A, 0x26, 0x29, 0x7B, 0x27, 0x70,
    0xBA, 0x64, 0xB7, 0xAF, 0x5A, 0xAB, 0xAA, 0xB7, 0xB5, 0x4E, 0x55, 0xA4, 0x11, 0x23, 0xFE, 0x77, 0x85, 0x15, 0xBD,
    0x87, 0x8A, 0x62, 0x78, 0x3D, 0x52, 0x7B, 0x6A, 0xE2, 0xAD, 0x60, 0x36, 0xEC, 0x9D, 0x82, 0x51, 0x22, 0xB7, 0x86,
    0x9D, 0x9A, 0x35, 0xF3, 0x94, 0x01, 0xEC, 0x44, 0x8B, 0xC6, 0x7B, 0xEE, 0xC6, 0x0C, 0x79, 0xE8, 0x43, 0xB3, 0x4E,
    0x53, 0x9E, 0xB9, 0xAF, 0x43, 0xAE, 0xB6, 0x6E, 0x46, 0xBF, 0xB9, 0x67, 0x22, 0x82, 0xB2, 0x31, 0x1D, 0xB3, 0x9F,
    0x01, 0x7F, 0x46, 0x6B, 0xB6, 0xB3, 0x6E, 0x43, 0xE2, 0xD3, 0x14, 0xE3, 0x57, 0xA8, 0x09, 0xD6, 0xDD, 0xEB, 0x6D,
    0x18, 0xC2, 0x26, 0xA2, 0x5B, 0x91, 0x42, 0x89, 0xA9, 0xBF, 0x44, 0xB2, 0x34, 0x88, 0xDF, 0x3E, 0xFA, 0xDC, 0x56,
    0xDF, 0x00, 0x54, 0x37, 0xB5, 0xC0, 0x5E, 0xD1, 0x0D, 0x87, 0x36, 0x8A, 0x1F, 0xCF, 0x14, 0x3C, 0x24, 0x74, 0x92,
    0x7A, 0xC7, 0x33, 0x43, 0xEE, 0x67, 0x05, 0x92, 0x26, 0x05, 0x5F, 0xD0, 0x7E, 0xE1, 0x2B, 0xFE, 0x90, 0xEA, 0x5E,
    0x35, 0x3E, 0x3D, 0x8E, 0x1E, 0xA4, 0x18, 0xD0, 0xC3, 0x5C, 0x6B, 0xE1, 0x10, 0x87, 0x85, 0x6B, 0x46, 0x16, 0xE6,
    0x9E, 0x67, 0xE9, 0x77, 0xDC, 0x2F, 0x92, 0x31, 0xE2, 0xD2, 0xB0, 0x3D, 0x67, 0x9A, 0x17, 0xD3, 0xEB, 0xD7, 0xE2,
    0x42, 0xEB, 0xE1, 0x3E, 0x34, 0x61, 0x84, 0x3F, 0x78, 0x34, 0xB6, 0x9A, 0x91, 0xB4, 0x24, 0x8A, 0xCD, 0x05, 0xED,
    0x79, 0x1B, 0x4F, 0xE0, 0x1C, 0x50, 0xEC, 0x33, 0x6B, 0xB2, 0xDA, 0x55, 0x7C, 0xBF, 0xE6, 0x56, 0x10, 0x42, 0x86,
    0x43, 0x07, 0x35, 0xD5, 0x85, 0x75, 0x1B, 0x48, 0x63,
};

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The next token of aText at the one-based position aPos (0 counts as 1), which moves past the
// separator, or becomes -1 when the token reached the end of the text.
std::wstring ExtractToken(const std::wstring& aText, long& aPos, wchar_t aSep) {
    if (aPos <= 0)
        aPos = 1;
    const long len = static_cast<long>(aText.size());
    const size_t hit = aText.find(aSep, static_cast<size_t>(aPos - 1));
    if (hit != std::wstring::npos && static_cast<long>(hit) + 1 < len) {
        std::wstring token = aText.substr(static_cast<size_t>(aPos - 1), hit + 1 - static_cast<size_t>(aPos));
        aPos = static_cast<long>(hit) + 2;
        return token;
    }
    std::wstring token = aPos < len ? aText.substr(static_cast<size_t>(aPos - 1)) : std::wstring();
    aPos = -1;
    return token;
}

void SplitNameValue(const std::wstring& aToken, wchar_t aSep, std::wstring& aName, std::wstring& aValue) {
    const size_t hit = aToken.find(aSep);
    if (hit == std::wstring::npos) {
        aName = aToken;
        aValue.clear();
        return;
    }
    aName = aToken.substr(0, hit);
    aValue = UnescapeValue(aToken.substr(hit + 1));
}

int Base64Index(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

} // namespace

std::wstring EscapeValue(const std::wstring& aValue) {
    std::wstring s = ReplaceAll(aValue, std::wstring(1, kEscape), std::wstring{kEscape, L'1'});
    s = ReplaceAll(s, std::wstring(1, kParamSep), std::wstring{kEscape, L'3'});
    return ReplaceAll(s, std::wstring(1, kNameValueSep), std::wstring{kEscape, L'2'});
}

std::wstring UnescapeValue(const std::wstring& aValue) {
    std::wstring s = ReplaceAll(aValue, std::wstring{kEscape, L'2'}, std::wstring(1, kNameValueSep));
    s = ReplaceAll(s, std::wstring{kEscape, L'3'}, std::wstring(1, kParamSep));
    return ReplaceAll(s, std::wstring{kEscape, L'1'}, std::wstring(1, kEscape));
}

TBytes TextToBytes(const std::wstring& aText) {
    TBytes bytes(aText.size());
    for (size_t i = 0; i < aText.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(aText[i]) & 0xFF);
    return bytes;
}

std::wstring BytesToText(const TBytes& aBytes) {
    std::wstring text(aBytes.size(), L'\0');
    for (size_t i = 0; i < aBytes.size(); ++i)
        text[i] = static_cast<wchar_t>(aBytes[i]);
    return text;
}

TBytes CryptBytes(TCryptDirection aDirection, const TBytes& anInput, const TBytes& aKey, bool aRandomStart,
                  int aStart) {
    TBytes out(anInput.size());
    if (anInput.empty())
        return out;
    const size_t keyLen = aKey.size();
    size_t k = 0;
    auto nextKey = [&]() -> std::uint8_t {
        if (keyLen == 0)
            return 0;
        const std::uint8_t b = aKey[k];
        if (++k >= keyLen)
            k = 0;
        return b;
    };
    if (!aRandomStart) {
        out[0] = anInput[0];
        for (size_t i = 1; i < anInput.size(); ++i)
            out[i] = anInput[i] ^ nextKey();
        return out;
    }
    k = (aStart < 0 || keyLen == 0) ? 0 : static_cast<size_t>(aStart) % keyLen;
    out[0] = anInput[0] ^ nextKey();
    for (size_t i = 1; i < anInput.size(); ++i) {
        const std::uint8_t prevPlain = aDirection == cdEncrypt ? anInput[i - 1] : out[i - 1];
        out[i] = anInput[i] ^ nextKey() ^ prevPlain;
    }
    return out;
}

std::wstring EncodeURLText(const TBytes& aBytes) {
    std::wstring out;
    out.reserve((aBytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= aBytes.size(); i += 3) {
        const std::uint32_t v = (aBytes[i] << 16) | (aBytes[i + 1] << 8) | aBytes[i + 2];
        out += static_cast<wchar_t>(kBase64[(v >> 18) & 63]);
        out += static_cast<wchar_t>(kBase64[(v >> 12) & 63]);
        out += static_cast<wchar_t>(kBase64[(v >> 6) & 63]);
        out += static_cast<wchar_t>(kBase64[v & 63]);
    }
    const size_t rest = aBytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = aBytes[i] << 16;
        if (rest == 2)
            v |= aBytes[i + 1] << 8;
        out += static_cast<wchar_t>(kBase64[(v >> 18) & 63]);
        out += static_cast<wchar_t>(kBase64[(v >> 12) & 63]);
        out += rest == 2 ? static_cast<wchar_t>(kBase64[(v >> 6) & 63]) : L'=';
        out += L'=';
    }
    for (wchar_t& c : out) {
        if (c == L'+')
            c = L'-';
        else if (c == L'/')
            c = L'_';
        else if (c == L'=')
            c = L'@';
    }
    return out;
}

TBytes DecodeURLText(const std::wstring& aText) {
    if (aText.empty() || aText.size() % 4 != 0)
        return TBytes();
    std::wstring text = aText;
    for (wchar_t& c : text) {
        if (c == L'-')
            c = L'+';
        else if (c == L'_')
            c = L'/';
        else if (c == L'.' || c == L'@')
            c = L'=';
    }
    size_t fill = 0;
    if (text.back() == L'=')
        fill = text[text.size() - 2] == L'=' ? 2 : 1;
    TBytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t v = 0;
        for (size_t j = 0; j < 4; ++j) {
            const bool isFill = last && j >= 4 - fill;
            const int idx = isFill ? 0 : Base64Index(text[i + j]);
            if (idx < 0)
                return TBytes();
            v = (v << 6) | static_cast<std::uint32_t>(idx);
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (!last || fill < 2)
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (!last || fill < 1)
            out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

std::uint32_t DefaultTickCount() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int DefaultRandom(int aRange) {
    static std::mutex lock;
    static std::mt19937 generator{std::random_device{}()};
    if (aRange <= 1)
        return 0;
    std::lock_guard<std::mutex> guard(lock);
    return std::uniform_int_distribution<int>(0, aRange - 1)(generator);
}

TCryptURL::TCryptURL(bool bSetDefaultKey)
    : TickSource(DefaultTickCount), RandomSource(DefaultRandom), _isValid(false),
      _randoFirstChars(kRandomStartAlphabet), _useRandomPwdStart(false) {
    if (bSetDefaultKey)
        _Password.assign(kDefaultKey, kDefaultKey + sizeof(kDefaultKey));
}

TCryptURL::~TCryptURL() {
    _Password.clear();
    _Pars.clear();
}

void TCryptURL::Clear() {
    _Pars.clear();
}

std::wstring TCryptURL::GetKeyStr() const {
    return BytesToText(_Password);
}

void TCryptURL::SetKeyStr(const std::wstring& aKey) {
    _Password = TextToBytes(aKey);
}

int TCryptURL::FindParameter(const std::wstring& sName) const {
    const std::wstring name = AsciiUpper(sName);
    for (size_t i = 0; i < _Pars.size(); ++i)
        if (_Pars[i].name == name)
            return static_cast<int>(i);
    return -1;
}

std::wstring TCryptURL::GetParameters(const std::wstring& sName) const {
    const int i = FindParameter(sName);
    return i < 0 ? std::wstring() : _Pars[static_cast<size_t>(i)].value;
}

void TCryptURL::SetParameters(const std::wstring& sName, const std::wstring& value) {
    const int i = FindParameter(sName);
    if (i >= 0)
        _Pars[static_cast<size_t>(i)].value = value;
    else
        _Pars.push_back(TParam{AsciiUpper(sName), value});
}

std::wstring TCryptURL::ParameterText() const {
    std::wstring text;
    for (const TParam& p : _Pars) {
        text += kParamSep;
        text += p.name;
        text += kNameValueSep;
        text += EscapeValue(p.value);
    }
    return text;
}

std::int32_t TCryptURL::GetCRC(const std::wstring& sRetezec) {
    std::int32_t sum = 0;
    for (wchar_t c : sRetezec) {
        sum += static_cast<std::int32_t>(static_cast<std::uint32_t>(c) & 0xFF);
        if (sum > 65535)
            sum %= 65535;
    }
    return sum;
}

std::wstring TCryptURL::Encrypt() {
    if (!_useRandomPwdStart)
        SetParameters(kTokenRANDOMIZER.Wide, std::to_wstring(TickSource()));
    const std::wstring params = ParameterText();
    const std::wstring plain = std::wstring(kCRCName) + kNameValueSep + std::to_wstring(GetCRC(params)) + params;
    // The last alphabet character is never chosen as start.
    const int start = RandomSource(61);
    std::wstring token = EncodeURLText(CryptBytes(cdEncrypt, TextToBytes(plain), _Password, _useRandomPwdStart, start));
    if (_useRandomPwdStart)
        token.insert(token.begin(), _randoFirstChars[static_cast<size_t>(start)]);
    return token;
}

bool TCryptURL::Decrypt(const std::wstring& urlData) {
    _isValid = false;
    if (urlData.empty())
        return false;
    return ResultOr<bool>("TCryptURL.Decrypt", false, [&]() -> bool {
        std::wstring data = urlData;
        bool randomStart = false;
        int start = 0;
        if (data.size() % 4 == 1) {
            const size_t idx = _randoFirstChars.find(data[0]);
            start = idx == std::wstring::npos ? 0 : static_cast<int>(idx);
            data.erase(0, 1);
            randomStart = true;
        }
        const TBytes bytes = DecodeURLText(data);
        if (bytes.empty())
            return false;
        const std::wstring text = BytesToText(CryptBytes(cdDecrypt, bytes, _Password, randomStart, start));

        long pos = 1;
        std::wstring name, value;
        SplitNameValue(ExtractToken(text, pos, kParamSep), kNameValueSep, name, value);
        const std::optional<std::int32_t> crc = ParseInt32(value);
        if (name != kCRCName || !crc)
            return false;
        const std::wstring rest = pos == -1 ? std::wstring() : text.substr(static_cast<size_t>(pos - 1));
        if (GetCRC(rest.empty() ? std::wstring() : kParamSep + rest) != *crc)
            return false;

        if (!rest.empty()) {
            long p = 0;
            do {
                SplitNameValue(ExtractToken(rest, p, kParamSep), kNameValueSep, name, value);
                SetParameters(AsciiUpper(name), value);
            } while (p != -1);
        }
        _isValid = true;
        return true;
    });
}

std::wstring TCryptURL::EncryptData(const std::wstring& sData) const {
    if (sData.empty())
        return std::wstring();
    return EncodeURLText(CryptBytes(cdEncrypt, TextToBytes(sData), _Password, false, 0));
}

std::wstring TCryptURL::DecryptData(const std::wstring& sData) const {
    const TBytes bytes = DecodeURLText(sData);
    if (bytes.empty())
        return std::wstring();
    return BytesToText(CryptBytes(cdDecrypt, bytes, _Password, false, 0));
}
