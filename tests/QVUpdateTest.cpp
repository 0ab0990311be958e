// winsock2.h must come before windows.h.
#include "LoopbackServer.h"

#include "CryptU.h"
#include "FileU.h"
#include "PlatformU.h"
#include "QVDateText.h"
#include "QVUpdate.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <thread>

namespace {

TCfgWS Identity() {
    TCfgWS cfg;
    cfg.CFG = L"10";
    cfg.UID = L"u";
    cfg.VER = L"v";
    cfg.CLS = L"";
    cfg.SUBID = L"0";
    return cfg;
}

// The parameters a token decodes to, in order.
std::vector<TParam> Decoded(const std::wstring& aToken) {
    TCryptURL crypt(true);
    EXPECT_TRUE(crypt.Decrypt(aToken)) << aToken;
    return crypt.Parameters();
}

std::wstring Widen(const std::string& aText) {
    return std::wstring(aText.begin(), aText.end());
}

class QVUpdateTest : public ::testing::Test {
protected:
    TRegistrySandbox FSandbox;
};

TEST_F(QVUpdateTest, HitCarriesTheFullIdentityAndTheTickCount) {
    const DWORD before = GetTickCount();
    const std::wstring url = ServiceRequestURL(saHit, Identity(), L"http://h/api/client.asmx/");
    const DWORD after = GetTickCount();
    const std::wstring prefix = L"http://h/api/client.asmx/SendLog?CR=";
    ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
    const auto params = Decoded(url.substr(prefix.size()));
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"CFG", L"10"}, {L"UID", L"u"}, {L"VER", L"v"}, {L"CLS", L""}, {L"SUBID", L"0"}};
    ASSERT_EQ(params.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(params[i].name, expected[i].first);
        EXPECT_EQ(params[i].value, expected[i].second);
    }
    EXPECT_EQ(params.back().name, L"RANDOMIZER");
    const unsigned long tick = std::stoul(params.back().value);
    EXPECT_GE(tick, before);
    EXPECT_LE(tick, after);
}

TEST_F(QVUpdateTest, InstallAndRemovalReportsCarryNoVersion) {
    const struct {
        std::uint8_t action;
        const wchar_t* tail;
    } cases[] = {{saInstall, L"&Action=INQV"}, {saUninstall, L"&Action=UNQV"}};
    for (const auto& c : cases) {
        const std::wstring url = ServiceRequestURL(c.action, Identity(), L"http://h/b/");
        const std::wstring prefix = L"http://h/b/GetXML?CR=";
        ASSERT_EQ(url.rfind(prefix, 0), 0u) << url;
        const std::wstring tail = c.tail;
        ASSERT_EQ(url.substr(url.size() - tail.size()), tail);
        const auto params = Decoded(url.substr(prefix.size(), url.size() - prefix.size() - tail.size()));
        ASSERT_EQ(params.size(), 4u);
        EXPECT_EQ(params[0].name, L"CFG");
        EXPECT_EQ(params[1].name, L"UID");
        EXPECT_EQ(params[2].name, L"SUBID");
        EXPECT_EQ(params[3].name, L"RANDOMIZER");
    }
    EXPECT_EQ(ServiceRequestURL(3, Identity(), L"http://h/b/"), L"");
}

TEST_F(QVUpdateTest, WithoutConfigurationTheBuiltInServiceIsUsed) {
    EXPECT_EQ(ServiceBaseURL(), kDefaultServiceURL);
    const std::wstring base = kDefaultServiceURL;
    EXPECT_EQ(base.substr(base.size() - 17), L"/api/client.asmx/");
}

