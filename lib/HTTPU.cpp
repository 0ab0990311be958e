#include "HTTPU.h"

#include "FallbackU.h"
#include "TextU.h"

#include <windows.h>
#include <wininet.h>

#include <vector>

void TInternetTraits::close(type h) noexcept {
    InternetCloseHandle(h);
}

namespace {

const DWORD kReadBufferSize = 131074;

// A decimal number of up to 32 bits and ten digits, or 0 when the text is anything else.
std::uint32_t DecimalOrZero(const std::wstring& aText) {
    if (aText.size() > 10)
        return 0;
    return static_cast<std::uint32_t>(ParseDecimal(aText, 0xFFFFFFFFu).value_or(0));
}

// HttpQueryInfoW as text into a buffer of aBytes bytes; false when the query fails.
bool QueryText(HINTERNET aRequest, DWORD aInfo, DWORD aBytes, std::wstring& aText) {
    std::vector<wchar_t> buffer(aBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = aBytes;
    DWORD index = 0;
    if (!HttpQueryInfoW(aRequest, aInfo, buffer.data(), &size, &index))
        return false;
    aText.assign(buffer.data(), size / sizeof(wchar_t));
    return true;
}

} // namespace

void THTTPSettings::Clear() {
    UserName.clear();
    Password.clear();
    ProxyHost.clear();
    ProxyPort.clear();
    ProxyUserName.clear();
    ProxyPassword.clear();
    AllowAllStatuses = false;
    Append = false;
    NoCookies = false;
    BufferSize = 0;
    TimeoutMs = 0;
}

void THTTPSettings::Assign(const THTTPSettings* iSettings) {
    if (!iSettings) {
        Clear();
        return;
    }
    if (iSettings != this)
        *this = *iSettings;
}

THTTPGet::THTTPGet(void* iOwner) : fOwner(iOwner) {}

void THTTPGet::SetURL(const std::wstring& aURL) {
    fURL = TrimBlanks(aURL);
}

// The handles and counters of one Execute, closed in reverse order when it goes.
struct THTTPGet::TTransfer {
    TURLParts parts;
    bool proxyCredentials = false;
    bool appended = false;
    bool readBody = false;
    bool bodyStarted = false;
    bool result = false;
    std::uint32_t readed = 0;
    std::uint32_t totalSize = 0;
    TUniqueInternet internet, connection, request;
};

bool THTTPGet::Execute() {
    fTerminated = false;
    TTransfer t;
    // The boundary of "nothing raises out of it": a failure in a step or in the writer ends the
    // request as failed, and the handles are still closed before the events fire.
    IgnoringFailure("THTTPGet.Execute", [&] { Perform(t); });
    t.request.reset();
    t.connection.reset();
    t.internet.reset();
    IgnoringFailure("THTTPGet.Execute", [&] {
        if (!t.bodyStarted) {
            t.readed = 0;
            t.totalSize = fContentLength;
        }
        if (t.result && HTTPProgressEvent)
            HTTPProgressEvent(this, t.readed, t.totalSize);
        if (HTTPFinishEvent)
            HTTPFinishEvent(this);
    });
    fTerminated = true;
    return t.result;
}

void THTTPGet::Perform(TTransfer& t) {
    t.parts = SplitURL(fURL);
    if (!Open(t) || !Connect(t) || !Request(t) || !Send(t))
        return;
    Status(t);
    if (!ResponseHeaders(t))
        return;
    if (t.readBody && ((fStatusCode >= 200 && fStatusCode <= 300) || fSettings.AllowAllStatuses))
        Body(t);
}

bool THTTPGet::Open(TTransfer& t) {
    const wchar_t* agent = Agent.empty() ? nullptr : Agent.c_str();
    if (!fSettings.ProxyHost.empty()) {
        std::wstring proxy = fSettings.ProxyHost;
        if (!fSettings.ProxyPort.empty())
            proxy += L":" + fSettings.ProxyPort;
        t.internet.reset(InternetOpenW(agent, INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), nullptr, 0));
        t.proxyCredentials = !fSettings.ProxyUserName.empty();
    } else {
        t.internet.reset(InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    }
    if (!t.internet)
        fErrorCode = httpErrOpen;
    return t.internet.valid();
}

bool THTTPGet::Connect(TTransfer& t) {
    t.connection.reset(InternetConnectW(t.internet.get(), t.parts.host.c_str(), t.parts.port,
                                        fSettings.UserName.c_str(), fSettings.Password.c_str(), INTERNET_SERVICE_HTTP,
                                        0, 0));
    if (!t.connection) {
        fErrorCode = httpErrConnect;
        return false;
    }
    if (t.proxyCredentials) {
        InternetSetOptionW(t.connection.get(), INTERNET_OPTION_PROXY_USERNAME,
                           const_cast<wchar_t*>(fSettings.ProxyUserName.c_str()),
                           static_cast<DWORD>(fSettings.ProxyUserName.size() + 1));
        InternetSetOptionW(t.connection.get(), INTERNET_OPTION_PROXY_PASSWORD,
                           const_cast<wchar_t*>(fSettings.ProxyPassword.c_str()),
                           static_cast<DWORD>(fSettings.ProxyPassword.size() + 1));
    }
    return true;
}

bool THTTPGet::Request(TTransfer& t) {
    const wchar_t* verb = (QueryMode == eqmHeaders || QueryMode == eqmFullHeaders) ? L"HEAD"
                          : !PostQuery.empty()                                     ? L"POST"
                                                                                   : L"GET";
    DWORD flags = 0;
    // Without NO_CACHE_WRITE WinINet still stores every body in the user's cache, RELOAD or not:
    // a second copy of each download on disk.
    if (!UseCache)
        flags |= INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    if (t.parts.port == INTERNET_DEFAULT_HTTPS_PORT)
        flags |= INTERNET_FLAG_SECURE;
    if (fSettings.NoCookies)
        flags |= INTERNET_FLAG_NO_COOKIES;
    const wchar_t* accept[] = {AcceptTypes.c_str(), nullptr};
    const std::wstring& object = t.parts.object;
    t.request.reset(
        HttpOpenRequestW(t.connection.get(), verb, object.c_str(), L"HTTP/1.1", Referer.c_str(), accept, flags, 0));
    if (!t.request)
        t.request.reset(HttpOpenRequestW(t.connection.get(), L"GET", object.c_str(), L"HTTP/1.1", Referer.c_str(),
                                         accept, flags, 0));
    if (!t.request) {
        fErrorCode = httpErrRequest;
        return false;
    }
    if (fSettings.TimeoutMs > 0) {
        // On the request handle: Wine ignores time-outs set on the session for the body reads.
        DWORD timeout = fSettings.TimeoutMs;
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
            InternetSetOptionW(t.request.get(), option, &timeout, sizeof(timeout));
    }
    return true;
}

bool THTTPGet::Send(TTransfer& t) {
    if (fSettings.Append) {
        // Appending asks only for what the output does not hold yet; without an output there is
        // nothing to append to and no request is sent.
        TByteStream* out = OutputStream();
        if (!out)
            return false;
        t.appended = true;
        const std::int64_t size = out->GetSize();
        if (size > 0) {
            out->SetPosition(size);
            const std::wstring range = L"Range: bytes=" + std::to_wstring(size) + L"-";
            t.appended = HttpAddRequestHeadersW(t.request.get(), range.c_str(), static_cast<DWORD>(range.size()),
                                                HTTP_ADDREQ_FLAG_ADD) != FALSE;
        }
    }
    BOOL sent;
    if (PostQuery.empty() && Headers.empty() && ContentType.empty()) {
        sent = HttpSendRequestW(t.request.get(), nullptr, 0, nullptr, 0);
    } else {
        std::wstring header =
            ContentType.empty() ? std::wstring(L"Content-Type: application/x-www-form-urlencoded") : ContentType;
        if (!Headers.empty())
            header += L"\r\n" + Headers;
        // The body's length is that of its ANSI bytes, so a text outside ASCII is never overread.
        std::string body = WideToAnsi(PostQuery);
        sent = HttpSendRequestW(t.request.get(), header.c_str(), static_cast<DWORD>(header.size()),
                                body.empty() ? nullptr : body.data(), static_cast<DWORD>(body.size()));
    }
    if (!sent)
        fErrorCode = httpErrSend;
    return sent != FALSE;
}

void THTTPGet::Status(TTransfer& t) {
    std::wstring text;
    if (QueryText(t.request.get(), HTTP_QUERY_STATUS_CODE, 256, text))
        fStatusCode = DecimalOrZero(text);
    if (QueryText(t.request.get(), HTTP_QUERY_CONTENT_TYPE, 256, text))
        fResultContentType = text;
    fContentLength = QueryText(t.request.get(), HTTP_QUERY_CONTENT_LENGTH, 256, text) ? DecimalOrZero(text) : 0;
    t.totalSize = fContentLength;
}

bool THTTPGet::ResponseHeaders(TTransfer& t) {
    t.readBody = QueryMode == eqmNormal;
    if (QueryMode == eqmHeaders) {
        t.result = true;
    } else if (QueryMode == eqmFullHeaders || QueryMode == eqmFullHeadersWithContent) {
        if (!StreamWriter)
            return false;
        std::wstring raw;
        const bool queried = QueryText(t.request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, 32768, raw);
        if (!queried)
            raw.clear();
        StreamWriter->Write(raw);
        t.result = queried;
        t.readBody = QueryMode == eqmFullHeadersWithContent;
    }
    return true;
}

void THTTPGet::Body(TTransfer& t) {
    const DWORD readSize = (fSettings.BufferSize >= 1 && fSettings.BufferSize <= 131073)
                               ? static_cast<DWORD>(fSettings.BufferSize)
                               : kReadBufferSize;
    std::wstring text;
    fContentLength = QueryText(t.request.get(), HTTP_QUERY_CONTENT_LENGTH, 65536, text) ? DecimalOrZero(text) : 0;
    if (fContentLength == 0)
        t.appended = false;
    TByteStream* out = OutputStream();
    if (!out)
        return;
    if (QueryMode != eqmFullHeadersWithContent && !t.appended) {
        out->SetSize(0);
        out->SetPosition(0);
    }
    t.readed = static_cast<std::uint32_t>(out->GetSize());
    t.totalSize = fContentLength + t.readed;
    t.bodyStarted = true;
    if (HTTPProgressEvent)
        HTTPProgressEvent(this, t.readed, t.totalSize);
    std::vector<std::uint8_t> buffer(kReadBufferSize);
    while (!fTerminate) {
        DWORD got = 0;
        if (!InternetReadFile(t.request.get(), buffer.data(), readSize, &got) || got == 0)
            break;
        StreamWriter->WriteBuf(buffer.data(), static_cast<std::int32_t>(got));
        t.readed += got;
        if (HTTPProgressEvent)
            HTTPProgressEvent(this, t.readed, t.totalSize);
    }
    if (!fTerminate)
        t.result = t.totalSize == 0 || t.readed == t.totalSize;
}

TByteStream* THTTPGet::OutputStream() const {
    return StreamWriter ? StreamWriter->Stream() : nullptr;
}

bool THTTPGet::Terminate(std::uint32_t iTimeout) {
    fTerminate = true;
    const DWORD start = GetTickCount();
    while (!fTerminated && GetTickCount() - start < iTimeout)
        Sleep(10);
    return fTerminated;
}

std::wstring HTTPPostURL(const std::wstring& URL, const THTTPSettings* Settings, std::uint32_t* ErrorCode,
                         std::uint32_t* StatusCode) {
    return ResultOr("HTTPPostURL", std::wstring(), [&] {
        TMemoryStreamWriter writer;
        writer.Unicode = false;
        THTTPGet get(nullptr);
        get.StreamWriter = &writer;
        const size_t q = URL.find(L'?');
        if (q == std::wstring::npos) {
            get.SetURL(URL);
        } else {
            get.SetURL(URL.substr(0, q));
            get.PostQuery = URL.substr(q + 1);
        }
        if (Settings)
            get.SetSettings(*Settings);
        get.Execute();
        if (ErrorCode)
            *ErrorCode = get.ErrorCode();
        if (StatusCode)
            *StatusCode = get.StatusCode();
        const std::vector<std::uint8_t>& body = writer.Data();
        return AnsiToWide(std::string(body.begin(), body.end()));
    });
}
