#include "SchannelU.h"

#include "FallbackU.h"

#include "HandleU.h"

#include <cwchar>
#include <utility>
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

// Drops from aInput what a call consumed: all of it, unless anExtra (the input descriptor's second
// buffer) says how many bytes at its end were left for the next call.
void KeepUnconsumed(std::vector<BYTE>& aInput, const SecBuffer& anExtra) {
    if (anExtra.BufferType == SECBUFFER_EXTRA && anExtra.cbBuffer > 0 && anExtra.cbBuffer <= aInput.size())
        aInput.erase(aInput.begin(), aInput.end() - anExtra.cbBuffer);
    else
        aInput.clear();
}

void AppendToken(std::vector<BYTE>& anOutput, const SecBuffer& aToken) {
    if (aToken.pvBuffer && aToken.cbBuffer) {
        const BYTE* bytes = static_cast<const BYTE*>(aToken.pvBuffer);
        anOutput.insert(anOutput.end(), bytes, bytes + aToken.cbBuffer);
    }
}

// One side's step of a handshake held in memory: aCall gets what the peer sent (aInput, or nothing
// for the client's first call) and a buffer for the answer, which is appended to aOutput. On
// success the consumed part of aInput is dropped; on SEC_E_INCOMPLETE_MESSAGE all of it is kept.
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
        if (!aNoInput)
            KeepUnconsumed(aInput, in[1]);
        AppendToken(aOutput, out[0]);
    }
    return status;
}

const ULONG kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

// Reads records a connected client context received after the handshake. A TLS 1.3 server sends
// its session tickets there; DecryptMessage answers SEC_I_RENEGOTIATE for such a handshake message,
// and InitializeSecurityContext takes it from the SECBUFFER_EXTRA buffer. Application data is
// dropped (the in-memory server sends none). Returns the first failing status, SEC_E_OK when
// everything was read; aInput keeps what was not, and anAnswers gets whatever the client replies.
SECURITY_STATUS ReadAfterHandshake(TCredentials& aCredentials, TContext& aContext, const wchar_t* aTarget,
                                   std::vector<BYTE>& aInput, std::vector<BYTE>& anAnswers) {
    // A few tickets at most; the bound only keeps a misbehaving provider from looping here.
    for (int record = 0; record < 16 && !aInput.empty(); ++record) {
        SecBuffer buffers[4] = {{static_cast<ULONG>(aInput.size()), SECBUFFER_DATA, aInput.data()},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(aContext.Get(), &desc, 0, nullptr);
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
            return status;
        // What DecryptMessage left is the input's tail, named by a SECBUFFER_EXTRA buffer.
        SecBuffer extra{0, SECBUFFER_EMPTY, nullptr};
        for (const SecBuffer& b : buffers)
            if (b.BufferType == SECBUFFER_EXTRA)
                extra = b;
        KeepUnconsumed(aInput, extra);
        if (status == SEC_E_OK)
            continue;
        const SECURITY_STATUS step =
            HandshakeStep(aInput, false, anAnswers, [&](SecBufferDesc* anIn, SecBufferDesc* anOut) {
                ULONG attributes = 0;
                TimeStamp expiry{};
                return InitializeSecurityContextW(aCredentials.Get(), aContext.Get(), const_cast<wchar_t*>(aTarget),
                                                  kClientFlags, 0, 0, anIn, 0, aContext.Get(), anOut, &attributes,
                                                  &expiry);
            });
        if (step != SEC_E_OK && step != SEC_I_CONTINUE_NEEDED)
            return step;
    }
    return SEC_E_OK;
}

SECURITY_STATUS AcquireCredentials(const TCredentialRequest& aRequest, bool aServer, TCredentials& aCredentials,
                                   PCCERT_CONTEXT aCertificate = nullptr) noexcept {
    const DWORD flags =
        aServer ? SCH_CRED_NO_SYSTEM_MAPPER : SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    SCHANNEL_CRED old{};
    SCH_CREDENTIALS cred{};
    TLS_PARAMETERS parameters{};
    void* authData = nullptr;
    if (aRequest.Structure == csSchCredentials) {
        cred.dwVersion = SCH_CREDENTIALS_VERSION;
        cred.dwFlags = flags;
        if (aCertificate) {
            cred.cCreds = 1;
            cred.paCred = &aCertificate;
        }
        if (aRequest.DisabledProtocols) {
            parameters.grbitDisabledProtocols = aRequest.DisabledProtocols;
            cred.cTlsParameters = 1;
            cred.pTlsParameters = &parameters;
        }
        authData = &cred;
    } else {
        old.dwVersion = SCHANNEL_CRED_VERSION;
        old.grbitEnabledProtocols = aRequest.EnabledProtocols;
        old.dwFlags = flags;
        if (aCertificate) {
            old.cCreds = 1;
            old.paCred = &aCertificate;
        }
        authData = &old;
    }
    TimeStamp expiry{};
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                     aServer ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr,
                                     nullptr, aCredentials.Get(), &expiry);
}