TEST_F(QVUpdateTest, RequestsArePostedWithTheFormBody) {
    TLoopbackServer server([](const TRecordedRequest& r) {
        const std::string body = r.path.find("SendLog") != std::string::npos ? "<info/>" : "ok";
        return TScriptedReply{
            TLoopbackServer::Reply("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n", body)};
    });
    const std::wstring base = server.URL("/api/client.asmx/");
    std::uint32_t status = 7;
    std::wstring response = L"stale";
    SendServiceRequestTo(base, saHit, status, response);
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(response, L"<info/>");
    SendServiceRequestTo(base, saInstall, status, response);
    EXPECT_EQ(response, L"ok");
    SendServiceRequestTo(base, saUninstall, status, response);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/api/client.asmx/SendLog");
    EXPECT_EQ(requests[0].headers.at("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].body.rfind("CR=", 0), 0u);
    EXPECT_EQ(requests[1].path, "/api/client.asmx/GetXML");
    EXPECT_EQ(requests[1].body.substr(requests[1].body.size() - 12), "&Action=INQV");
    EXPECT_EQ(requests[2].body.substr(requests[2].body.size() - 12), "&Action=UNQV");
    // The identity was made once and stored: every report carries the same UID.
    const std::wstring token0 = Widen(requests[0].body.substr(3));
    const std::wstring token1 = Widen(requests[1].body.substr(3, requests[1].body.size() - 15));
    TCryptURL a(true), b(true);
    ASSERT_TRUE(a.Decrypt(token0));
    ASSERT_TRUE(b.Decrypt(token1));
    EXPECT_FALSE(a.GetParameters(L"UID").empty());
    EXPECT_EQ(a.GetParameters(L"UID"), b.GetParameters(L"UID"));
    EXPECT_EQ(a.GetParameters(L"UID"), ReadStoreString(L"UID"));
}

TEST_F(QVUpdateTest, FailuresLeaveStatusZeroOrTheStatusAndNoText) {
    std::uint32_t status = 7;
    std::wstring response = L"stale";
    SendServiceRequestTo(L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/api/client.asmx/", saHit,
                         status, response);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(response, L"");

    TLoopbackServer server([](const TRecordedRequest&) {
        return TScriptedReply{TLoopbackServer::Reply("400 Bad Request", "Content-Length: 3\r\n", "bad")};
    });
    response = L"stale";
    SendServiceRequestTo(server.URL("/api/client.asmx/"), saHit, status, response);
    EXPECT_EQ(status, 400u);
    EXPECT_EQ(response, L"");

    status = 7;
    SendServiceRequestTo(server.URL("/"), 9, status, response);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(QVUpdateTest, AServiceThatNeverAnswersIsGivenUpAfterTheTimeOut) {
    TScriptedReply silent;
    silent.hang = true;
    TLoopbackServer server([&](const TRecordedRequest&) { return silent; });
    std::uint32_t status = 7;
    std::wstring response = L"stale";
    const ULONGLONG start = GetTickCount64();
    SendServiceRequestTo(server.URL("/api/client.asmx/"), saHit, status, response, 1500);
    const ULONGLONG elapsed = GetTickCount64() - start;
    server.Stop();
    EXPECT_GE(elapsed, 1400u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(response, L"");
    EXPECT_EQ(server.Requests().size(), 1u);
}

// An installer hook's report is bounded as a whole: a service that trickles its answer a byte at a
// time resets every WinINet time-out, and would otherwise hold the removal for minutes.
TEST_F(QVUpdateTest, AHookReportEndsWithinItsBudgetWhateverTheServiceDoes) {
    const std::string body = "ok";
    const struct {
        const char* what;
        TScriptedReply reply;
        std::uint32_t status;
    } cases[] = {
        {"answers", {TLoopbackServer::Reply("200 OK", "Content-Length: 2\r\n", body)}, 200},
        {"never answers", {"", true}, 0},
        {"trickles",
         {TLoopbackServer::Reply("200 OK", "X-Pad: " + std::string(200, 'x') + "\r\n", body), false, 0, 300, 1},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TLoopbackServer server([&](const TRecordedRequest&) { return c.reply; });
        const ULONGLONG start = GetTickCount64();
        const std::uint32_t status = SendServiceReportTo(server.URL("/api/client.asmx/"), saUninstall, 1500);
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_EQ(status, c.status);
        EXPECT_LT(elapsed, 3000u);
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].body.substr(server.Requests()[0].body.size() - 12), "&Action=UNQV");
    }
    EXPECT_EQ(SendServiceReportTo(L"http://127.0.0.1:1/", 9, 1500), 0u);
}

// ---- The daily hit and the update check ----

std::string Narrow(const std::wstring& aText) {
    return std::string(aText.begin(), aText.end());
}

// Now moved by whole days, local time.
SYSTEMTIME LocalNowPlusDays(int aDays) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME ft;
    SystemTimeToFileTime(&now, &ft);
    ULARGE_INTEGER v{{ft.dwLowDateTime, ft.dwHighDateTime}};
    v.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(aDays) * 24LL * 3600LL * 10000000LL);
    ft.dwLowDateTime = v.LowPart;
    ft.dwHighDateTime = v.HighPart;
    SYSTEMTIME t;
    FileTimeToSystemTime(&ft, &t);
    return t;
}

bool IsToday(const std::wstring& aStoreText) {
    const std::optional<SYSTEMTIME> t = StoreTextToDateTime(aStoreText);
    const SYSTEMTIME now = LocalNowPlusDays(0);
    return t && t->wYear == now.wYear && t->wMonth == now.wMonth && t->wDay == now.wDay;
}

std::optional<std::wstring> StoredLastHit() {
    std::wstring text;
    if (!ReadRegString(HKEY_CURRENT_USER, kStoreKey, L"LastHit", text))
        return std::nullopt;
    return text;
}

std::string HttpReply(const std::string& aStatus, const std::string& aBody) {
    return TLoopbackServer::Reply(aStatus, "Content-Length: " + std::to_string(aBody.size()) + "\r\n", aBody);
}

struct TLaunch {
    std::wstring exe, arguments;
    bool runAs;
};

// A launcher that only records: no test ever starts a process through CheckForUpdateWith.
struct TLaunchLog {
    std::vector<TLaunch> calls;
    TUpdateLauncher Launcher() {
        return [this](const std::wstring& anExe, const std::wstring& anArguments, bool aRunAs) {
            calls.push_back({anExe, anArguments, aRunAs});
        };
    }
};

const char kOfferXML[] = "<Info><Vers><Ver V=\"2.0.0.0\" URL=\"http://127.0.0.1/pkg.cab\"/></Vers></Info>";

TEST_F(QVUpdateTest, TheHitIsSentOncePerDayAndOnlyA200CountsAndStartsTheUpdate) {
    TLoopbackServer ok([](const TRecordedRequest&) { return TScriptedReply{HttpReply("200 OK", kOfferXML)}; });
    TLoopbackServer failing(
        [](const TRecordedRequest&) { return TScriptedReply{HttpReply("500 Internal Server Error", kOfferXML)}; });
    const std::wstring offline = L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/api/client.asmx/";

    SYSTEMTIME midnight = LocalNowPlusDays(0);
    midnight.wHour = midnight.wMinute = midnight.wSecond = midnight.wMilliseconds = 0;
    const struct {
        const char* what;
        std::optional<std::wstring> stored; // nothing: no value
        bool due;
    } lastHits[] = {
        {"absent", std::nullopt, true},
        {"empty", std::wstring(), true},
        {"today", DateTimeToStoreText(LocalNowPlusDays(0)), false},
        {"today, date only", DateTimeToStoreText(midnight), false},
        {"yesterday", DateTimeToStoreText(LocalNowPlusDays(-1)), true},
        {"tomorrow", DateTimeToStoreText(LocalNowPlusDays(1)), true},
        {"unreadable", std::wstring(L"not a date"), true},
    };
    const struct {
        unsigned status; // 0: nothing listens
        TLoopbackServer* server;
    } answers[] = {{200, &ok}, {500, &failing}, {0, nullptr}};

    for (const auto& h : lastHits) {
        for (const auto& a : answers) {
            SCOPED_TRACE(testing::Message() << "LastHit " << h.what << ", status " << a.status);
            DeleteRegValue(HKEY_CURRENT_USER, kStoreKey, L"LastHit");
            if (h.stored) {
                ASSERT_TRUE(WriteStoreString(L"LastHit", *h.stored));
            }
            const size_t before = a.server ? a.server->Requests().size() : 0;
            TLaunchLog launches;
            CheckForUpdateWith(a.server ? a.server->URL("/api/client.asmx/") : offline, launches.Launcher());

            const bool reached = h.due && a.status != 0;
            const bool counted = h.due && a.status == 200;
            if (a.server) {
                const auto requests = a.server->Requests();
                ASSERT_EQ(requests.size() - before, reached ? 1u : 0u);
                if (reached) {
                    EXPECT_EQ(requests.back().path, "/api/client.asmx/SendLog");
                    EXPECT_FALSE(InUrlCache(a.server->URL("/api/client.asmx/SendLog")));
                }
            }
            const std::optional<std::wstring> after = StoredLastHit();
            if (counted) {
                ASSERT_TRUE(after.has_value());
                EXPECT_TRUE(IsToday(*after)) << Narrow(*after);
            } else {
                EXPECT_EQ(after, h.stored);
            }
            ASSERT_EQ(launches.calls.size(), counted ? 1u : 0u);
            if (counted) {
                EXPECT_EQ(launches.calls[0].exe, GetAppFileName());
                EXPECT_EQ(launches.calls[0].arguments, L"/UPDATE \"http://127.0.0.1/pkg.cab\"");
                EXPECT_EQ(launches.calls[0].runAs, UpdateStartUsesRunAs(GetWinVersionClass()));
            }
        }
    }

    // The real entry point honours the same rule: with today's hit recorded it sends nothing.
    const std::wstring today = DateTimeToStoreText(LocalNowPlusDays(0));
    ASSERT_TRUE(WriteStoreString(L"LastHit", today));
    const DWORD start = GetTickCount();
    CheckForUpdate();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(ReadStoreString(L"LastHit"), today);
}

// Whatever the 200 answer holds, the hit counts for the day; only a non-empty URL starts anything.
TEST_F(QVUpdateTest, AnAnswerWithoutAUsableUrlCountsAsTheHitAndStartsNothing) {
    std::string padded = "<Info><Vers><Ver V=\"1\" URL=\"http://127.0.0.1/big.cab\"/></Vers><!--";
    padded.append(4u << 20, 'x');
    padded += "--></Info>";
    const struct {
        const char* what;
        std::string body;
        bool launched;
    } cases[] = {
        {"an empty URL", "<Info><Vers><Ver V=\"3.0.0.0\" URL=\"\"/></Vers></Info>", false},
        {"no URL attribute", "<Info><Vers><Ver V=\"3.0.0.0\"/></Vers></Info>", false},
        {"an empty body", "", false},
        {"not XML", "<html><body>Service Unavailable</body>", false},
        {"a URL and no version", "<Info><Vers><Ver V=\"\" URL=\"http://127.0.0.1/a.cab\"/></Vers></Info>", true},
        {"several MB", padded, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TLoopbackServer server([&](const TRecordedRequest&) { return TScriptedReply{HttpReply("200 OK", c.body)}; });
        DeleteRegValue(HKEY_CURRENT_USER, kStoreKey, L"LastHit");
        TLaunchLog launches;
        const DWORD start = GetTickCount();
        CheckForUpdateWith(server.URL("/api/client.asmx/"), launches.Launcher());
        std::printf("%s: %lu ms\n", c.what, static_cast<unsigned long>(GetTickCount() - start));
        EXPECT_EQ(server.Requests().size(), 1u);
        EXPECT_TRUE(IsToday(ReadStoreString(L"LastHit")));
        ASSERT_EQ(launches.calls.size(), c.launched ? 1u : 0u);
        if (c.launched) {
            EXPECT_EQ(launches.calls[0].arguments, L"/UPDATE \"http://127.0.0.1/a.cab\"");
        }
    }
}

std::wstring Repeated(const std::wstring& aPart, size_t aCount) {
    std::wstring text;
    text.reserve(aPart.size() * aCount);
    for (size_t i = 0; i < aCount; ++i)
        text += aPart;
    return text;
}

TEST(ParseUpdateInfo, TakesTheFirstVerOfTheFirstVersByExactName) {
    const std::wstring offer = L"<Ver V=\"1.2.3.4\" URL=\"http://h/u.cab\"/>";
    // Just below and above the size bound, with the offer at the start.
    const std::wstring fits = L"<Info><Vers>" + offer + L"</Vers><!--" +
                              std::wstring(kMaxUpdateInfoLength - 40 - offer.size(), L'x') + L"--></Info>";
    const std::wstring tooLong = fits.substr(0, fits.size() - 10) + std::wstring(50, L'x') + L"--></Info>";
    ASSERT_LE(fits.size(), kMaxUpdateInfoLength);
    ASSERT_GT(tooLong.size(), kMaxUpdateInfoLength);
    const std::wstring deep = Repeated(L"<a>", 100000) + Repeated(L"</a>", 100000);
    const std::wstring manyVers = L"<r>" + Repeated(L"<Other/>", 50000) + L"<Vers>" + offer + L"</Vers></r>";

    const struct {
        const char* what;
        std::wstring xml;
        std::optional<std::pair<std::wstring, std::wstring>> found; // (Version, Url); nothing: unchanged
    } cases[] = {
        {"a plain offer", L"<?xml version=\"1.0\" encoding=\"utf-8\"?><Info><Vers>" + offer + L"</Vers></Info>",
         std::make_pair(L"1.2.3.4", L"http://h/u.cab")},
        {"a processing instruction named Vers", L"<r><?Vers x?><Vers><Ver V=\"1\" URL=\"u\"/></Vers></r>",
         std::make_pair(L"1", L"u")},
        {"other content around",
         L"<r a=\"1\"><!-- c --><?pi x?><Other/>text<Vers x=\"y\">t<Other/><Ver V=\"2\" URL=\"u2\" Extra=\"e\"/>"
         L"</Vers><Vers><Ver V=\"3\" URL=\"u3\"/></Vers></r>",
         std::make_pair(L"2", L"u2")},
        {"two Ver nodes", L"<r><Vers><Ver V=\"1\" URL=\"first\"/><Ver V=\"2\" URL=\"second\"/></Vers></r>",
         std::make_pair(L"1", L"first")},
        {"the first Vers has no Ver", L"<r><Vers/><Vers><Ver V=\"1\" URL=\"u\"/></Vers></r>", std::nullopt},
        {"Ver under the document element", L"<r><Ver V=\"1\" URL=\"u\"/></r>", std::nullopt},
        {"Ver below another element in Vers", L"<r><Vers><x><Ver V=\"1\" URL=\"u\"/></x></Vers></r>", std::nullopt},
        {"the document element named Vers", L"<Vers><Ver V=\"1\" URL=\"u\"/></Vers>", std::nullopt},
        {"vers in lower case", L"<r><vers><Ver V=\"1\" URL=\"u\"/></vers></r>", std::nullopt},
        {"ver in lower case", L"<r><Vers><ver V=\"1\" URL=\"u\"/></Vers></r>", std::nullopt},
        {"url in lower case", L"<r><Vers><Ver V=\"1\" url=\"u\"/></Vers></r>", std::make_pair(L"1", L"")},
        {"a prefixed Vers", L"<r xmlns:n=\"urn:n\"><n:Vers><Ver V=\"1\" URL=\"u\"/></n:Vers></r>", std::nullopt},
        {"a namespaced URL", L"<r><Vers><Ver xmlns:n=\"urn:n\" V=\"1\" n:URL=\"u\"/></Vers></r>",
         std::make_pair(L"1", L"")},
        {"a default namespace", L"<r xmlns=\"urn:d\"><Vers><Ver V=\"1\" URL=\"u\"/></Vers></r>",
         std::make_pair(L"1", L"u")},
        {"no attributes", L"<r><Vers><Ver/></Vers></r>", std::make_pair(L"", L"")},
        {"a URL and an empty version", L"<r><Vers><Ver V=\"\" URL=\"u\"/></Vers></r>", std::make_pair(L"", L"u")},
        {"escaped and non-ASCII text",
         L"<?xml version=\"1.0\" encoding=\"utf-8\"?><r><Vers><Ver V=\"\u00e9\u65e5\" "
         L"URL=\"http://h/a?x=1&amp;y=&quot;2&quot;\"/></Vers></r>",
         std::make_pair(L"\u00e9\u65e5", L"http://h/a?x=1&y=\"2\"")},
        {"unclosed elements", L"<Info><Vers><Ver V=\"1\" URL=\"u\"></Vers></Info>", std::nullopt},
        {"cut short", L"<Info><Vers><Ver V=\"1\" URL=\"u\"/></Vers>", std::nullopt},
        {"not XML", L"Service Unavailable", std::nullopt},
        {"an empty text", L"", std::nullopt},
        {"a document type with an internal entity",
         L"<!DOCTYPE r [<!ENTITY u \"http://evil/\">]><r><Vers><Ver V=\"1\" URL=\"&u;\"/></Vers></r>", std::nullopt},
        {"a lower-case document type", L"<!doctype r><r><Vers><Ver V=\"1\" URL=\"u\"/></Vers></r>", std::nullopt},
        {"just within the size bound", fits, std::make_pair(L"1.2.3.4", L"http://h/u.cab")},
        {"beyond the size bound", tooLong, std::nullopt},
        {"100000 nested elements", deep, std::nullopt},
        {"50000 siblings before Vers", manyVers, std::make_pair(L"1.2.3.4", L"http://h/u.cab")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TItem item;
        item.Version = L"old version";
        item.Url = L"old url";
        item.FileName = L"file";
        item.Dest = L"dest";
        item.Size = 7;
        ParseUpdateInfo(c.xml, item);
        const auto expected = c.found.value_or(std::make_pair(std::wstring(L"old version"), std::wstring(L"old url")));
        EXPECT_EQ(item.Version, expected.first);
        EXPECT_EQ(item.Url, expected.second);
        EXPECT_EQ(item.FileName, L"file");
        EXPECT_EQ(item.Dest, L"dest");
        EXPECT_EQ(item.Size, 7);
    }
}

// External entities and external DTD subsets, pointing at a file and at a loopback server: the
// document is refused and nothing is requested.
TEST(ParseUpdateInfo, ExternalEntitiesAreNeverFetched) {
    TLoopbackServer server([](const TRecordedRequest&) {
        return TScriptedReply{HttpReply("200 OK", "<!ENTITY u \"http://from-server/\">")};
    });
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring file = std::wstring(temp) + L"qv-entity-" + std::to_wstring(GetCurrentProcessId()) + L".ent";
    {
        TUniqueFile f(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(f);
        const std::string content = "<!ENTITY u \"http://from-file/\">";
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(f.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    }
    std::wstring fileUrl = L"file:///" + file;
    for (wchar_t& c : fileUrl)
        if (c == L'\\')
            c = L'/';
    const std::wstring http = server.URL("/");
    const std::wstring body = L"<Info><Vers><Ver V=\"1\" URL=\"&u;\"/></Vers></Info>";
    const std::wstring documents[] = {
        L"<!DOCTYPE Info [<!ENTITY % p SYSTEM \"" + fileUrl + L"\"> %p;]>" + body,
        L"<!DOCTYPE Info [<!ENTITY % p SYSTEM \"" + http + L"p.ent\"> %p;]>" + body,
        L"<!DOCTYPE Info SYSTEM \"" + http + L"info.dtd\">" + body,
        L"<?xml version=\"1.0\"?><!DOCTYPE Info [<!ENTITY e SYSTEM \"" + http +
            L"e.xml\">]><Info><Vers><Ver V=\"1\" URL=\"u\"/></Vers>&e;</Info>",
        L"<!DOCTYPE Info [<!ENTITY e SYSTEM \"" + fileUrl +
            L"\">]><Info><Vers><Ver V=\"1\" URL=\"u\"/></Vers>&e;</Info>",
    };
    for (const auto& d : documents) {
        SCOPED_TRACE(Narrow(d));
        TItem item;
        item.Url = L"old url";
        ParseUpdateInfo(d, item);
        EXPECT_EQ(item.Url, L"old url");
        EXPECT_EQ(item.Version, L"");
    }
    EXPECT_EQ(server.Requests().size(), 0u);
    DeleteFileW(file.c_str());
}

// The parse sets COM up on a thread without it, and leaves a thread's own apartment as it was.
TEST(ParseUpdateInfo, LeavesTheThreadsComStateAsItFoundIt) {
    const struct {
        const char* what;
        std::optional<DWORD> model; // nothing: COM not initialised on the thread
    } cases[] = {{"no COM", std::nullopt},
                 {"single-threaded apartment", COINIT_APARTMENTTHREADED},
                 {"multithreaded apartment", COINIT_MULTITHREADED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TItem item;
        HRESULT afterwards = E_FAIL;
        std::thread([&] {
            if (c.model) {
                ASSERT_EQ(CoInitializeEx(nullptr, *c.model), S_OK);
            }
            ParseUpdateInfo(L"<r><Vers><Ver V=\"1\" URL=\"u\"/></Vers></r>", item);
            // S_OK: COM was not initialised any more; S_FALSE: still initialised in this model.
            afterwards = CoInitializeEx(nullptr, c.model.value_or(COINIT_APARTMENTTHREADED));
            if (SUCCEEDED(afterwards))
                CoUninitialize();
            if (c.model)
                CoUninitialize();
        }).join();
        EXPECT_EQ(item.Url, L"u");
        EXPECT_EQ(afterwards, c.model ? S_FALSE : S_OK);
    }
}

TEST(UpdateStart, ArgumentsQuoteTheUrlAndRunAsFollowsTheWindowsVersion) {
    EXPECT_EQ(UpdateArguments(L"http://h/u.cab"), L"/UPDATE \"http://h/u.cab\"");
    EXPECT_EQ(UpdateArguments(L"http://h/a b.cab"), L"/UPDATE \"http://h/a b.cab\"");
    EXPECT_EQ(UpdateArguments(L""), L"/UPDATE \"\"");
    const struct {
        BYTE winClass;
        bool runAs;
    } cases[] = {{0, false}, {1, false}, {2, false}, {4, false}, {5, false}, {6, false},
                 {8, false}, {9, true},  {10, true}, {11, true}, {12, true}};
    for (const auto& c : cases)
        EXPECT_EQ(UpdateStartUsesRunAs(c.winClass), c.runAs) << static_cast<int>(c.winClass);
}

// Both verbs start the given program with the given arguments (the stand-in browser, which logs
// its second argument to the file named by its first).
TEST(UpdateStart, BothVerbsStartTheProgramWithItsArguments) {
    const std::wstring log = TestBinDir() + L"update-start-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(log.c_str());
    const auto logged = [&](const std::string& aMarker) {
        for (int i = 0; i < 200; ++i) {
            std::string text;
            {
                // Closed again before the pause: the recorder opens the log without sharing.
                TUniqueFile f(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
                if (f) {
                    text.resize(GetFileSize(f.get(), nullptr));
                    DWORD read = 0;
                    ReadFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
                    text.resize(read);
                }
            }
            if (text.find(aMarker) != std::string::npos)
                return true;
            Sleep(50);
        }
        return false;
    };
    const std::wstring recorder = TestBinDir() + L"UrlRecorder.exe";
    StartUpdateProcess(recorder, L"\"" + log + L"\" \"started with open\"", false);
    EXPECT_TRUE(logged("started with open\n"));
    StartUpdateProcess(recorder, L"\"" + log + L"\" \"started with runas\"", true);
    EXPECT_TRUE(logged("started with runas\n"));
    DeleteFileW(log.c_str());
}

} // namespace
