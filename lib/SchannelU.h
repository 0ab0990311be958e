// TLS through the system's SCHANNEL provider: which protocols it accepts for a credential, and a
// client handshake over any byte transport. With no protocols given, SCHANNEL chooses by its own
// registry switches, which is what these routines are for: seeing what the machine will use.
// Credentials are built in the structure the running Windows takes (SCH_CREDENTIALS from Windows 10
// 1809 on, SCHANNEL_CRED before), which the caller chooses once with ChooseSchannelCredentials.
#pragma once

#define SECURITY_WIN32
#include <windows.h>

#include <schannel.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <security.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// schannel.h declares these only with SCHANNEL_USE_BLACKLISTS, and then needs UNICODE_STRING; the
// same layout here, with untyped pointers for the ALPN ids and crypto settings this unit never sets.
#ifndef SCHANNEL_USE_BLACKLISTS
typedef struct _TLS_PARAMETERS {
    DWORD cAlpnIds;
    void* rgstrAlpnIds;
    DWORD grbitDisabledProtocols;
    DWORD cDisabledCrypto;
    void* pDisabledCrypto;
    DWORD dwFlags;
} TLS_PARAMETERS, *PTLS_PARAMETERS;

typedef struct _SCH_CREDENTIALS {
    DWORD dwVersion;
    DWORD dwCredFormat;
    DWORD cCreds;
    PCCERT_CONTEXT* paCred;
    HCERTSTORE hRootStore;
    DWORD cMappers;
    struct _HMAPPER** aphMappers;
    DWORD dwSessionLifespan;
    DWORD dwFlags;
    DWORD cTlsParameters;
    PTLS_PARAMETERS pTlsParameters;
} SCH_CREDENTIALS, *PSCH_CREDENTIALS;
#endif
#ifndef SCH_CREDENTIALS_VERSION
#define SCH_CREDENTIALS_VERSION 0x00000005
#endif
#ifndef SP_PROT_TLS1_3_SERVER
#define SP_PROT_TLS1_3_SERVER 0x00001000
#define SP_PROT_TLS1_3_CLIENT 0x00002000
#define SP_PROT_TLS1_3 (SP_PROT_TLS1_3_SERVER | SP_PROT_TLS1_3_CLIENT)
#endif
#ifndef SP_PROT_DTLS1_0_SERVER
#define SP_PROT_DTLS1_0_SERVER 0x00010000
#define SP_PROT_DTLS1_0_CLIENT 0x00020000
#endif
#ifndef SP_PROT_DTLS1_2_SERVER
#define SP_PROT_DTLS1_2_SERVER 0x00040000
#define SP_PROT_DTLS1_2_CLIENT 0x00080000
#endif

// Moves bytes for a handshake. Send: all of them or false. Receive: up to aSize bytes, 0 when the
// peer closed, negative on error.
class TTlsTransport {
public:
    virtual ~TTlsTransport() = default;
    virtual bool Send(const void* aData, size_t aSize) = 0;
    virtual int Receive(void* aBuffer, size_t aSize) = 0;
};

// ---- Which credential structure SCHANNEL is asked with -------------------------------------------

// SCHANNEL_CRED names the protocols to enable; SCH_CREDENTIALS, which replaces it, names those to
// disable in a TLS_PARAMETERS, and is the only one through which newer SCHANNELs grant TLS 1.3.
enum TCredentialStructure : std::uint8_t { csSchannelCred = 0, csSchCredentials = 1 };

// The first build that has SCH_CREDENTIALS: Windows 10 1809 and Server 2019.
constexpr DWORD kSchCredentialsBuild = 17763;

// Every SP_PROT_* bit of one side (PCT 1.0 to TLS 1.3, DTLS, and the unified bit).
DWORD SchannelSideProtocols(bool aServer) noexcept;

// What one credential is built from. With SCH_CREDENTIALS, a non-zero DisabledProtocols goes into a
// single TLS_PARAMETERS; zero passes none, so the system chooses.
struct TCredentialRequest {
    TCredentialStructure Structure = csSchannelCred;
    DWORD EnabledProtocols = 0;  // SCHANNEL_CRED's grbitEnabledProtocols; 0 lets the system choose
    DWORD DisabledProtocols = 0; // SCH_CREDENTIALS: the side's bits outside the protocols asked for
};

// The credential limited to aProtocols (SP_PROT_* bits; 0 the system's choice) for one side, in
// aStructure.
TCredentialRequest CredentialRequestFor(TCredentialStructure aStructure, DWORD aProtocols, bool aServer) noexcept;
// The structure a system of build aBuild takes: SCH_CREDENTIALS from kSchCredentialsBuild on.
TCredentialStructure CredentialStructureFor(DWORD aBuild) noexcept;
// CredentialRequestFor in the structure of build aBuild.
TCredentialRequest SchannelCredentialFor(DWORD aBuild, DWORD aProtocols, bool aServer) noexcept;

// How this process asks SCHANNEL: the structure, and why it is SCHANNEL_CRED where that is so.
struct TSchannelCredentialUse {
    TCredentialStructure Structure = csSchannelCred;
    DWORD Build = 0;                    // the system's true build it was chosen for
    SECURITY_STATUS Refusal = SEC_E_OK; // SCH_CREDENTIALS' status where the system refused it
    // The system took SCH_CREDENTIALS but granted a client credential with every protocol disabled
    // in it, so its answers would say nothing about the protocols (Wine 8 does this).
    bool RestrictionsIgnored = false;
};

