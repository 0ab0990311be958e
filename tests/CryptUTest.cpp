#include "CryptU.h"

#include <gtest/gtest.h>

namespace {

std::uint32_t FixedTick() {
    return 4000000123u;
}

// The token's plain text, read back without key material: with an empty key the XOR layer does nothing.
std::wstring PlainOf(const std::wstring& aToken) {
    return BytesToText(DecodeURLText(aToken));
}

TEST(CryptUTest, WorkedExampleOfPlainTextAndFillEncoding) {
    EXPECT_EQ(TCryptURL::GetCRC(L"\rA\t1"), 136);
    EXPECT_EQ(EncodeURLText(TBytes{0xFB, 0xFF}), L"-_8@");
    EXPECT_EQ(DecodeURLText(L"-_8@"), (TBytes{0xFB, 0xFF}));

    TCryptURL c(false);
    c.TickSource = FixedTick;
    c.SetParameters(L"A", L"1");
    const std::wstring params = L"\rA\t1\rRANDOMIZER\t4000000123";
    EXPECT_EQ(PlainOf(c.Encrypt()), L"_CRC\t" + std::to_wstring(TCryptURL::GetCRC(params)) + params);
}

TEST(CryptUTest, ChecksumAddsLowBytesAndReducesAbove65535) {
    EXPECT_EQ(TCryptURL::GetCRC(L""), 0);
    EXPECT_EQ(TCryptURL::GetCRC(std::wstring(1, wchar_t(0x141))), 0x41);
    const std::wstring full(257, wchar_t(0xFF)); // exactly 65535: kept
    EXPECT_EQ(TCryptURL::GetCRC(full), 65535);
    EXPECT_EQ(TCryptURL::GetCRC(full + wchar_t(1)), 1);
}

TEST(CryptUTest, CryptBytesModes) {
    const TBytes key{0x01, 0x02, 0x04};
    const TBytes plain{0x10, 0x20, 0x30, 0x40, 0x50};
    // Default mode: byte 0 untouched, byte i uses key[(i - 1) mod 3]; the same in both directions.
    const TBytes plainDefault{0x10, 0x21, 0x32, 0x44, 0x51};
    EXPECT_EQ(CryptBytes(cdEncrypt, plain, key, false, 7), plainDefault);
    EXPECT_EQ(CryptBytes(cdDecrypt, plainDefault, key, false, 7), plain);
    // Random start at 4 (mod 3 = 1): c0 = p0^k1, ci = pi^k^p(i-1).
    const TBytes chained{0x10 ^ 0x02, 0x20 ^ 0x04 ^ 0x10, 0x30 ^ 0x01 ^ 0x20, 0x40 ^ 0x02 ^ 0x30, 0x50 ^ 0x04 ^ 0x40};
    EXPECT_EQ(CryptBytes(cdEncrypt, plain, key, true, 4), chained);
    EXPECT_EQ(CryptBytes(cdDecrypt, chained, key, true, 4), plain);
    EXPECT_EQ(CryptBytes(cdDecrypt, chained, key, true, -5), CryptBytes(cdDecrypt, chained, key, true, 0));
    EXPECT_TRUE(CryptBytes(cdEncrypt, TBytes(), key, false, 0).empty());
}

TEST(CryptUTest, Base64Table) {
    const struct {
        TBytes bytes;
        const wchar_t* text;
    } cases[] = {
        {{}, L""},
        {{'f'}, L"Zg@@"},
        {{'f', 'o'}, L"Zm8@"},
        {{'f', 'o', 'o'}, L"Zm9v"},
        {{0xFB, 0xEF, 0xBE}, L"----"},
        {{0xFF, 0xFF, 0xFF}, L"____"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeURLText(c.bytes), c.text);
        EXPECT_EQ(DecodeURLText(c.text), c.bytes) << c.text;
    }
    EXPECT_EQ(DecodeURLText(L"Zg.."), TBytes{'f'});
    EXPECT_EQ(DecodeURLText(L"Zm8."), (TBytes{'f', 'o'}));
    for (const wchar_t* bad : {L"Zm8", L"Zm", L"Zm9vZ", L"Zm!v", L"Z@8v", L"@@@@", L"Zm9v\u0141AAA"})
        EXPECT_TRUE(DecodeURLText(bad).empty()) << bad;
}

TEST(CryptUTest, ValuesWithSeparatorsRoundTrip) {
    const std::wstring values[] = {L"a\rb", L"\t", L"\n", L"\r\n\t", L"\n1\n2\n3", L"", L"x\ty\rz\n"};
    TCryptURL out(true);
    int i = 0;
    for (const auto& v : values)
        out.SetParameters(L"v" + std::to_wstring(i++), v);
    TCryptURL in(true);
    ASSERT_TRUE(in.Decrypt(out.Encrypt()));
    EXPECT_TRUE(in.IsValid());
    ASSERT_EQ(in.ParametersCount(), out.ParametersCount());
    for (int j = 0; j < out.ParametersCount(); ++j) {
        EXPECT_EQ(in.Parameters()[j].name, out.Parameters()[j].name);
        EXPECT_EQ(in.Parameters()[j].value, out.Parameters()[j].value) << j;
    }
}

TEST(CryptUTest, ParametersKeepOrderAndNamesIgnoreCase) {
    TCryptURL c(true);
    c.TickSource = FixedTick;
    c.SetParameters(L"cfg", L"10");
    c.SetParameters(L"RANDOMIZER", L"old");
    c.SetParameters(L"uid", L"u");
    EXPECT_EQ(c.GetParameters(L"CFG"), L"10");
    EXPECT_EQ(c.FindParameter(L"Uid"), 2);
    EXPECT_EQ(c.FindParameter(L"absent"), -1);
    EXPECT_EQ(c.GetParameters(L"absent"), L"");
    c.Encrypt();
    ASSERT_EQ(c.ParametersCount(), 3);
    EXPECT_EQ(c.Parameters()[1].name, L"RANDOMIZER");
    EXPECT_EQ(c.Parameters()[1].value, L"4000000123");
    c.SetParameters(L"CFG", L"11");
    EXPECT_EQ(c.Parameters()[0].value, L"11");
    c.Clear();
    EXPECT_EQ(c.ParametersCount(), 0);
    EXPECT_EQ(c.GetKeyStr().size(), 256u);
}

TEST(CryptUTest, DefaultModeTokensStartWithX) {
    TCryptURL c(true);
    c.SetParameters(L"A", L"1");
    EXPECT_EQ(c.Encrypt()[0], L'X');
    c.SetParameters(L"B", L"2");
    EXPECT_EQ(c.Encrypt()[0], L'X');
}

TEST(CryptUTest, CharactersAbove255TravelAsTheirLowByte) {
    TCryptURL out(true);
    out.SetParameters(L"N", L"\u0141x");
    TCryptURL in(true);
    ASSERT_TRUE(in.Decrypt(out.Encrypt()));
    EXPECT_EQ(in.GetParameters(L"N"), L"\u0041x");
}

TEST(CryptUTest, FillAcceptedAsAtAndAsDot) {
    TCryptURL out(true);
    std::wstring token;
    // Parameter values of growing length until the Base64 text ends in one fill character.
    for (int n = 0; n < 3 && (token.empty() || token.back() != L'@'); ++n) {
        out.SetParameters(L"P", std::wstring(static_cast<size_t>(n), L'x'));
        token = out.Encrypt();
    }
    ASSERT_EQ(token.back(), L'@');
    std::wstring dotted = token;
    for (auto& ch : dotted)
        if (ch == L'@')
            ch = L'.';
    TCryptURL a(true), b(true);
    EXPECT_TRUE(a.Decrypt(token));
    EXPECT_TRUE(b.Decrypt(dotted));
    EXPECT_EQ(b.GetParameters(L"P"), out.GetParameters(L"P"));
}

TEST(CryptUTest, RandomStartTokensDecode) {
    TCryptURL key(true);
    const TBytes keyBytes = TextToBytes(key.GetKeyStr());
    const std::wstring params = L"\rCFG\t10\rUID\tabc";
    const std::wstring plain = L"_CRC\t" + std::to_wstring(TCryptURL::GetCRC(params)) + params;
    const std::wstring alphabet = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int start : {0, 5, 60}) {
        std::wstring body = EncodeURLText(CryptBytes(cdEncrypt, TextToBytes(plain), keyBytes, true, start));
        ASSERT_EQ(body.size() % 4, 0u);
        TCryptURL c(true);
        ASSERT_TRUE(c.Decrypt(alphabet[static_cast<size_t>(start)] + body)) << start;
        EXPECT_EQ(c.GetParameters(L"UID"), L"abc");
        EXPECT_EQ(c.ParametersCount(), 2);
    }
    // A prefix outside the alphabet counts as start 0.
    const std::wstring body0 = EncodeURLText(CryptBytes(cdEncrypt, TextToBytes(plain), keyBytes, true, 0));
    TCryptURL c(true);
    EXPECT_TRUE(c.Decrypt(L"-" + body0));
}

