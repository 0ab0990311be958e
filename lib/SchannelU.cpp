#include "SchannelU.h"

#include "FallbackU.h"

#include "HandleU.h"

#include <vector>

namespace {

bool SameHandle(const SecHandle& a, const SecHandle& b) noexcept {
    return a.dwLower == b.dwLower && a.dwUpper == b.dwUpper;
}

SecHandle InvalidSecHandle() noexcept {
    SecHandle h;
    SecInvalidateHandle(&h);
    return h;
}

// Credential and context handles are structs, not pointers: one small owner each.
template <SECURITY_STATUS(SEC_ENTRY* Free)(PSecHandle)> class TSecHandleOwner {
public:
    TSecHandleOwner() = default;
    TSecHandleOwner(const TSecHandleOwner&) = delete;
    TSecHandleOwner& operator=(const TSecHandleOwner&) = delete;
    ~TSecHandleOwner() {
        if (Valid())
            Free(&FHandle);
    }
    bool Valid() const noexcept { return !SameHandle(FHandle, InvalidSecHandle()); }
    SecHandle* Get() noexcept { return &FHandle; }
    // For the first call that fills it: null while nothing is held.
    SecHandle* GetOrNull() noexcept { return Valid() ? &FHandle : nullptr; }

private:
    SecHandle FHandle = InvalidSecHandle();
};

using TCredentials = TSecHandleOwner<FreeCredentialsHandle>;
using TContext = TSecHandleOwner<DeleteSecurityContext>;

// A buffer SCHANNEL allocated (ISC_REQ_ALLOCATE_MEMORY); freed with FreeContextBuffer.
struct TContextBufferTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { FreeContextBuffer(p); }
};
using TContextBuffer = TUniqueHandle<TContextBufferTraits>;

// A finished handshake's outcome: connected, with the protocol and cipher the context negotiated.
void Connected(TContext& aContext, TTlsOutcome& anOutcome) noexcept {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(aContext.Get(), SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
        anOutcome.Protocol = info.dwProtocol;
        anOutcome.Cipher = info.aiCipher;
        anOutcome.CipherStrength = info.dwCipherStrength;
    }
    anOutcome.Connected = true;
    anOutcome.Status = SEC_E_OK;
}

// One side's step of a handshake held in memory: aCall gets what the peer sent (aInput, or nothing
// for the client's first call) and a buffer for the answer, which is appended to aOutput. On
// success aInput is consumed.
template <typename Call>
SECURITY_STATUS HandshakeStep(std::vector<BYTE>& aInput, bool aNoInput, std::vector<BYTE>& aOutput, Call&& aCall) {
    SecBuffer in[2] = {{static_cast<ULONG>(aInput.size()), SECBUFFER_TOKEN, aInput.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    const SECURITY_STATUS status = aCall(aNoInput ? nullptr : &inDesc, &outDesc);
    const TContextBuffer token(out[0].pvBuffer);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
        aInput.clear();
        if (token && out[0].cbBuffer) {
            const BYTE* bytes = static_cast<const BYTE*>(out[0].pvBuffer);
            aOutput.insert(aOutput.end(), bytes, bytes + out[0].cbBuffer);
        }
    }
    return status;
}

SECURITY_STATUS AcquireCredentials(DWORD aProtocols, bool aServer, TCredentials& aCredentials,
                                   PCCERT_CONTEXT aCertificate = nullptr) noexcept {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = aProtocols;
    if (aCertificate) {
        cred.cCreds = 1;
        cred.paCred = &aCertificate;
    }
    cred.dwFlags = aServer ? SCH_CRED_NO_SYSTEM_MAPPER : SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry{};
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                     aServer ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                     nullptr, aCredentials.Get(), &expiry);
}

} // namespace

SECURITY_STATUS ProbeProtocolCredentials(DWORD aProtocols, bool aServer) noexcept {
    TCredentials credentials;
    return AcquireCredentials(aProtocols, aServer, credentials);
}

SECURITY_STATUS ProbeServerCredentials(DWORD aProtocols, PCCERT_CONTEXT aCertificate) noexcept {
    TCredentials credentials;
    return AcquireCredentials(aProtocols, true, credentials, aCertificate);
}