SECURITY_STATUS AcquireCredentials(const TSchannelCredentialUse& aUse, DWORD aProtocols, bool aServer,
                                   TCredentials& aCredentials, PCCERT_CONTEXT aCertificate = nullptr) noexcept {
    return AcquireCredentials(CredentialRequestFor(aUse.Structure, aProtocols, aServer), aServer, aCredentials,
                              aCertificate);
}

// A CNG object handle of the key storage provider; NCryptDeleteKey frees a key's handle itself.
struct TNCryptTraits {
    using type = NCRYPT_HANDLE;
    static type invalid() noexcept { return 0; }
    static void close(type h) noexcept { NCryptFreeObject(h); }
};
using TNCryptHandle = TUniqueHandle<TNCryptTraits>;

// Removes a stored key. NCryptDeleteKey frees the handle only when it succeeds (Wine 8's answers
// NTE_NOT_SUPPORTED and keeps it).
void DeleteKey(NCRYPT_KEY_HANDLE aKey) noexcept {
    if (NCryptDeleteKey(aKey, 0) != ERROR_SUCCESS)
        NCryptFreeObject(aKey);
}

const wchar_t kSelfTestSubject[] = L"CN=Quenvar self-test";

} // namespace

DWORD SchannelSideProtocols(bool aServer) noexcept {
    return aServer ? SP_PROT_PCT1_SERVER | SP_PROT_SSL2_SERVER | SP_PROT_SSL3_SERVER | SP_PROT_TLS1_0_SERVER |
                         SP_PROT_TLS1_1_SERVER | SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_3_SERVER |
                         SP_PROT_DTLS1_0_SERVER | SP_PROT_DTLS1_2_SERVER | SP_PROT_UNI_SERVER
                   : SP_PROT_PCT1_CLIENT | SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                         SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT |
                         SP_PROT_DTLS1_0_CLIENT | SP_PROT_DTLS1_2_CLIENT | SP_PROT_UNI_CLIENT;
}

TCredentialRequest CredentialRequestFor(TCredentialStructure aStructure, DWORD aProtocols, bool aServer) noexcept {
    TCredentialRequest request;
    request.Structure = aStructure;
    if (aStructure == csSchannelCred)
        request.EnabledProtocols = aProtocols;
    else if (aProtocols != 0)
        request.DisabledProtocols = SchannelSideProtocols(aServer) & ~aProtocols;
    return request;
}

TCredentialStructure CredentialStructureFor(DWORD aBuild) noexcept {
    return aBuild >= kSchCredentialsBuild ? csSchCredentials : csSchannelCred;
}

TCredentialRequest SchannelCredentialFor(DWORD aBuild, DWORD aProtocols, bool aServer) noexcept {
    return CredentialRequestFor(CredentialStructureFor(aBuild), aProtocols, aServer);
}

