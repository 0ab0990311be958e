// A scripted HTTP server on 127.0.0.1 for the client tests: it records every request and answers
// with whatever bytes the test's handler returns, so malformed replies can be sent on purpose.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TRecordedRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

struct TScriptedReply {
    std::string bytes;       // sent as they are
    bool hang = false;       // after the bytes, keep the connection open until the server stops
    DWORD pauseBeforeMs = 0; // wait before answering
    DWORD trickleMs = 0;     // not 0: the bytes go out trickleBytes at a time with this pause after each
    size_t trickleBytes = 16384;
};

class TLoopbackServer {
public:
    using THandler = std::function<TScriptedReply(const TRecordedRequest&)>;

    explicit TLoopbackServer(THandler aHandler);
    ~TLoopbackServer();
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    std::uint16_t Port() const { return FPort; }
    std::wstring URL(const std::string& aPath) const;
    std::vector<TRecordedRequest> Requests();
    // Closes the listening socket and every open connection.
    void Stop();

    // A complete response with the given status line tail, headers and body.
    static std::string Reply(const std::string& aStatus, const std::string& aHeaders, const std::string& aBody);

private:
    void Serve(SOCKET aClient);

    THandler FHandler;
    SOCKET FListener = INVALID_SOCKET;
    std::uint16_t FPort = 0;
    std::atomic<bool> FStopping{false};
    std::mutex FLock;
    std::vector<TRecordedRequest> FRequests;
    std::vector<SOCKET> FClients;
    std::vector<std::thread> FThreads;
    std::thread FAcceptor;
};

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t UnusedLoopbackPort();
