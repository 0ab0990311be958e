// winsock2.h must come before windows.h.
#include "LoopbackServer.h"
#include "HTTPU.h"
#include "TestSupport.h"

#include <wininet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

std::string Filled(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

std::string Body(const TMemoryStreamWriter& w) {
    return std::string(w.Data().begin(), w.Data().end());
}

// A request with its writer and counted events.
struct TRun {
    explicit TRun(const std::wstring& aURL) : get(nullptr) {
        get.SetURL(aURL);
        get.StreamWriter = &writer;
        get.HTTPFinishEvent = [this](THTTPGet*) { ++finished; };
        get.HTTPProgressEvent = [this](THTTPGet*, std::uint32_t r, std::uint32_t t) { progress.push_back({r, t}); };
    }
    TMemoryStreamWriter writer;
    THTTPGet get;
    int finished = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> progress;
};

TEST(HTTPUTest, StatusRangeDecidesWhetherTheBodyIsRead) {
    const struct {
        const char* status;
        bool allowAll;
        bool result;
        bool bodyRead;
    } cases[] = {
        {"200 OK", false, true, true},          {"300 Multiple Choices", false, true, true},
        {"301 Moved", false, false, false},     {"404 Not Found", false, false, false},
        {"500 Server Error", true, true, true}, {"199 Odd", false, false, false},
    };
    for (const auto& c : cases) {
        TLoopbackServer server([&](const TRecordedRequest&) {
            return TScriptedReply{TLoopbackServer::Reply(c.status, "Content-Length: 5\r\n", "hello")};
        });
        TRun run(server.URL("/file"));
        run.writer.Write(std::string("old"));
        run.get.Settings().AllowAllStatuses = c.allowAll;
        EXPECT_EQ(run.get.Execute(), c.result) << c.status;
        EXPECT_EQ(run.get.StatusCode(), static_cast<std::uint32_t>(std::atoi(c.status))) << c.status;
        EXPECT_EQ(Body(run.writer), c.bodyRead ? "hello" : "old") << c.status;
        EXPECT_EQ(run.finished, 1);
        EXPECT_EQ(run.get.ErrorCode(), 0u);
    }
}

TEST(HTTPUTest, RequestLineAndDefaultHeaders) {
    TLoopbackServer server([](const TRecordedRequest&) {
        return TScriptedReply{
            TLoopbackServer::Reply("200 OK", "Content-Length: 2\r\nContent-Type: text/xml\r\n", "ok")};
    });
    TRun run(L"  \t" + server.URL("/dir/a.cab?x=1") + L" \r\n");
    ASSERT_TRUE(run.get.Execute());
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/dir/a.cab?x=1");
    EXPECT_EQ(requests[0].headers.at("user-agent"), "Tessaly HTTPGet");
    EXPECT_EQ(requests[0].headers.at("accept"), "*/*");
    EXPECT_EQ(requests[0].headers.count("range"), 0u);
    EXPECT_EQ(run.get.ResultContentType(), L"text/xml");
    EXPECT_EQ(run.get.ContentLength(), 2u);
    // One call before the loop, one per chunk, one after the handles are closed.
    ASSERT_GE(run.progress.size(), 3u);
    EXPECT_EQ(run.progress.front(), (std::pair<std::uint32_t, std::uint32_t>{0, 2}));
    EXPECT_EQ(run.progress.back(), (std::pair<std::uint32_t, std::uint32_t>{2, 2}));
}

TEST(HTTPUTest, BodyLengthChecks) {
    const struct {
        const char* what;
        std::string reply;
        bool result;
        size_t bytes;
    } cases[] = {
        {"no Content-Length", TLoopbackServer::Reply("200 OK", "", Filled(70000)), true, 70000},
        {"999 of 1000", TLoopbackServer::Reply("200 OK", "Content-Length: 1000\r\n", Filled(999)), false, 999},
        {"closed mid-body", TLoopbackServer::Reply("200 OK", "Content-Length: 300000\r\n", Filled(150000)), false,
         150000},
        {"exact", TLoopbackServer::Reply("200 OK", "Content-Length: 1000\r\n", Filled(1000)), true, 1000},
        {"non-numeric length", TLoopbackServer::Reply("200 OK", "Content-Length: abc\r\n", "xyz"), true, 3},
    };
    for (const auto& c : cases) {
        TLoopbackServer server([&](const TRecordedRequest&) { return TScriptedReply{c.reply}; });
        TRun run(server.URL("/b"));
        run.get.Settings().BufferSize = 4096;
        EXPECT_EQ(run.get.Execute(), c.result) << c.what;
        EXPECT_EQ(run.writer.Data().size(), c.bytes) << c.what;
        EXPECT_EQ(run.finished, 1) << c.what;
    }
}

TEST(HTTPUTest, AppendResumesWithRange) {
    TLoopbackServer server([](const TRecordedRequest& r) {
        if (r.path == "/nolength")
            return TScriptedReply{TLoopbackServer::Reply("200 OK", "", "whole")};
        return TScriptedReply{TLoopbackServer::Reply("206 Partial Content", "Content-Length: 100\r\n", Filled(100))};
    });
    TRun run(server.URL("/part"));
    run.writer.Write(std::string(500, 'x'));
    run.writer.Stream()->Seek(10);
    run.get.Settings().Append = true;
    ASSERT_TRUE(run.get.Execute());
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].headers.at("range"), "bytes=500-");
    ASSERT_EQ(run.writer.Data().size(), 600u);
    EXPECT_EQ(Body(run.writer), std::string(500, 'x') + Filled(100));
    EXPECT_EQ(run.progress.front(), (std::pair<std::uint32_t, std::uint32_t>{500, 600}));
    EXPECT_EQ(run.progress.back(), (std::pair<std::uint32_t, std::uint32_t>{600, 600}));

    // Without a Content-Length the output starts over.
    TRun again(server.URL("/nolength"));
    again.writer.Write(std::string(500, 'x'));
    again.get.Settings().Append = true;
    EXPECT_TRUE(again.get.Execute());
    EXPECT_EQ(Body(again.writer), "whole");

    // Append on an empty stream: no Range header.
    TRun empty(server.URL("/part"));
    empty.get.Settings().Append = true;
    EXPECT_TRUE(empty.get.Execute());
    EXPECT_EQ(server.Requests().back().headers.count("range"), 0u);
    EXPECT_EQ(empty.writer.Data().size(), 100u);
}