TSchannelCredentialUse ChooseSchannelCredentials(DWORD aBuild) noexcept {
    TSchannelCredentialUse use;
    use.Build = aBuild;
    use.Structure = CredentialStructureFor(aBuild);
    if (use.Structure != csSchCredentials)
        return use;
    TSchannelCredentialUse old = use;
    old.Structure = csSchannelCred;
    TCredentials unrestricted;
    const SECURITY_STATUS status = AcquireCredentials(use, 0, false, unrestricted);
    if (status != SEC_E_OK) {
        TCredentials fallback;
        if (AcquireCredentials(old, 0, false, fallback) != SEC_E_OK)
            return use;
        old.Refusal = status;
        return old;
    }
    TCredentialRequest nothing;
    nothing.Structure = csSchCredentials;
    nothing.DisabledProtocols = SchannelSideProtocols(false);
    TCredentials none;
    if (AcquireCredentials(nothing, false, none) == SEC_E_OK) {
        old.RestrictionsIgnored = true;
        return old;
    }
    return use;
}

std::wstring CredentialUseText(const TSchannelCredentialUse& aUse) {
    if (aUse.Structure == csSchCredentials)
        return L"SCH_CREDENTIALS";
    if (aUse.Refusal != SEC_E_OK) {
        wchar_t status[16];
        swprintf(status, 16, L"0x%08X", static_cast<unsigned>(aUse.Refusal));
        return std::wstring(L"SCHANNEL_CRED (SCH_CREDENTIALS refused: ") + status + L")";
    }
    if (aUse.RestrictionsIgnored)
        return L"SCHANNEL_CRED (SCH_CREDENTIALS restrictions ignored)";
    if (CredentialStructureFor(aUse.Build) == csSchannelCred)
        return L"SCHANNEL_CRED (Windows before 10 1809)";
    return L"SCHANNEL_CRED";
}

SECURITY_STATUS ProbeProtocolCredentials(const TSchannelCredentialUse& aUse, DWORD aProtocols, bool aServer) noexcept {
    TCredentials credentials;
    return AcquireCredentials(aUse, aProtocols, aServer, credentials);
}

SECURITY_STATUS ProbeServerCredentials(const TSchannelCredentialUse& aUse, DWORD aProtocols,
                                       PCCERT_CONTEXT aCertificate) noexcept {
    TCredentials credentials;
    return AcquireCredentials(aUse, aProtocols, true, credentials, aCertificate);
}

TThrowawayCertificate::TThrowawayCertificate() noexcept {
    try {
        GUID guid{};
        wchar_t text[40] = {};
        if (FAILED(CoCreateGuid(&guid)) || !StringFromGUID2(guid, text, 40))
            return;
        const std::wstring name = std::wstring(L"Quenvar self-test ") + text;
        BYTE subject[256];
        DWORD subjectSize = sizeof(subject);
        if (!CertStrToNameW(X509_ASN_ENCODING, kSelfTestSubject, CERT_X500_NAME_STR, nullptr, subject, &subjectSize,
                            nullptr))
            return;
        const CERT_NAME_BLOB blob{subjectSize, subject};
        if (!MakeWithCng(name, blob))
            MakeWithCryptoApi(name, blob);
    } catch (...) {
        NoteCurrentSwallowed("TThrowawayCertificate.TThrowawayCertificate");
    }
}