TThrowawayCertificate::TThrowawayCertificate() noexcept {
    try {
        GUID guid{};
        wchar_t text[40] = {};
        if (FAILED(CoCreateGuid(&guid)) || !StringFromGUID2(guid, text, 40))
            return;
        FContainer = std::wstring(L"Quenvar self-test ") + text;
        if (!CryptAcquireContextW(&FProvider, FContainer.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                  CRYPT_NEWKEYSET)) {
            FProvider = 0;
            FContainer.clear();
            return;
        }
        HCRYPTKEY key = 0;
        if (!CryptGenKey(FProvider, AT_KEYEXCHANGE, (2048u << 16) | CRYPT_EXPORTABLE, &key))
            return;
        CryptDestroyKey(key); // the container keeps the pair; the certificate names the container
        BYTE name[256];
        DWORD nameSize = sizeof(name);
        if (!CertStrToNameW(X509_ASN_ENCODING, L"CN=Quenvar self-test", CERT_X500_NAME_STR, nullptr, name, &nameSize,
                            nullptr))
            return;
        CERT_NAME_BLOB subject{nameSize, name};
        CRYPT_KEY_PROV_INFO provider{};
        provider.pwszContainerName = const_cast<wchar_t*>(FContainer.c_str());
        provider.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
        provider.dwProvType = PROV_RSA_AES;
        provider.dwKeySpec = AT_KEYEXCHANGE;
        CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<char*>(szOID_RSA_SHA256RSA), {0, nullptr}};
        FCertificate =
            CertCreateSelfSignCertificate(FProvider, &subject, 0, &provider, &algorithm, nullptr, nullptr, nullptr);
    } catch (...) {
        NoteCurrentSwallowed("TThrowawayCertificate.TThrowawayCertificate");
    }
}

TThrowawayCertificate::~TThrowawayCertificate() {
    if (FCertificate)
        CertFreeCertificateContext(FCertificate);
    if (FProvider)
        CryptReleaseContext(FProvider, 0);
    if (!FContainer.empty()) {
        HCRYPTPROV gone = 0; // deleting the key set hands back no handle to release
        CryptAcquireContextW(&gone, FContainer.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    }
}

TTlsOutcome InMemoryHandshake(PCCERT_CONTEXT aCertificate, DWORD aProtocols) noexcept {
    TTlsOutcome outcome;
    try {
        TCredentials client, server;
        outcome.Status = AcquireCredentials(aProtocols & SP_PROT_CLIENTS, false, client);
        if (outcome.Status == SEC_E_OK)
            outcome.Status = AcquireCredentials(aProtocols & SP_PROT_SERVERS, true, server, aCertificate);
        if (outcome.Status != SEC_E_OK)
            return outcome;
        const ULONG clientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
        const ULONG serverFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                                  ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
        TContext clientContext, serverContext;
        std::vector<BYTE> toServer, toClient;
        bool clientDone = false, serverDone = false;
        // Each side answers what the other sent; a TLS handshake takes a handful of rounds.
        for (int round = 0; round < 16 && !(clientDone && serverDone); ++round) {
            if (!clientDone) {
                const bool first = !clientContext.Valid();
                if (!first && toClient.empty())
                    break; // waiting for the server, which has nothing more to say
                const SECURITY_STATUS status =
                    HandshakeStep(toClient, first, toServer, [&](SecBufferDesc* anIn, SecBufferDesc* anOut) {
                        ULONG attributes = 0;
                        TimeStamp expiry{};
                        return InitializeSecurityContextW(client.Get(), clientContext.GetOrNull(),
                                                          const_cast<wchar_t*>(L"localhost"), clientFlags, 0, 0, anIn,
                                                          0, clientContext.Get(), anOut, &attributes, &expiry);
                    });
                if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
                    outcome.Status = status;
                    return outcome;
                }
                clientDone = status == SEC_E_OK;
            }
            if (!serverDone && !toServer.empty()) {
                const SECURITY_STATUS status =
                    HandshakeStep(toServer, false, toClient, [&](SecBufferDesc* anIn, SecBufferDesc* anOut) {
                        ULONG attributes = 0;
                        TimeStamp expiry{};
                        return AcceptSecurityContext(server.Get(), serverContext.GetOrNull(), anIn, serverFlags, 0,
                                                     serverContext.Get(), anOut, &attributes, &expiry);
                    });
                if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
                    outcome.Status = status;
                    return outcome;
                }
                serverDone = status == SEC_E_OK;
            }
        }
        if (!(clientDone && serverDone)) {
            outcome.Status = SEC_E_INTERNAL_ERROR;
            return outcome;
        }
        Connected(clientContext, outcome);
    } catch (...) {
        NoteCurrentSwallowed("InMemoryHandshake");
        outcome.Connected = false;
        outcome.Status = SEC_E_INSUFFICIENT_MEMORY;
    }
    return outcome;
}

