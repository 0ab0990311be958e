// Any text as a service token: the "CR" field of a report, decoded by the service and by the
// client's own code. A token that decodes must come back the same when encoded again.
#include "FuzzSupport.h"

#include "CryptU.h"
#include "QVRequest.h"

#include <map>

namespace {

std::uint32_t FixedTick() {
    return 4242;
}

int FixedRandom(int) {
    return 0;
}

// Names are not escaped: a name can only hold the parameter separator when the decoder kept the
// one that ends a token (the last one of a text keeps it), and such a list has no same encoding.
bool NameHoldsSeparator(const TCryptURL& aCrypt) {
    for (const TParam& p : aCrypt.Parameters())
        if (p.name.find(L'\r') != std::wstring::npos)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::string token(reinterpret_cast<const char*>(aData), aSize);
    std::map<std::string, std::string> params;
    const bool decoded = DecodeToken(token, params);

    TCryptURL crypt(true);
    const bool valid = crypt.Decrypt(std::wstring(token.begin(), token.end()));
    FUZZ_CHECK(valid == decoded);
    FUZZ_CHECK(crypt.IsValid() == valid);
    if (!valid) {
        FUZZ_CHECK(crypt.ParametersCount() == 0);
        FUZZ_CHECK(params.empty());
    } else if (!NameHoldsSeparator(crypt)) {
        // The decoded list is encoded again with a fixed clock and decodes to the same list.
        crypt.TickSource = FixedTick;
        crypt.RandomSource = FixedRandom;
        const std::wstring again = crypt.Encrypt();
        TCryptURL second(true);
        FUZZ_CHECK(second.Decrypt(again));
        FUZZ_CHECK(second.ParametersCount() == crypt.ParametersCount());
        for (int i = 0; i < crypt.ParametersCount(); ++i) {
            FUZZ_CHECK(second.Parameters()[i].name == crypt.Parameters()[i].name);
            FUZZ_CHECK(second.Parameters()[i].value == crypt.Parameters()[i].value);
        }
    }

    // The raw layers: Base64 text decodes to bytes that encode to the same text with "@" fill.
    const std::wstring wide(token.begin(), token.end());
    const TBytes bytes = DecodeURLText(wide);
    if (!bytes.empty()) {
        FUZZ_CHECK(bytes.size() <= wide.size() / 4 * 3);
        FUZZ_CHECK(DecodeURLText(EncodeURLText(bytes)) == bytes);
        const std::wstring plain = crypt.DecryptData(wide);
        FUZZ_CHECK(plain.size() == bytes.size());
        FUZZ_CHECK(DecodeURLText(crypt.EncryptData(plain)) == bytes);
    }
    return 0;
}