TEST(HTTPUTest, PostSendsTheFormHeaderAndBody) {
    TLoopbackServer server([](const TRecordedRequest& r) {
        return TScriptedReply{
            TLoopbackServer::Reply("200 OK", "Content-Length: " + std::to_string(r.body.size()) + "\r\n", r.body)};
    });
    TRun run(server.URL("/api/Op"));
    run.get.PostQuery = L"CR=abc";
    ASSERT_TRUE(run.get.Execute());
    auto r = server.Requests().at(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.headers.at("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.headers.at("content-length"), "6");
    EXPECT_EQ(r.body, "CR=abc");

    TRun custom(server.URL("/api/Op"));
    custom.get.ContentType = L"Content-Type: text/plain";
    custom.get.Headers = L"X-One: 1\r\nX-Two: 2";
    ASSERT_TRUE(custom.get.Execute());
    r = server.Requests().at(1);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.headers.at("content-type"), "text/plain");
    EXPECT_EQ(r.headers.at("x-two"), "2");
}

TEST(HTTPUTest, HeadModes) {
    TLoopbackServer server([](const TRecordedRequest& r) {
        return TScriptedReply{
            TLoopbackServer::Reply("200 OK", "Content-Length: 4\r\nX-Mark: m\r\n", r.method == "HEAD" ? "" : "body")};
    });
    TRun head(server.URL("/h"));
    head.get.QueryMode = eqmHeaders;
    head.get.PostQuery = L"ignored=1";
    EXPECT_TRUE(head.get.Execute());
    EXPECT_EQ(server.Requests().at(0).method, "HEAD");
    EXPECT_TRUE(head.writer.Data().empty());
    EXPECT_EQ(head.get.ContentLength(), 4u);

    TRun full(server.URL("/h"));
    full.get.QueryMode = eqmFullHeaders;
    EXPECT_TRUE(full.get.Execute());
    EXPECT_EQ(server.Requests().at(1).method, "HEAD");
    EXPECT_EQ(Body(full.writer).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_NE(Body(full.writer).find("X-Mark: m"), std::string::npos);

    TRun content(server.URL("/h"));
    content.get.QueryMode = eqmFullHeadersWithContent;
    content.writer.Write(std::string("keep:"));
    EXPECT_TRUE(content.get.Execute());
    EXPECT_EQ(server.Requests().at(2).method, "GET");
    const std::string all = Body(content.writer);
    EXPECT_EQ(all.rfind("keep:HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(all.substr(all.size() - 4), "body");
}

// A request that does not use the cache leaves no copy of the body in the user's WinINet cache; one
// that does, would (which shows the check can see an entry).
TEST(HTTPUTest, OnlyARequestThatUsesTheCacheLeavesItsBodyThere) {
    TLoopbackServer server([](const TRecordedRequest&) {
        return TScriptedReply{TLoopbackServer::Reply("200 OK", "Content-Length: 5\r\n", "hello")};
    });
    for (const bool useCache : {false, true}) {
        const std::wstring url = server.URL(useCache ? "/cached.bin" : "/uncached.bin");
        TRun run(url);
        run.get.UseCache = useCache;
        ASSERT_TRUE(run.get.Execute());
        EXPECT_EQ(InUrlCache(url), useCache) << "UseCache " << useCache;
        DeleteUrlCacheEntryW(url.c_str());
    }
}

TEST(HTTPUTest, ConnectionRefused) {
    TRun run(L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/x");
    EXPECT_FALSE(run.get.Execute());
    EXPECT_EQ(run.get.ErrorCode(), static_cast<std::uint32_t>(httpErrSend));
    EXPECT_EQ(run.get.StatusCode(), 0u);
    EXPECT_EQ(run.finished, 1);
    EXPECT_TRUE(run.progress.empty());
}

TEST(HTTPUTest, MalformedStatusLine) {
    TLoopbackServer server(
        [](const TRecordedRequest&) { return TScriptedReply{"HTTP/1.1 abc OK\r\nContent-Length: 2\r\n\r\nhi"}; });
    TRun run(server.URL("/s"));
    EXPECT_FALSE(run.get.Execute());
    EXPECT_EQ(run.get.StatusCode(), 0u);
    EXPECT_TRUE(run.writer.Data().empty());
    EXPECT_EQ(run.finished, 1);
}

TEST(HTTPUTest, ServerThatNeverAnswersIsCutOffByTheTest) {
    TLoopbackServer server([](const TRecordedRequest&) { return TScriptedReply{"", true}; });
    TRun run(server.URL("/hang"));
    auto done = std::async(std::launch::async, [&] { return run.get.Execute(); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(1)), std::future_status::timeout);
    EXPECT_FALSE(run.get.Terminate(0));
    server.Stop();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(done.get());
    EXPECT_EQ(run.finished, 1);
    EXPECT_TRUE(run.get.Terminate(0));
}

TEST(HTTPUTest, TerminateStopsTheBodyLoop) {
    TLoopbackServer server([](const TRecordedRequest&) {
        return TScriptedReply{TLoopbackServer::Reply("200 OK", "Content-Length: 400000\r\n", Filled(400000))};
    });
    TRun run(server.URL("/big"));
    run.get.Settings().BufferSize = 1000;
    run.get.HTTPProgressEvent = [&](THTTPGet* sender, std::uint32_t readed, std::uint32_t) {
        if (readed > 0)
            sender->Terminate(0);
    };
    EXPECT_FALSE(run.get.Execute());
    // One read of at most the buffer size, then the loop stopped.
    EXPECT_GT(run.writer.Data().size(), 0u);
    EXPECT_LE(run.writer.Data().size(), 1000u);
    EXPECT_EQ(run.finished, 1);
}

TEST(HTTPUTest, PostURLSplitsAtTheQuery) {
    TLoopbackServer server([](const TRecordedRequest& r) {
        if (r.path == "/api/Fail")
            return TScriptedReply{TLoopbackServer::Reply("500 Error", "Content-Length: 4\r\n", "oops")};
        return TScriptedReply{TLoopbackServer::Reply("200 OK", "Content-Length: 6\r\n", "<a/>\xE9!")};
    });
    std::uint32_t error = 99, status = 99;
    const std::wstring text = HTTPPostURL(server.URL("/api/Op?CR=x&Action=y"), nullptr, &error, &status);
    EXPECT_EQ(text, L"<a/>\u00E9!");
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(status, 200u);
    auto r = server.Requests().at(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/api/Op");
    EXPECT_EQ(r.body, "CR=x&Action=y");

    EXPECT_EQ(HTTPPostURL(server.URL("/api/Fail?CR=1"), nullptr, &error, &status), L"");
    EXPECT_EQ(status, 500u);
    EXPECT_EQ(HTTPPostURL(server.URL("/api/Plain")), L"<a/>\u00E9!");
    EXPECT_EQ(server.Requests().at(2).method, "GET");

    EXPECT_EQ(
        HTTPPostURL(L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/a?b=c", nullptr, &error, &status),
        L"");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(error, static_cast<std::uint32_t>(httpErrSend));
}

TEST(HTTPUTest, SplitURLTable) {
    const struct {
        const wchar_t* url;
        const wchar_t* host;
        const wchar_t* object;
        std::uint16_t port;
    } cases[] = {
        {L"http://host/a/b?c=d", L"host", L"/a/b?c=d", 80},
        {L"HTTP://Host/x", L"Host", L"/x", 80},
        {L"https://secure.example/p", L"secure.example", L"/p", 443},
        {L"HTTPS://secure.example/p", L"secure.example", L"/p", 443},
        {L"host/p", L"host", L"/p", 80},
        {L"http://127.0.0.1:8080/api/x", L"127.0.0.1", L"/api/x", 8080},
        {L"https://h:8443/", L"h", L"/", 8443},
        {L"http://h:abc/p", L"h:abc", L"/p", 80},
        {L"http://h:70000/p", L"h:70000", L"/p", 80},
        {L"http://h:/p", L"h:", L"/p", 80},
        {L"http://[::1]/p", L"[::1]", L"/p", 80},
        {L"http://host", L"host", L"", 80},
        {L"http:///p", L"", L"/p", 80},
        // The scheme counts only as the prefix: a URL in the query changes neither host nor port.
        {L"http://host/login?next=https://other.example/x", L"host", L"/login?next=https://other.example/x", 80},
        {L"https://secure.example/go?to=http://plain.example/", L"secure.example", L"/go?to=http://plain.example/",
         443},
        {L"HtTpS://h:8443/r?u=HTTP://x", L"h", L"/r?u=HTTP://x", 8443},
        {L"host/p?u=https://x/", L"host", L"/p?u=https://x/", 80},
    };
    for (const auto& c : cases) {
        const TURLParts parts = SplitURL(c.url);
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.object, c.object) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
    }
}

TEST(HTTPUTest, SplitURLPathQueryFragmentTable) {
    const struct {
        const wchar_t* url;
        const wchar_t* host;
        const wchar_t* path;
        const wchar_t* query;
        const wchar_t* fragment;
        const wchar_t* signature; // AppendToURLPath(url, ".sig")
    } cases[] = {
        {L"http://h/files/pkg.cab", L"h", L"/files/pkg.cab", L"", L"", L"http://h/files/pkg.cab.sig"},
        {L"http://h/files/pkg.cab?x=1", L"h", L"/files/pkg.cab", L"?x=1", L"", L"http://h/files/pkg.cab.sig?x=1"},
        {L"http://h/pkg.cab#top", L"h", L"/pkg.cab", L"", L"#top", L"http://h/pkg.cab.sig#top"},
        {L"https://h:8443/a?b=c#d?e", L"h", L"/a", L"?b=c", L"#d?e", L"https://h:8443/a.sig?b=c#d?e"},
        {L"http://h/a#b?c", L"h", L"/a", L"", L"#b?c", L"http://h/a.sig#b?c"},
        {L"http://h/p?next=/a/b.exe", L"h", L"/p", L"?next=/a/b.exe", L"", L"http://h/p.sig?next=/a/b.exe"},
        {L"http://h/?", L"h", L"/", L"?", L"", L"http://h/.sig?"},
        // The host ends at a query or fragment as at a path.
        {L"http://h?x=/y.cab", L"h", L"", L"?x=/y.cab", L"", L"http://h.sig?x=/y.cab"},
        {L"http://h:8080#/y", L"h", L"", L"", L"#/y", L"http://h:8080.sig#/y"},
        {L"http://h", L"h", L"", L"", L"", L"http://h.sig"},
        {L"h/dir/a.cab?q", L"h", L"/dir/a.cab", L"?q", L"", L"h/dir/a.cab.sig?q"},
        {L"", L"", L"", L"", L"", L".sig"},
    };
    for (const auto& c : cases) {
        const TURLParts parts = SplitURL(c.url);
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
        EXPECT_EQ(parts.query, c.query) << c.url;
        EXPECT_EQ(parts.fragment, c.fragment) << c.url;
        EXPECT_EQ(parts.path + parts.query + parts.fragment, parts.object) << c.url;
        EXPECT_EQ(AppendToURLPath(c.url, L".sig"), c.signature) << c.url;
    }
}

TEST(HTTPUTest, MissingOrClosedWriterEndsTheRequest) {
    TLoopbackServer server([](const TRecordedRequest&) {
        return TScriptedReply{TLoopbackServer::Reply("200 OK", "Content-Length: 2\r\n", "ok")};
    });
    for (eQueryMode mode : {eqmNormal, eqmFullHeaders, eqmFullHeadersWithContent}) {
        TRun none(server.URL("/w"));
        none.get.StreamWriter = nullptr;
        none.get.QueryMode = mode;
        EXPECT_FALSE(none.get.Execute()) << mode;
        EXPECT_EQ(none.finished, 1);
        TStreamWriter closed(nullptr);
        TRun run(server.URL("/w"));
        run.get.StreamWriter = &closed;
        run.get.QueryMode = mode;
        run.get.Settings().Append = true;
        EXPECT_FALSE(run.get.Execute()) << mode;
        EXPECT_EQ(run.finished, 1);
    }
    TRun head(server.URL("/w"));
    head.get.StreamWriter = nullptr;
    head.get.QueryMode = eqmHeaders;
    EXPECT_TRUE(head.get.Execute());
}

TEST(HTTPUTest, EmptyHostFailsCleanly) {
    TRun run(L"http:///p");
    EXPECT_FALSE(run.get.Execute());
    EXPECT_NE(run.get.ErrorCode(), 0u);
    EXPECT_EQ(run.finished, 1);
}

TEST(HTTPUTest, ExtractURLFileNameTable) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"http://h/dir/setup.cab?x=1", L"setup.cab"},
        {L"setup.cab", L"setup.cab"},
        {L"http://h/dir/", L""},
        {L"a.cab?x=1/2", L"2"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractURLFileName(c.first), c.second) << c.first;
}

TEST(HTTPUTest, SettingsAssignAndClear) {
    THTTPSettings s;
    s.UserName = L"u";
    s.ProxyHost = L"p";
    s.Append = true;
    s.BufferSize = 7;
    THTTPGet get(&s);
    get.SetSettings(s);
    EXPECT_EQ(get.Settings().UserName, L"u");
    EXPECT_EQ(get.Settings().BufferSize, 7);
    EXPECT_EQ(get.Owner(), &s);
    get.Settings().Assign(nullptr);
    EXPECT_EQ(get.Settings().ProxyHost, L"");
    EXPECT_FALSE(get.Settings().Append);
    EXPECT_EQ(get.Settings().BufferSize, 0);
}

} // namespace
