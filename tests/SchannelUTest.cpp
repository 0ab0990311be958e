// Which credential structure SCHANNEL is asked with and what goes into it, the structures' layout,
// and what this machine's SCHANNEL and CNG make of them.
#include "PlatformU.h"
#include "SchannelU.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kClientBits = SP_PROT_PCT1_CLIENT | SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                              SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT |
                              SP_PROT_DTLS1_0_CLIENT | SP_PROT_DTLS1_2_CLIENT | SP_PROT_UNI_CLIENT;
constexpr DWORD kServerBits = SP_PROT_PCT1_SERVER | SP_PROT_SSL2_SERVER | SP_PROT_SSL3_SERVER | SP_PROT_TLS1_0_SERVER |
                              SP_PROT_TLS1_1_SERVER | SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER |
                              SP_PROT_DTLS1_0_SERVER | SP_PROT_DTLS1_2_SERVER | SP_PROT_UNI_SERVER;

TEST(SchannelCredentialFor, StructureAndBitsPerBuildSideAndProtocols) {
    struct Case {
        DWORD build;
        bool server;
        DWORD protocols;
        TCredentialStructure structure;
        DWORD enabled;
        DWORD disabled;
    };
    const Case cases[] = {
        // Windows 7, Server 2016 and Windows 10 1803: SCHANNEL_CRED, the protocols as asked for.
        {7601, false, SP_PROT_TLS1_2_CLIENT, csSchannelCred, SP_PROT_TLS1_2_CLIENT, 0},
        {7601, true, SP_PROT_TLS1_0_SERVER, csSchannelCred, SP_PROT_TLS1_0_SERVER, 0},
        {7601, false, 0, csSchannelCred, 0, 0},
        {14393, false, SP_PROT_TLS1_3_CLIENT, csSchannelCred, SP_PROT_TLS1_3_CLIENT, 0},
        {17134, true, SP_PROT_TLS1_2_SERVER, csSchannelCred, SP_PROT_TLS1_2_SERVER, 0},
        // From Windows 10 1809 on: SCH_CREDENTIALS, every other bit of the side disabled.
        {17763, false, SP_PROT_TLS1_2_CLIENT, csSchCredentials, 0, kClientBits & ~SP_PROT_TLS1_2_CLIENT},
        {17763, true, SP_PROT_TLS1_2_SERVER, csSchCredentials, 0, kServerBits & ~SP_PROT_TLS1_2_SERVER},
        {19045, false, SP_PROT_SSL3_CLIENT, csSchCredentials, 0, kClientBits & ~SP_PROT_SSL3_CLIENT},
        {20348, true, SP_PROT_TLS1_3_SERVER, csSchCredentials, 0, kServerBits & ~SP_PROT_TLS1_3_SERVER},
        {22631, false, SP_PROT_TLS1_3_CLIENT, csSchCredentials, 0, kClientBits & ~SP_PROT_TLS1_3_CLIENT},
        {26100, false, SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT, csSchCredentials, 0,
         kClientBits & ~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)},
        // The other side's bits ask for nothing of this side: all of it disabled.
        {26100, false, SP_PROT_TLS1_3_SERVER, csSchCredentials, 0, kClientBits},
        // 0: no TLS_PARAMETERS, the system chooses.
        {22631, false, 0, csSchCredentials, 0, 0},
        {26100, true, 0, csSchCredentials, 0, 0},
    };
    for (const Case& c : cases) {
        const TCredentialRequest r = SchannelCredentialFor(c.build, c.protocols, c.server);
        const std::string label =
            std::to_string(c.build) + (c.server ? " server " : " client ") + std::to_string(c.protocols);
        EXPECT_EQ(r.Structure, c.structure) << label;
        EXPECT_EQ(r.EnabledProtocols, c.enabled) << label;
        EXPECT_EQ(r.DisabledProtocols, c.disabled) << label;
    }
    EXPECT_EQ(SchannelSideProtocols(false), kClientBits);
    EXPECT_EQ(SchannelSideProtocols(true), kServerBits);
}

TEST(CredentialUseText, SaysWhichStructureAndWhy) {
    TSchannelCredentialUse use;
    use.Build = 22631;
    use.Structure = csSchCredentials;
    EXPECT_EQ(CredentialUseText(use), L"SCH_CREDENTIALS");
    use.Structure = csSchannelCred;
    use.Refusal = SEC_E_ALGORITHM_MISMATCH;
    EXPECT_EQ(CredentialUseText(use), L"SCHANNEL_CRED (SCH_CREDENTIALS refused: 0x80090331)");
    use.Refusal = SEC_E_OK;
    use.RestrictionsIgnored = true;
    EXPECT_EQ(CredentialUseText(use), L"SCHANNEL_CRED (SCH_CREDENTIALS restrictions ignored)");
    use.RestrictionsIgnored = false;
    use.Build = 7601;
    EXPECT_EQ(CredentialUseText(use), L"SCHANNEL_CRED (Windows before 10 1809)");
}

