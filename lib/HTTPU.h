// One HTTP or HTTPS request over WinINet, delivering the response to a stream writer.
#pragma once

#include "StreamU.h"
#include "URLU.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

enum eQueryMode : std::uint8_t {
    eqmNormal = 0,                // send and read the body
    eqmHeaders = 1,               // HEAD, status information only
    eqmFullHeaders = 2,           // HEAD, raw headers to the writer
    eqmFullHeadersWithContent = 3 // GET/POST, raw headers and then the body to the writer
};

class THTTPSettings {
public:
    THTTPSettings() { Clear(); }
    // Empties the texts, clears the flags and sets BufferSize to 0.
    void Clear();
    // Copies every field; null acts as Clear.
    void Assign(const THTTPSettings* iSettings);

    std::wstring UserName;
    std::wstring Password;
    bool Append;
    std::wstring ProxyHost; // empty: the system's preconfigured settings
    std::wstring ProxyPort;
    std::wstring ProxyUserName; // proxy credentials are set only when not empty
    std::wstring ProxyPassword;
    bool AllowAllStatuses;
    std::int32_t BufferSize; // bytes per read; outside 1..131073 selects 131074
    bool NoCookies;
    // Connect, send and receive time-out in milliseconds; 0 keeps WinINet's defaults (under Wine a
    // stalled answer then waits forever).
    std::uint32_t TimeoutMs;
};

class THTTPGet;
using THTTPProgressEvent = std::function<void(THTTPGet* sender, std::uint32_t readed, std::uint32_t totalSize)>;
using THTTPFinishEvent = std::function<void(THTTPGet* Sender)>;

// Failed step left in ErrorCode.
enum : std::uint32_t {
    httpErrNone = 0,
    httpErrOpen = 1,    // InternetOpenW
    httpErrConnect = 2, // InternetConnectW
    httpErrRequest = 3, // HttpOpenRequestW, twice
    httpErrSend = 4     // HttpSendRequestW
};

// Serves one request. Owns its settings, never its writer. Nothing raises out of it.
class THTTPGet {
public:
    explicit THTTPGet(void* iOwner);
    THTTPGet(const THTTPGet&) = delete;
    THTTPGet& operator=(const THTTPGet&) = delete;

    // Performs the request; false on any failure, a short body, a termination or a status
    // outside 200..300 (unless Settings.AllowAllStatuses). The handles are closed on every path,
    // then the progress event (on success) and the finish event fire once each.
    bool Execute();
    // Asks the body loop to stop before its next read and waits up to iTimeout ms for Execute to
    // finish; returns whether it has. Never waits on the thread that runs Execute (its events pass 0).
    bool Terminate(std::uint32_t iTimeout);

    // Leading and trailing blanks and control characters are removed.
    void SetURL(const std::wstring& aURL);
    const std::wstring& URL() const { return fURL; }
    THTTPSettings& Settings() { return fSettings; }
    void SetSettings(const THTTPSettings& aSettings) { fSettings.Assign(&aSettings); }
    void* Owner() const { return fOwner; }
    std::uint32_t ErrorCode() const { return fErrorCode; }
    std::uint32_t StatusCode() const { return fStatusCode; }
    std::uint32_t ContentLength() const { return fContentLength; }
    const std::wstring& ResultContentType() const { return fResultContentType; }

    THTTPProgressEvent HTTPProgressEvent;
    THTTPFinishEvent HTTPFinishEvent;
    std::wstring Headers;     // extra request header lines, CR LF separated
    std::wstring ContentType; // a complete Content-Type header line replacing the default
    std::wstring AcceptTypes = L"*/*";
    std::wstring Agent = L"Tessaly HTTPGet";
    TStreamWriter* StreamWriter = nullptr;
    std::wstring PostQuery; // not empty: the request is a POST with this form body
    std::wstring Referer;
    void* ExtendedData = nullptr;
    eQueryMode QueryMode = eqmNormal;
    bool UseCache = false; // false: neither read from nor written to the WinINet cache
    std::int32_t CustomInt = 0;
    void* CustomObj = nullptr;

private:
    struct TTransfer;
    // The steps of Execute in their order. Each one that can fail sets ErrorCode to its own code
    // (if it has one) and returns false, which ends the request.
    void Perform(TTransfer& t);
    bool Open(TTransfer& t);
    bool Connect(TTransfer& t);
    bool Request(TTransfer& t);
    bool Send(TTransfer& t);
    void Status(TTransfer& t);
    // What the query mode takes from the headers; false when it needs a writer and has none.
    bool ResponseHeaders(TTransfer& t);
    void Body(TTransfer& t);
    // The writer's stream; null without a writer or with a closed one, which ends the request.
    TByteStream* OutputStream() const;

    std::wstring fResultContentType;
    void* fOwner;
    std::wstring fURL;
    std::uint32_t fErrorCode = 0;
    std::uint32_t fStatusCode = 0;
    std::atomic<bool> fTerminate{false};
    std::atomic<bool> fTerminated{false};
    THTTPSettings fSettings;
    std::uint32_t fContentLength = 0;
};

// Sends URL (a POST of its query part when it has one) and returns the body decoded from the
// ANSI code page; empty for a status outside 200..300 or on failure.
std::wstring HTTPPostURL(const std::wstring& URL, const THTTPSettings* Settings = nullptr,
                         std::uint32_t* ErrorCode = nullptr, std::uint32_t* StatusCode = nullptr);