std::wstring TlsCipherName(ALG_ID aCipher, DWORD aStrength) {
    const wchar_t* name = L"unknown cipher";
    switch (aCipher) {
    case CALG_AES_128:
    case CALG_AES_192:
    case CALG_AES_256:
    case CALG_AES:
        name = L"AES";
        break;
    case CALG_3DES:
        name = L"Triple DES";
        break;
    case CALG_RC4:
        name = L"RC4";
        break;
    case CALG_DES:
        name = L"DES";
        break;
    default:
        break;
    }
    return aStrength ? std::wstring(name) + L" " + std::to_wstring(aStrength) : std::wstring(name);
}

TTlsOutcome TlsClientHandshake(TTlsTransport& aTransport, const std::wstring& aServerName, DWORD aProtocols) noexcept {
    TTlsOutcome outcome;
    try {
        TCredentials credentials;
        outcome.Status = AcquireCredentials(aProtocols, false, credentials);
        if (outcome.Status != SEC_E_OK)
            return outcome;
        const ULONG flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                            ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
        TContext context;
        std::vector<BYTE> received;
        bool haveInput = false, needRead = false;
        // A handshake of a few kilobytes; anything far beyond that is not a TLS server.
        constexpr size_t kLimit = 1 << 20;
        for (;;) {
            if (needRead) {
                BYTE chunk[16384];
                const int n = aTransport.Receive(chunk, sizeof(chunk));
                if (n <= 0 || received.size() + static_cast<size_t>(n) > kLimit) {
                    outcome.Status = SEC_E_INTERNAL_ERROR;
                    return outcome;
                }
                received.insert(received.end(), chunk, chunk + n);
                haveInput = true;
            }
            SecBuffer in[2] = {{static_cast<ULONG>(received.size()), SECBUFFER_TOKEN, received.data()},
                               {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
            SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
            ULONG attributes = 0;
            TimeStamp expiry{};
            const SECURITY_STATUS status = InitializeSecurityContextW(
                credentials.Get(), context.GetOrNull(), const_cast<wchar_t*>(aServerName.c_str()), flags, 0, 0,
                haveInput ? &inDesc : nullptr, 0, context.Get(), &outDesc, &attributes, &expiry);
            const TContextBuffer token(out[0].pvBuffer);
            // An alert that explains a failure is sent too.
            const bool sendable = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                                  (FAILED(status) && (attributes & ISC_RET_EXTENDED_ERROR));
            if (sendable && out[0].cbBuffer != 0 && out[0].pvBuffer &&
                !aTransport.Send(out[0].pvBuffer, out[0].cbBuffer) && status != SEC_E_OK) {
                outcome.Status = SEC_E_INTERNAL_ERROR;
                return outcome;
            }
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                needRead = true;
                continue;
            }
            if (status == SEC_I_CONTINUE_NEEDED) {
                // Keep only what this call did not consume, and read more only when nothing is left.
                if (haveInput && in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= received.size())
                    received.erase(received.begin(), received.end() - in[1].cbBuffer);
                else
                    received.clear();
                haveInput = !received.empty();
                needRead = received.empty();
                continue;
            }
            if (status != SEC_E_OK) {
                outcome.Status = status;
                return outcome;
            }
            Connected(context, outcome);
            return outcome;
        }
    } catch (...) {
        NoteCurrentSwallowed("TlsClientHandshake");
        outcome.Connected = false;
        outcome.Status = SEC_E_INSUFFICIENT_MEMORY;
        return outcome;
    }
}

const wchar_t* TlsProtocolName(DWORD aProtocol) noexcept {
    if (aProtocol & SP_PROT_SSL2)
        return L"SSL 2.0";
    if (aProtocol & SP_PROT_SSL3)
        return L"SSL 3.0";
    if (aProtocol & SP_PROT_TLS1_0)
        return L"TLS 1.0";
    if (aProtocol & SP_PROT_TLS1_1)
        return L"TLS 1.1";
    if (aProtocol & SP_PROT_TLS1_2)
        return L"TLS 1.2";
#ifdef SP_PROT_TLS1_3
    if (aProtocol & SP_PROT_TLS1_3)
        return L"TLS 1.3";
#endif
    return L"unknown";
}
