// The parameter parser behind the token's checksum: the input is the decrypted parameter text,
// wrapped into a token with a correct checksum (in either XOR mode) the way the client encodes, so
// every input reaches the parser instead of failing the checksum.
#include "FuzzSupport.h"

#include "CryptU.h"

namespace {

const wchar_t kStartAlphabet[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    if (aSize < 1)
        return 0;
    // First byte: the XOR mode and the start position; the rest: the parameter text.
    const bool randomStart = (aData[0] & 0x80) != 0;
    const int start = (aData[0] & 0x7F) % 61;
    const std::wstring params = L"\r" + std::wstring(aData + 1, aData + aSize);
    const std::wstring plain = L"_CRC\t" + std::to_wstring(TCryptURL::GetCRC(params)) + params;

    TCryptURL key(true);
    const TBytes keyBytes = TextToBytes(key.GetKeyStr());
    std::wstring token = EncodeURLText(CryptBytes(cdEncrypt, TextToBytes(plain), keyBytes, randomStart, start));
    if (randomStart)
        token.insert(token.begin(), kStartAlphabet[start]);

    TCryptURL crypt(true);
    const bool valid = crypt.Decrypt(token);
    // A parameter text that is no more than its separator leaves the checksum's value with a
    // trailing separator, which is no number.
    FUZZ_CHECK(valid == (aSize > 1));
    if (!valid)
        return 0;
    FUZZ_CHECK(crypt.ParametersCount() >= 1);
    for (const TParam& p : crypt.Parameters()) {
        FUZZ_CHECK(p.name.find(L'\t') == std::wstring::npos);
        for (wchar_t c : p.name)
            FUZZ_CHECK(!(c >= L'a' && c <= L'z'));
        FUZZ_CHECK(crypt.FindParameter(p.name) >= 0);
        FUZZ_CHECK(crypt.GetParameters(p.name) == p.value);
        FUZZ_CHECK(UnescapeValue(EscapeValue(p.value)) == p.value);
    }
    // Decoding adds to the list: the same token again changes nothing.
    const std::vector<TParam> first = crypt.Parameters();
    FUZZ_CHECK(crypt.Decrypt(token));
    FUZZ_CHECK(crypt.ParametersCount() == static_cast<int>(first.size()));
    return 0;
}
