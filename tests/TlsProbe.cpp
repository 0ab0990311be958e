// A TLS client in a process of its own, as any program on the machine would be: it connects to
// 127.0.0.1:port, shakes hands through SCHANNEL with the protocols the system chooses, and says
// what was negotiated. SCHANNEL reads its registry switches once per process, so each probe of a
// level must be a fresh process.
//   TlsProbe port [protocols [unread]]   protocols: SP_PROT_* bits in hex, as an application that
//                               asks for them; none or 0: the system's choice. unread: the server
//                               sends a first record with its last handshake flight, which the
//                               handshake must hand back whole.
//   exit 0 connected (prints the protocol), 1 handshake refused, 2 no connection, 3 connected but
//   the record expected after the handshake was not handed back
#include <winsock2.h>

#include "PlatformU.h"
#include "SchannelU.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

class TSocketTransport : public TTlsTransport {
public:
    explicit TSocketTransport(SOCKET aSocket) : FSocket(aSocket) {}
    bool Send(const void* aData, size_t aSize) override {
        const char* p = static_cast<const char*>(aData);
        while (aSize > 0) {
            const int n = send(FSocket, p, static_cast<int>(aSize), 0);
            if (n <= 0)
                return false;
            p += n;
            aSize -= static_cast<size_t>(n);
        }
        return true;
    }
    int Receive(void* aBuffer, size_t aSize) override {
        return recv(FSocket, static_cast<char*>(aBuffer), static_cast<int>(aSize), 0);
    }

private:
    SOCKET FSocket;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 2;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(_wtoi(argv[1])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A few seconds are plenty on loopback; a server that stops answering must not hang the test.
    const DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::printf("no connection\n");
        return 2;
    }
    TSocketTransport transport(s);
    const DWORD protocols = argc > 2 ? wcstoul(argv[2], nullptr, 16) : 0;
    OSVERSIONINFOEXW version;
    QueryTrueVersion(version);
    const TTlsOutcome outcome =
        TlsClientHandshake(ChooseSchannelCredentials(version.dwBuildNumber), transport, L"localhost", protocols);
    closesocket(s);
    WSACleanup();
    if (!outcome.Connected) {
        std::printf("refused 0x%08lx\n", static_cast<unsigned long>(outcome.Status));
        return 1;
    }
    std::printf("%ls, %u bytes after the handshake\n", TlsProtocolName(outcome.Protocol),
                static_cast<unsigned>(outcome.Unread.size()));
    if (argc > 3 && wcscmp(argv[3], L"unread") == 0) {
        // One application-data record (type 23), exactly as long as its header says.
        const std::vector<BYTE>& u = outcome.Unread;
        if (u.size() < 5 || u[0] != 23 || u.size() != 5u + (static_cast<size_t>(u[3]) << 8 | u[4]))
            return 3;
    }
    return 0;
}