// The documented layouts of TLS_PARAMETERS and SCH_CREDENTIALS: natural alignment, pointers of the
// build's size. Checked when each architecture compiles, so the i686 build checks the 32-bit one.
TEST(CredentialLayout, MatchesTheDocumentedStructures) {
#ifdef _WIN64
    static_assert(offsetof(TLS_PARAMETERS, cAlpnIds) == 0);
    static_assert(offsetof(TLS_PARAMETERS, rgstrAlpnIds) == 8);
    static_assert(offsetof(TLS_PARAMETERS, grbitDisabledProtocols) == 16);
    static_assert(offsetof(TLS_PARAMETERS, cDisabledCrypto) == 20);
    static_assert(offsetof(TLS_PARAMETERS, pDisabledCrypto) == 24);
    static_assert(offsetof(TLS_PARAMETERS, dwFlags) == 32);
    static_assert(sizeof(TLS_PARAMETERS) == 40);
    static_assert(offsetof(SCH_CREDENTIALS, dwVersion) == 0);
    static_assert(offsetof(SCH_CREDENTIALS, dwCredFormat) == 4);
    static_assert(offsetof(SCH_CREDENTIALS, cCreds) == 8);
    static_assert(offsetof(SCH_CREDENTIALS, paCred) == 16);
    static_assert(offsetof(SCH_CREDENTIALS, hRootStore) == 24);
    static_assert(offsetof(SCH_CREDENTIALS, cMappers) == 32);
    static_assert(offsetof(SCH_CREDENTIALS, aphMappers) == 40);
    static_assert(offsetof(SCH_CREDENTIALS, dwSessionLifespan) == 48);
    static_assert(offsetof(SCH_CREDENTIALS, dwFlags) == 52);
    static_assert(offsetof(SCH_CREDENTIALS, cTlsParameters) == 56);
    static_assert(offsetof(SCH_CREDENTIALS, pTlsParameters) == 64);
    static_assert(sizeof(SCH_CREDENTIALS) == 72);
#else
    static_assert(offsetof(TLS_PARAMETERS, cAlpnIds) == 0);
    static_assert(offsetof(TLS_PARAMETERS, rgstrAlpnIds) == 4);
    static_assert(offsetof(TLS_PARAMETERS, grbitDisabledProtocols) == 8);
    static_assert(offsetof(TLS_PARAMETERS, cDisabledCrypto) == 12);
    static_assert(offsetof(TLS_PARAMETERS, pDisabledCrypto) == 16);
    static_assert(offsetof(TLS_PARAMETERS, dwFlags) == 20);
    static_assert(sizeof(TLS_PARAMETERS) == 24);
    static_assert(offsetof(SCH_CREDENTIALS, dwVersion) == 0);
    static_assert(offsetof(SCH_CREDENTIALS, dwCredFormat) == 4);
    static_assert(offsetof(SCH_CREDENTIALS, cCreds) == 8);
    static_assert(offsetof(SCH_CREDENTIALS, paCred) == 12);
    static_assert(offsetof(SCH_CREDENTIALS, hRootStore) == 16);
    static_assert(offsetof(SCH_CREDENTIALS, cMappers) == 20);
    static_assert(offsetof(SCH_CREDENTIALS, aphMappers) == 24);
    static_assert(offsetof(SCH_CREDENTIALS, dwSessionLifespan) == 28);
    static_assert(offsetof(SCH_CREDENTIALS, dwFlags) == 32);
    static_assert(offsetof(SCH_CREDENTIALS, cTlsParameters) == 36);
    static_assert(offsetof(SCH_CREDENTIALS, pTlsParameters) == 40);
    static_assert(sizeof(SCH_CREDENTIALS) == 44);
#endif
    EXPECT_EQ(SCH_CREDENTIALS_VERSION, 5);
    EXPECT_EQ(SP_PROT_TLS1_3_CLIENT, 0x2000);
    EXPECT_EQ(SP_PROT_TLS1_3_SERVER, 0x1000);
}

