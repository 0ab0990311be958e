// winsock2.h must come before windows.h.
#include "LoopbackServer.h"

#include "CryptU.h"
#include "QVUpdate.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

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

} // namespace