bool TThrowawayCertificate::MakeWithCng(const std::wstring& aName, const CERT_NAME_BLOB& aSubject) {
    TNCryptHandle provider;
    FCngStatus = NCryptOpenStorageProvider(provider.put(), MS_KEY_STORAGE_PROVIDER, 0);
    if (FCngStatus != ERROR_SUCCESS)
        return false;
    NCRYPT_KEY_HANDLE key = 0;
    FCngStatus = NCryptCreatePersistedKey(provider.get(), &key, BCRYPT_RSA_ALGORITHM, aName.c_str(), 0, 0);
    if (FCngStatus != ERROR_SUCCESS)
        return false;
    // Not yet stored: a failure before NCryptFinalizeKey only frees the handle.
    TNCryptHandle pending(key);
    DWORD bits = 2048;
    FCngStatus = NCryptSetProperty(key, NCRYPT_LENGTH_PROPERTY, reinterpret_cast<BYTE*>(&bits), sizeof(bits), 0);
    if (FCngStatus == ERROR_SUCCESS)
        FCngStatus = NCryptFinalizeKey(key, NCRYPT_SILENT_FLAG);
    if (FCngStatus != ERROR_SUCCESS)
        return false;
    FKey = pending.release(); // stored now: the destructor deletes it
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<wchar_t*>(aName.c_str());
    info.pwszProvName = const_cast<wchar_t*>(MS_KEY_STORAGE_PROVIDER);
    info.dwProvType = 0; // a CNG key storage provider
    CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<char*>(szOID_RSA_SHA256RSA), {0, nullptr}};
    FCertificate = CertCreateSelfSignCertificate(FKey, const_cast<CERT_NAME_BLOB*>(&aSubject), 0, &info, &algorithm,
                                                 nullptr, nullptr, nullptr);
    if (FCertificate)
        return true;
    FCngStatus = HRESULT_FROM_WIN32(GetLastError());
    if (FCngStatus == ERROR_SUCCESS)
        FCngStatus = E_FAIL;
    DeleteKey(std::exchange(FKey, 0));
    return false;
}