// For a build that takes SCH_CREDENTIALS and one that does not: whichever structure was chosen,
// SCHANNEL grants credentials through it, and a fall-back says what was refused.
TEST(ChooseSchannelCredentials, TheChosenStructureGrantsCredentialsAndAFallBackIsReported) {
    for (const DWORD build : {7601u, 26100u}) {
        const TSchannelCredentialUse use = ChooseSchannelCredentials(build);
        const std::wstring text = CredentialUseText(use);
        std::printf("build %lu: %ls\n", static_cast<unsigned long>(build), text.c_str());
        EXPECT_EQ(use.Build, build);
        if (build < kSchCredentialsBuild) {
            EXPECT_EQ(use.Structure, csSchannelCred);
            EXPECT_EQ(use.Refusal, SEC_E_OK);
        } else if (use.Structure == csSchannelCred) {
            EXPECT_TRUE(use.Refusal != SEC_E_OK || use.RestrictionsIgnored);
            EXPECT_TRUE(text.find(L"refused") != std::wstring::npos || text.find(L"ignored") != std::wstring::npos)
                << text;
        }
        EXPECT_EQ(ProbeProtocolCredentials(use, 0, false), SEC_E_OK) << build;
        EXPECT_EQ(ProbeProtocolCredentials(use, SP_PROT_TLS1_2_CLIENT, false), SEC_E_OK) << build;
        // The answers mean something: a protocol SCHANNEL does not offer by default is refused.
        EXPECT_NE(ProbeProtocolCredentials(use, SP_PROT_SSL2_CLIENT, false), SEC_E_OK) << build;
    }
}

// The certificate's key lives as long as the object: named in the certificate, gone afterwards.
TEST(ThrowawayCertificate, HasAKeyThatIsDeletedWithIt) {
    std::wstring container, provider;
    DWORD providerType = 0;
    {
        const TThrowawayCertificate certificate;
        ASSERT_NE(certificate.Get(), nullptr);
        std::printf("key: %s, CNG status 0x%08lX\n", certificate.LegacyKey() ? "CryptoAPI" : "CNG",
                    static_cast<unsigned long>(certificate.CngStatus()));
        EXPECT_EQ(certificate.LegacyKey(), certificate.CngStatus() != ERROR_SUCCESS);
        DWORD size = 0;
        ASSERT_TRUE(CertGetCertificateContextProperty(certificate.Get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
        std::vector<BYTE> bytes(size);
        ASSERT_TRUE(
            CertGetCertificateContextProperty(certificate.Get(), CERT_KEY_PROV_INFO_PROP_ID, bytes.data(), &size));
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
        container = info->pwszContainerName;
        provider = info->pwszProvName;
        providerType = info->dwProvType;
        EXPECT_EQ(providerType == 0, !certificate.LegacyKey());
        if (providerType == 0) {
            NCRYPT_PROV_HANDLE storage = 0;
            ASSERT_EQ(NCryptOpenStorageProvider(&storage, provider.c_str(), 0), ERROR_SUCCESS);
            NCRYPT_KEY_HANDLE key = 0;
            EXPECT_EQ(NCryptOpenKey(storage, &key, container.c_str(), 0, 0), ERROR_SUCCESS);
            if (key)
                NCryptFreeObject(key);
            NCryptFreeObject(storage);
        }
    }
    if (providerType == 0) {
        NCRYPT_PROV_HANDLE storage = 0;
        ASSERT_EQ(NCryptOpenStorageProvider(&storage, provider.c_str(), 0), ERROR_SUCCESS);
        NCRYPT_KEY_HANDLE key = 0;
        EXPECT_NE(NCryptOpenKey(storage, &key, container.c_str(), 0, 0), ERROR_SUCCESS);
        if (key)
            NCryptFreeObject(key);
        NCryptFreeObject(storage);
    } else {
        HCRYPTPROV gone = 0;
        EXPECT_FALSE(CryptAcquireContextW(&gone, container.c_str(), provider.c_str(), providerType, 0));
        if (gone)
            CryptReleaseContext(gone, 0);
    }
}

// Where SCHANNEL has a server side, the in-memory handshake connects, session tickets and all;
// where it has none (Wine), it says so instead of failing some other way.
TEST(InMemoryHandshake, ConnectsOrSaysThereIsNoServerSide) {
    OSVERSIONINFOEXW version;
    QueryTrueVersion(version);
    const TSchannelCredentialUse use = ChooseSchannelCredentials(version.dwBuildNumber);
    const TThrowawayCertificate certificate;
    ASSERT_NE(certificate.Get(), nullptr);
    const TTlsOutcome outcome = InMemoryHandshake(use, certificate.Get(), 0);
    std::printf("handshake: connected %d, status 0x%08lX, after 0x%08lX\n", outcome.Connected,
                static_cast<unsigned long>(outcome.Status), static_cast<unsigned long>(outcome.AfterHandshake));
    if (outcome.Connected) {
        EXPECT_NE(outcome.Protocol, 0u);
        EXPECT_EQ(outcome.AfterHandshake, SEC_E_OK);
    } else {
        EXPECT_EQ(outcome.Status, SEC_E_UNSUPPORTED_FUNCTION);
    }
}

} // namespace