// The structure for the running system of build aBuild (the kernel's, not the manifest's). Where
// the build should take SCH_CREDENTIALS, two client credentials are asked for first: one without
// restrictions, which must be granted, and one with every protocol disabled, which must be refused.
// SCHANNEL_CRED, with what went wrong, where the first is refused while SCHANNEL_CRED is granted, or
// where the second is granted. When both structures are refused, SCH_CREDENTIALS, so the probes
// report the refusals themselves.
TSchannelCredentialUse ChooseSchannelCredentials(DWORD aBuild) noexcept;

// "SCH_CREDENTIALS", "SCHANNEL_CRED (SCH_CREDENTIALS refused: 0x80090304)", "SCHANNEL_CRED
// (SCH_CREDENTIALS restrictions ignored)", "SCHANNEL_CRED (Windows before 10 1809)".
std::wstring CredentialUseText(const TSchannelCredentialUse& aUse);

// ---- Probes and handshakes ------------------------------------------------------------------------

struct TTlsOutcome {
    bool Connected = false;
    SECURITY_STATUS Status = SEC_E_OK; // the failing call's status when not connected
    DWORD Protocol = 0;                // SP_PROT_* bit of the negotiated protocol
    ALG_ID Cipher = 0;
    DWORD CipherStrength = 0;
    // After a connection: the first failing status while reading what the server sent after the
    // handshake (TLS 1.3 session tickets); SEC_E_OK when all of it was read.
    SECURITY_STATUS AfterHandshake = SEC_E_OK;
    // Received after the handshake's last record and not read: the start of the application stream.
    std::vector<BYTE> Unread;
};

// SCHANNEL's answer to client (aServer false) or server credentials limited to aProtocols
// (SP_PROT_* bits), asked for the way aUse says: SEC_E_OK when it would use one of them. A server
// credential without a certificate is asked for with SCH_CRED_NO_SYSTEM_MAPPER only, so the answer
// says whether the protocol is available, not whether a certificate is.
SECURITY_STATUS ProbeProtocolCredentials(const TSchannelCredentialUse& aUse, DWORD aProtocols, bool aServer) noexcept;

// A client handshake with aServerName over aTransport; the server's certificate is not checked
// (this looks at protocols, not identities). aProtocols 0 lets the system choose. Records that came
// with the last handshake record are handed back in Unread.
TTlsOutcome TlsClientHandshake(const TSchannelCredentialUse& aUse, TTlsTransport& aTransport,
                               const std::wstring& aServerName, DWORD aProtocols) noexcept;

// A self-signed RSA 2048 certificate whose private key exists only while this object does, for a
// server credential. The key is a persisted CNG key of the software key storage provider, which
// can sign RSA-PSS as TLS 1.3 needs; where CNG cannot make one, a CryptoAPI key container (TLS 1.2
// and earlier only). The key is deleted with the object.
class TThrowawayCertificate {
public:
    TThrowawayCertificate() noexcept;
    ~TThrowawayCertificate();
    TThrowawayCertificate(const TThrowawayCertificate&) = delete;
    TThrowawayCertificate& operator=(const TThrowawayCertificate&) = delete;
    // Null when it could not be made.
    PCCERT_CONTEXT Get() const noexcept { return FCertificate; }
    // True when the key is a CryptoAPI one; CngStatus says why.
    bool LegacyKey() const noexcept { return FProvider != 0; }
    // The failing CNG step's status (an HRESULT for CertCreateSelfSignCertificate), or ERROR_SUCCESS.
    SECURITY_STATUS CngStatus() const noexcept { return FCngStatus; }

private:
    bool MakeWithCng(const std::wstring& aName, const CERT_NAME_BLOB& aSubject);
    bool MakeWithCryptoApi(const std::wstring& aName, const CERT_NAME_BLOB& aSubject);

    NCRYPT_KEY_HANDLE FKey = 0; // the CNG key, deleted from its provider on destruction
    std::wstring FContainer;    // the CryptoAPI key container, deleted on destruction
    HCRYPTPROV FProvider = 0;
    PCCERT_CONTEXT FCertificate = nullptr;
    SECURITY_STATUS FCngStatus = ERROR_SUCCESS;
};

// ProbeProtocolCredentials for a server credential that carries aCertificate.
SECURITY_STATUS ProbeServerCredentials(const TSchannelCredentialUse& aUse, DWORD aProtocols,
                                       PCCERT_CONTEXT aCertificate) noexcept;

// One handshake between an SSPI client and an SSPI server in this process, tokens passed in memory,
// the server presenting aCertificate. aProtocols 0 lets the system choose on both sides. Status is
// the first failing call's: SEC_E_UNSUPPORTED_FUNCTION where SCHANNEL has no server side. What the
// server sends after its last handshake token (TLS 1.3 session tickets) is read by the client
// before the handshake counts as done; AfterHandshake says how that went.
TTlsOutcome InMemoryHandshake(const TSchannelCredentialUse& aUse, PCCERT_CONTEXT aCertificate,
                              DWORD aProtocols) noexcept;

// "AES 256" and the like for the negotiated cipher and its strength.
std::wstring TlsCipherName(ALG_ID aCipher, DWORD aStrength);

// "TLS 1.2" and the like for an SP_PROT_* bit; "unknown" otherwise.
const wchar_t* TlsProtocolName(DWORD aProtocol) noexcept;
