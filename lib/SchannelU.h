// TLS through the system's SCHANNEL provider: which protocols it accepts for a credential, and a
// client handshake over any byte transport. With no protocols given, SCHANNEL chooses by its own
// registry switches, which is what these routines are for: seeing what the machine will use.
#pragma once

#define SECURITY_WIN32
#include <windows.h>

#include <schannel.h>
#include <wincrypt.h>
#include <security.h>

#include <cstddef>
#include <string>

// Moves bytes for a handshake. Send: all of them or false. Receive: up to aSize bytes, 0 when the
// peer closed, negative on error.
class TTlsTransport {
public:
    virtual ~TTlsTransport() = default;
    virtual bool Send(const void* aData, size_t aSize) = 0;
    virtual int Receive(void* aBuffer, size_t aSize) = 0;
};

struct TTlsOutcome {
    bool Connected = false;
    SECURITY_STATUS Status = SEC_E_OK; // the failing call's status when not connected
    DWORD Protocol = 0;                // SP_PROT_* bit of the negotiated protocol
    ALG_ID Cipher = 0;
    DWORD CipherStrength = 0;
};

// SCHANNEL's answer to client (aServer false) or server credentials limited to aProtocols
// (SP_PROT_* bits): SEC_E_OK when it would use one of them. A server credential without a
// certificate is asked for with SCH_CRED_NO_SYSTEM_MAPPER only, so the answer says whether the
// protocol is available, not whether a certificate is.
SECURITY_STATUS ProbeProtocolCredentials(DWORD aProtocols, bool aServer) noexcept;

// A client handshake with aServerName over aTransport; the server's certificate is not checked
// (this looks at protocols, not identities). aProtocols 0 lets the system choose.
TTlsOutcome TlsClientHandshake(TTlsTransport& aTransport, const std::wstring& aServerName, DWORD aProtocols) noexcept;

// A self-signed RSA certificate with a private key in a key container of its own, for a server
// credential that exists only while this object does. The container is deleted with the object.
class TThrowawayCertificate {
public:
    TThrowawayCertificate() noexcept;
    ~TThrowawayCertificate();
    TThrowawayCertificate(const TThrowawayCertificate&) = delete;
    TThrowawayCertificate& operator=(const TThrowawayCertificate&) = delete;
    // Null when it could not be made.
    PCCERT_CONTEXT Get() const noexcept { return FCertificate; }

private:
    std::wstring FContainer;
    HCRYPTPROV FProvider = 0;
    PCCERT_CONTEXT FCertificate = nullptr;
};

// ProbeProtocolCredentials for a server credential that carries aCertificate.
SECURITY_STATUS ProbeServerCredentials(DWORD aProtocols, PCCERT_CONTEXT aCertificate) noexcept;

// One handshake between an SSPI client and an SSPI server in this process, tokens passed in memory,
// the server presenting aCertificate. aProtocols 0 lets the system choose on both sides. Status is
// the first failing call's: SEC_E_UNSUPPORTED_FUNCTION where SCHANNEL has no server side.
TTlsOutcome InMemoryHandshake(PCCERT_CONTEXT aCertificate, DWORD aProtocols) noexcept;

// "AES 256" and the like for the negotiated cipher and its strength.
std::wstring TlsCipherName(ALG_ID aCipher, DWORD aStrength);

// "TLS 1.2" and the like for an SP_PROT_* bit; "unknown" otherwise.
const wchar_t* TlsProtocolName(DWORD aProtocol) noexcept;