// Every rejected token leaves the list exactly as it was.
TEST(CryptUTest, MalformedAndTamperedTokensAreRejected) {
    TCryptURL src(true);
    src.SetParameters(L"CFG", L"10");
    src.SetParameters(L"UID", L"{0A1B}");
    const std::wstring good = src.Encrypt();

    // Alter the checksum digits and, separately, one byte of the parameter text.
    const TBytes keyBytes = TextToBytes(src.GetKeyStr());
    std::wstring plain = BytesToText(CryptBytes(cdDecrypt, DecodeURLText(good), keyBytes, false, 0));
    std::wstring crcTampered = plain;
    crcTampered[5] = crcTampered[5] == L'9' ? L'1' : static_cast<wchar_t>(crcTampered[5] + 1);
    std::wstring bodyTampered = plain;
    bodyTampered[bodyTampered.find(L"{0A1B}")] = L'[';
    std::wstring nonNumeric = plain;
    nonNumeric[5] = L'x';
    std::wstring wrongName = plain;
    wrongName[1] = L'c';
    auto reencode = [&](const std::wstring& aPlain) {
        return EncodeURLText(CryptBytes(cdEncrypt, TextToBytes(aPlain), keyBytes, false, 0));
    };

    const std::wstring cases[] = {
        L"",
        L"X",
        good.substr(0, good.size() - 2),
        good.substr(0, good.size() - 1) + L"AA" + L"A",
        L"!!!!!!!!",
        EncodeURLText(TBytes{1, 2, 3, 4, 5, 6, 7, 8, 9}),
        L"QUJD",
        std::wstring(1 << 20, L'A'),
        reencode(crcTampered),
        reencode(bodyTampered),
        reencode(nonNumeric),
        reencode(wrongName),
    };
    for (const auto& token : cases) {
        TCryptURL c(true);
        c.SetParameters(L"KEEP", L"me");
        EXPECT_FALSE(c.Decrypt(token)) << token.substr(0, 40);
        EXPECT_FALSE(c.IsValid());
        ASSERT_EQ(c.ParametersCount(), 1);
        EXPECT_EQ(c.GetParameters(L"KEEP"), L"me");
    }
    // Lengths 2 and 3 mod 4 are both in the table above; the untouched token still decodes.
    EXPECT_EQ((good.size() - 2) % 4, 2u);
    TCryptURL c(true);
    EXPECT_TRUE(c.Decrypt(good));
    EXPECT_EQ(c.GetParameters(L"UID"), L"{0A1B}");
}

