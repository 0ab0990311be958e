#include "HTTPU.h"

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

TURLParts SplitURL(const std::wstring& aURL) {
    TURLParts parts;
    std::wstring rest = aURL;
    if (AsciiUpper(rest).find(L"HTTP://") != std::wstring::npos) {
        parts.port = 80;
        rest.erase(0, std::min<size_t>(7, rest.size()));
    }
    if (AsciiUpper(rest).find(L"HTTPS://") != std::wstring::npos) {
        parts.port = 443;
        rest.erase(0, std::min<size_t>(8, rest.size()));
    }
    const size_t slash = rest.find(L'/');
    parts.host = slash == std::wstring::npos ? rest : rest.substr(0, slash);
    parts.object = slash == std::wstring::npos ? std::wstring() : rest.substr(slash);
    // An explicit port: digits after the last ":" that is not inside an IPv6 literal.
    const size_t colon = parts.host.rfind(L':');
    const size_t bracket = parts.host.rfind(L']');
    if (colon != std::wstring::npos && (bracket == std::wstring::npos || bracket < colon)) {
        const std::wstring digits = parts.host.substr(colon + 1);
        const std::uint32_t port = digits.size() <= 5 ? DecimalOrZero(digits) : 0;
        if (port >= 1 && port <= 65535) {
            parts.port = static_cast<std::uint16_t>(port);
            parts.host.erase(colon);
        }
    }
    return parts;
}

THTTPGet::THTTPGet(void* iOwner) : fOwner(iOwner) {}

void THTTPGet::SetURL(const std::wstring& aURL) {
    fURL = TrimBlanks(aURL);
}

