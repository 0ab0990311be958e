// Prints one service token made by the Windows build, for the service's own decoder to read back
// (TokenCross.sh). The values exercise escaping and characters above 127.
#include "CryptU.h"

#include <cstdio>

int main() {
    TCryptURL crypt(true);
    crypt.SetParameters(L"CFG", L"10");
    crypt.SetParameters(L"UID", L"{0A1B2C3D}");
    crypt.SetParameters(L"VER", L"QUENVAR=1.0.0.1");
    crypt.SetParameters(L"CLS", L"");
    crypt.SetParameters(L"SUBID", L"0");
    crypt.SetParameters(L"note", L"tab\there\ncr\rend");
    crypt.SetParameters(L"LATIN", L"caf\u00E9");
    const std::wstring token = crypt.Encrypt();
    for (wchar_t c : token)
        std::putchar(static_cast<char>(c));
    std::putchar('\n');
    return 0;
}