TEST(CryptUTest, DecryptMergesIntoTheListHeld) {
    TCryptURL src(true);
    src.SetParameters(L"A", L"new");
    src.SetParameters(L"B", L"b");
    TCryptURL c(true);
    c.SetParameters(L"Z", L"z");
    c.SetParameters(L"A", L"old");
    ASSERT_TRUE(c.Decrypt(src.Encrypt()));
    ASSERT_EQ(c.ParametersCount(), 4);
    EXPECT_EQ(c.Parameters()[0].name, L"Z");
    EXPECT_EQ(c.Parameters()[1].value, L"new");
    EXPECT_EQ(c.Parameters()[2].name, L"B");
    EXPECT_EQ(c.Parameters()[3].name, L"RANDOMIZER");
}

TEST(CryptUTest, RawDataAndKeyText) {
    TCryptURL c(true);
    EXPECT_EQ(c.EncryptData(L""), L"");
    EXPECT_EQ(c.DecryptData(L""), L"");
    EXPECT_EQ(c.DecryptData(L"abc"), L"");
    const std::wstring text = L"any raw \r\t\n text \u00FF";
    EXPECT_EQ(c.DecryptData(c.EncryptData(text)), text);
    EXPECT_NE(BytesToText(DecodeURLText(c.EncryptData(text))), text);

    TCryptURL k(false);
    EXPECT_EQ(k.GetKeyStr(), L"");
    k.SetKeyStr(std::wstring{L'\u0101', L'b'});
    EXPECT_EQ(k.GetKeyStr(), (std::wstring{L'\u0001', L'b'}));
    k.SetKeyStr(L"");
    EXPECT_EQ(k.GetKeyStr(), L"");
}

} // namespace