bool THTTPGet::Execute() {
    bool result = false;
    fTerminated = false;
    std::uint32_t readed = 0;
    std::uint32_t totalSize = 0;
    bool bodyStarted = false;
    TUniqueInternet internet, connection, request;
    // Steps up to the end of the body; every early return still reaches the closing below.
    auto perform = [&]() {
        const TURLParts parts = SplitURL(fURL);

        bool proxyCredentials = false;
        const wchar_t* agent = Agent.empty() ? nullptr : Agent.c_str();
        if (!fSettings.ProxyHost.empty()) {
            std::wstring proxy = fSettings.ProxyHost;
            if (!fSettings.ProxyPort.empty())
                proxy += L":" + fSettings.ProxyPort;
            internet.reset(InternetOpenW(agent, INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), nullptr, 0));
            proxyCredentials = !fSettings.ProxyUserName.empty();
        } else {
            internet.reset(InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        }
        if (!internet) {
            fErrorCode = httpErrOpen;
            return;
        }

        connection.reset(InternetConnectW(internet.get(), parts.host.c_str(), parts.port, fSettings.UserName.c_str(),
                                          fSettings.Password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
        if (!connection) {
            fErrorCode = httpErrConnect;
            return;
        }
        if (proxyCredentials) {
            InternetSetOptionW(connection.get(), INTERNET_OPTION_PROXY_USERNAME,
                               const_cast<wchar_t*>(fSettings.ProxyUserName.c_str()),
                               static_cast<DWORD>(fSettings.ProxyUserName.size() + 1));
            InternetSetOptionW(connection.get(), INTERNET_OPTION_PROXY_PASSWORD,
                               const_cast<wchar_t*>(fSettings.ProxyPassword.c_str()),
                               static_cast<DWORD>(fSettings.ProxyPassword.size() + 1));
        }

        const wchar_t* verb = (QueryMode == eqmHeaders || QueryMode == eqmFullHeaders) ? L"HEAD"
                              : !PostQuery.empty()                                     ? L"POST"
                                                                                       : L"GET";
        DWORD flags = 0;
        // Without NO_CACHE_WRITE WinINet still stores every body in the user's cache, RELOAD or not:
        // a second copy of each download on disk.
        if (!UseCache)
            flags |= INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
        if (parts.port == INTERNET_DEFAULT_HTTPS_PORT)
            flags |= INTERNET_FLAG_SECURE;
        if (fSettings.NoCookies)
            flags |= INTERNET_FLAG_NO_COOKIES;
        const wchar_t* accept[] = {AcceptTypes.c_str(), nullptr};
        request.reset(HttpOpenRequestW(connection.get(), verb, parts.object.c_str(), L"HTTP/1.1", Referer.c_str(),
                                       accept, flags, 0));
        if (!request)
            request.reset(HttpOpenRequestW(connection.get(), L"GET", parts.object.c_str(), L"HTTP/1.1", Referer.c_str(),
                                           accept, flags, 0));
        if (!request) {
            fErrorCode = httpErrRequest;
            return;
        }
        if (fSettings.TimeoutMs > 0) {
            // On the request handle: Wine ignores time-outs set on the session for the body reads.
            DWORD timeout = fSettings.TimeoutMs;
            for (DWORD option :
                 {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
                InternetSetOptionW(request.get(), option, &timeout, sizeof(timeout));
        }

        bool appended = false;
        if (fSettings.Append) {
            TByteStream* out = OutputStream();
            if (!out)
                return;
            appended = true;
            const std::int64_t size = out->GetSize();
            if (size > 0) {
                out->SetPosition(size);
                const std::wstring range = L"Range: bytes=" + std::to_wstring(size) + L"-";
                appended = HttpAddRequestHeadersW(request.get(), range.c_str(), static_cast<DWORD>(range.size()),
                                                  HTTP_ADDREQ_FLAG_ADD) != FALSE;
            }
        }

        BOOL sent;
        if (PostQuery.empty() && Headers.empty() && ContentType.empty()) {
            sent = HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0);
        } else {
            std::wstring header =
                ContentType.empty() ? std::wstring(L"Content-Type: application/x-www-form-urlencoded") : ContentType;
            if (!Headers.empty())
                header += L"\r\n" + Headers;
            // The body's length is that of its ANSI bytes, so a text outside ASCII is never overread.
            std::string body = WideToAnsi(PostQuery);
            sent = HttpSendRequestW(request.get(), header.c_str(), static_cast<DWORD>(header.size()),
                                    body.empty() ? nullptr : body.data(), static_cast<DWORD>(body.size()));
        }
        if (!sent) {
            fErrorCode = httpErrSend;
            return;
        }

        std::wstring text;
        if (QueryText(request.get(), HTTP_QUERY_STATUS_CODE, 256, text))
            fStatusCode = DecimalOrZero(text);
        if (QueryText(request.get(), HTTP_QUERY_CONTENT_TYPE, 256, text))
            fResultContentType = text;
        fContentLength = QueryText(request.get(), HTTP_QUERY_CONTENT_LENGTH, 256, text) ? DecimalOrZero(text) : 0;
        totalSize = fContentLength;

        bool readBody = QueryMode == eqmNormal;
        if (QueryMode == eqmHeaders) {
            result = true;
        } else if (QueryMode == eqmFullHeaders || QueryMode == eqmFullHeadersWithContent) {
            if (!StreamWriter)
                return;
            std::wstring raw;
            const bool queried = QueryText(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, 32768, raw);
            if (!queried)
                raw.clear();
            StreamWriter->Write(raw);
            result = queried;
            readBody = QueryMode == eqmFullHeadersWithContent;
        }

        if (readBody && ((fStatusCode >= 200 && fStatusCode <= 300) || fSettings.AllowAllStatuses)) {
            const DWORD readSize = (fSettings.BufferSize >= 1 && fSettings.BufferSize <= 131073)
                                       ? static_cast<DWORD>(fSettings.BufferSize)
                                       : kReadBufferSize;
            fContentLength = QueryText(request.get(), HTTP_QUERY_CONTENT_LENGTH, 65536, text) ? DecimalOrZero(text) : 0;
            if (fContentLength == 0)
                appended = false;
            TByteStream* out = OutputStream();
            if (!out)
                return;
            if (QueryMode != eqmFullHeadersWithContent && !appended) {
                out->SetSize(0);
                out->SetPosition(0);
            }
            readed = static_cast<std::uint32_t>(out->GetSize());
            totalSize = fContentLength + readed;
            bodyStarted = true;
            if (HTTPProgressEvent)
                HTTPProgressEvent(this, readed, totalSize);
            std::vector<std::uint8_t> buffer(kReadBufferSize);
            while (!fTerminate) {
                DWORD got = 0;
                if (!InternetReadFile(request.get(), buffer.data(), readSize, &got) || got == 0)
                    break;
                StreamWriter->WriteBuf(buffer.data(), static_cast<std::int32_t>(got));
                readed += got;
                if (HTTPProgressEvent)
                    HTTPProgressEvent(this, readed, totalSize);
            }
            if (!fTerminate)
                result = totalSize == 0 || readed == totalSize;
        }
    };
    try {
        perform();
    } catch (...) {
    }
    request.reset();
    connection.reset();
    internet.reset();
    try {
        if (!bodyStarted) {
            readed = 0;
            totalSize = fContentLength;
        }
        if (result && HTTPProgressEvent)
            HTTPProgressEvent(this, readed, totalSize);
        if (HTTPFinishEvent)
            HTTPFinishEvent(this);
    } catch (...) {
    }
    fTerminated = true;
    return result;
}

TByteStream* THTTPGet::OutputStream() const {
    return StreamWriter ? StreamWriter->Stream() : nullptr;
}

bool THTTPGet::Terminate(std::uint32_t iTimeout) {
    fTerminate = true;
    bool done = fTerminated;
    for (std::uint32_t i = 0; i < iTimeout / 100 + 1; ++i)
        done = fTerminated;
    return done;
}

std::wstring HTTPPostURL(const std::wstring& URL, const THTTPSettings* Settings, std::uint32_t* ErrorCode,
                         std::uint32_t* StatusCode) {
    std::wstring result;
    try {
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
        result = AnsiToWide(std::string(body.begin(), body.end()));
    } catch (...) {
    }
    return result;
}

std::wstring ExtractURLFileName(const std::wstring& aURL) {
    std::wstring name = aURL;
    const size_t slash = name.rfind(L'/');
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const size_t q = name.find(L'?');
    if (q != std::wstring::npos)
        name.erase(q);
    return name;
}