bool TThrowawayCertificate::MakeWithCryptoApi(const std::wstring& aName, const CERT_NAME_BLOB& aSubject) {
    if (!CryptAcquireContextW(&FProvider, aName.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
        FProvider = 0;
        return false;
    }
    FContainer = aName;
    HCRYPTKEY key = 0;
    if (!CryptGenKey(FProvider, AT_KEYEXCHANGE, (2048u << 16) | CRYPT_EXPORTABLE, &key))
        return false;
    CryptDestroyKey(key); // the container keeps the pair; the certificate names the container
    CRYPT_KEY_PROV_INFO provider{};
    provider.pwszContainerName = const_cast<wchar_t*>(FContainer.c_str());
    provider.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
    provider.dwProvType = PROV_RSA_AES;
    provider.dwKeySpec = AT_KEYEXCHANGE;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{const_cast<char*>(szOID_RSA_SHA256RSA), {0, nullptr}};
    FCertificate = CertCreateSelfSignCertificate(FProvider, const_cast<CERT_NAME_BLOB*>(&aSubject), 0, &provider,
                                                 &algorithm, nullptr, nullptr, nullptr);
    return FCertificate != nullptr;
}

TThrowawayCertificate::~TThrowawayCertificate() {
    if (FCertificate)
        CertFreeCertificateContext(FCertificate);
    if (FKey)
        DeleteKey(FKey);
    if (FProvider)
        CryptReleaseContext(FProvider, 0);
    if (!FContainer.empty()) {
        HCRYPTPROV gone = 0; // deleting the key set hands back no handle to release
        CryptAcquireContextW(&gone, FContainer.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    }
}

TTlsOutcome InMemoryHandshake(const TSchannelCredentialUse& aUse, PCCERT_CONTEXT aCertificate,
                              DWORD aProtocols) noexcept {
    TTlsOutcome outcome;
    try {
        TCredentials client, server;
        outcome.Status = AcquireCredentials(aUse, aProtocols & SchannelSideProtocols(false), false, client);
        if (outcome.Status == SEC_E_OK)
            outcome.Status =
                AcquireCredentials(aUse, aProtocols & SchannelSideProtocols(true), true, server, aCertificate);
        if (outcome.Status != SEC_E_OK)
            return outcome;
        const ULONG serverFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                                  ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
        const wchar_t* const target = L"localhost";
        TContext clientContext, serverContext;
        // What each side has received and not consumed yet.
        std::vector<BYTE> toServer, toClient;
        bool clientDone = false, serverDone = false;
        SECURITY_STATUS waiting = SEC_E_INTERNAL_ERROR; // why the last round got nowhere
        // Each side answers what the other sent; a TLS handshake takes a handful of rounds, more
        // where a side consumes one record per call.
        for (int round = 0; round < 32 && !(clientDone && serverDone); ++round) {
            bool progress = false;
            const bool first = !clientContext.Valid();
            if (!clientDone && (first || !toClient.empty())) {
                const size_t before = toClient.size() + toServer.size();
                const SECURITY_STATUS status =
                    HandshakeStep(toClient, first, toServer, [&](SecBufferDesc* anIn, SecBufferDesc* anOut) {
                        ULONG attributes = 0;
                        TimeStamp expiry{};
                        return InitializeSecurityContextW(client.Get(), clientContext.GetOrNull(),
                                                          const_cast<wchar_t*>(target), kClientFlags, 0, 0, anIn, 0,
                                                          clientContext.Get(), anOut, &attributes, &expiry);
                    });
                if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
                    outcome.Status = status;
                    return outcome;
                }
                if (status == SEC_E_INCOMPLETE_MESSAGE)
                    waiting = status;
                else
                    progress = first || status == SEC_E_OK || toClient.size() + toServer.size() != before;
                clientDone = status == SEC_E_OK;
            }
            if (!serverDone && !toServer.empty()) {
                const size_t before = toClient.size() + toServer.size();
                const SECURITY_STATUS status =
                    HandshakeStep(toServer, false, toClient, [&](SecBufferDesc* anIn, SecBufferDesc* anOut) {
                        ULONG attributes = 0;
                        TimeStamp expiry{};
                        return AcceptSecurityContext(server.Get(), serverContext.GetOrNull(), anIn, serverFlags, 0,
                                                     serverContext.Get(), anOut, &attributes, &expiry);
                    });
                if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) {
                    outcome.Status = status;
                    return outcome;
                }
                if (status == SEC_E_INCOMPLETE_MESSAGE)
                    waiting = status;
                else
                    progress = progress || status == SEC_E_OK || toClient.size() + toServer.size() != before;
                serverDone = status == SEC_E_OK;
            }
            if (!progress)
                break;
        }
        if (!(clientDone && serverDone)) {
            outcome.Status = waiting;
            return outcome;
        }
        Connected(clientContext, outcome);
        std::vector<BYTE> answers; // the in-memory server reads nothing after the handshake
        outcome.AfterHandshake = ReadAfterHandshake(client, clientContext, target, toClient, answers);
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

TTlsOutcome TlsClientHandshake(const TSchannelCredentialUse& aUse, TTlsTransport& aTransport,
                               const std::wstring& aServerName, DWORD aProtocols) noexcept {
    TTlsOutcome outcome;
    try {
        TCredentials credentials;
        outcome.Status = AcquireCredentials(aUse, aProtocols, false, credentials);
        if (outcome.Status != SEC_E_OK)
            return outcome;
        const ULONG flags = kClientFlags | ISC_REQ_EXTENDED_ERROR;
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
                if (haveInput)
                    KeepUnconsumed(received, in[1]);
                haveInput = !received.empty();
                needRead = received.empty();
                continue;
            }
            if (status != SEC_E_OK) {
                outcome.Status = status;
                return outcome;
            }
            // Records behind the last handshake record (a TLS 1.3 server's session tickets, or the
            // server's first data) belong to the connection, not to the handshake.
            if (haveInput) {
                KeepUnconsumed(received, in[1]);
                outcome.Unread = std::move(received);
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
    if (aProtocol & SP_PROT_TLS1_3)
        return L"TLS 1.3";
    return L"unknown";
}
