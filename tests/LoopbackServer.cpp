#include "LoopbackServer.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace {

struct TWinsock {
    TWinsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

void EnsureWinsock() {
    static TWinsock winsock;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool ReadRequest(SOCKET aSocket, TRecordedRequest& aRequest) {
    std::string data;
    char buf[4096];
    size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const int n = recv(aSocket, buf, sizeof(buf), 0);
        if (n <= 0)
            return false;
        data.append(buf, static_cast<size_t>(n));
    }
    const std::string head = data.substr(0, headerEnd);
    size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const size_t sp1 = first.find(' ');
    const size_t sp2 = first.find(' ', sp1 + 1);
    aRequest.method = first.substr(0, sp1);
    aRequest.path = first.substr(sp1 + 1, sp2 - sp1 - 1);
    while (lineEnd != std::string::npos && lineEnd < head.size()) {
        const size_t next = head.find("\r\n", lineEnd + 2);
        const std::string line =
            head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos)
            aRequest.headers[Lower(line.substr(0, colon))] = line.substr(line.find_first_not_of(' ', colon + 1));
        lineEnd = next;
    }
    aRequest.body = data.substr(headerEnd + 4);
    const auto length = aRequest.headers.find("content-length");
    const size_t want = length == aRequest.headers.end() ? 0 : std::stoul(length->second);
    while (aRequest.body.size() < want) {
        const int n = recv(aSocket, buf, sizeof(buf), 0);
        if (n <= 0)
            return false;
        aRequest.body.append(buf, static_cast<size_t>(n));
    }
    return true;
}

} // namespace

TLoopbackServer::TLoopbackServer(THandler aHandler) : FHandler(std::move(aHandler)) {
    EnsureWinsock();
    FListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(FListener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(FListener, 16);
    int len = sizeof(addr);
    getsockname(FListener, reinterpret_cast<sockaddr*>(&addr), &len);
    FPort = ntohs(addr.sin_port);
    FAcceptor = std::thread([this] {
        for (;;) {
            SOCKET client = accept(FListener, nullptr, nullptr);
            if (client == INVALID_SOCKET)
                return;
            std::lock_guard<std::mutex> guard(FLock);
            if (FStopping) {
                closesocket(client);
                return;
            }
            FClients.push_back(client);
            FThreads.emplace_back([this, client] { Serve(client); });
        }
    });
}

TLoopbackServer::~TLoopbackServer() {
    Stop();
}

void TLoopbackServer::Stop() {
    if (FStopping.exchange(true))
        return;
    closesocket(FListener);
    if (FAcceptor.joinable())
        FAcceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(FLock);
        for (SOCKET s : FClients)
            shutdown(s, SD_BOTH);
        threads.swap(FThreads);
    }
    for (auto& t : threads)
        t.join();
    for (SOCKET s : FClients)
        closesocket(s);
}

void TLoopbackServer::Serve(SOCKET aClient) {
    TRecordedRequest request;
    if (!ReadRequest(aClient, request))
        return;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FRequests.push_back(request);
    }
    const TScriptedReply reply = FHandler(request);
    for (DWORD waited = 0; waited < reply.pauseBeforeMs && !FStopping; waited += 20)
        Sleep(20);
    if (reply.trickleMs == 0) {
        send(aClient, reply.bytes.data(), static_cast<int>(reply.bytes.size()), 0);
    } else {
        for (size_t sent = 0; sent < reply.bytes.size() && !FStopping; sent += reply.trickleBytes) {
            const size_t piece = std::min(reply.trickleBytes, reply.bytes.size() - sent);
            if (send(aClient, reply.bytes.data() + sent, static_cast<int>(piece), 0) <= 0)
                break;
            Sleep(reply.trickleMs);
        }
    }
    if (reply.hang) {
        char buf[256];
        while (recv(aClient, buf, sizeof(buf), 0) > 0) {
        }
        return;
    }
    shutdown(aClient, SD_SEND);
}

std::wstring TLoopbackServer::URL(const std::string& aPath) const {
    const std::string url = "http://127.0.0.1:" + std::to_string(FPort) + aPath;
    return std::wstring(url.begin(), url.end());
}

std::vector<TRecordedRequest> TLoopbackServer::Requests() {
    std::lock_guard<std::mutex> guard(FLock);
    return FRequests;
}

std::string TLoopbackServer::Reply(const std::string& aStatus, const std::string& aHeaders, const std::string& aBody) {
    return "HTTP/1.1 " + aStatus + "\r\nConnection: close\r\n" + aHeaders + "\r\n" + aBody;
}

std::uint16_t UnusedLoopbackPort() {
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    return ntohs(addr.sin_port);
}
