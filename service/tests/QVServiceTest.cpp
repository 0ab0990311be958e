#include "CryptU.h"
#include "QVService.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

std::string Narrow(const std::wstring& aText) {
    return std::string(aText.begin(), aText.end());
}

std::string ClientToken(const std::vector<std::pair<std::wstring, std::wstring>>& aParams) {
    TCryptURL crypt(true);
    for (const auto& p : aParams)
        crypt.SetParameters(p.first, p.second);
    return Narrow(crypt.Encrypt());
}

// A running service over a scratch database and files folder, removed afterwards.
class QVServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/qvservice-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        FDir = dir;
        std::ofstream(FDir + "/update.cab", std::ios::binary) << Content();
    }
    void TearDown() override {
        FService.reset();
        std::remove((FDir + "/update.cab").c_str());
        std::remove((FDir + "/reports.db").c_str());
        rmdir(FDir.c_str());
    }
    void StartService(const std::string& aVersion = "", const std::string& aURL = "") {
        TServiceOptions options;
        options.database = FDir + "/reports.db";
        options.filesDir = FDir;
        options.offerVersion = aVersion;
        options.offerURL = aURL;
        options.maxBody = 4096;
        FService = std::make_unique<TQVService>(options);
        ASSERT_TRUE(FService->Start());
        FClient = std::make_unique<httplib::Client>("127.0.0.1", FService->Port());
    }
    static std::string Content() {
        std::string s(70000, '\0');
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<char>(i * 31 + 7);
        return s;
    }
    httplib::Result Post(const std::string& aPath, const std::string& aBody) {
        return FClient->Post(aPath.c_str(), aBody, "application/x-www-form-urlencoded");
    }

    std::string FDir;
    std::unique_ptr<TQVService> FService;
    std::unique_ptr<httplib::Client> FClient;
};

TEST_F(QVServiceTest, HitIsRecordedAndAnsweredWithTheOffer) {
    StartService("1.0.0.2", "http://127.0.0.1/files/update.cab?a=1&b=2");
    const std::string token = ClientToken(
        {{L"CFG", L"10"}, {L"UID", L"{ABC}"}, {L"VER", L"QUENVAR=1.0.0.1"}, {L"CLS", L""}, {L"SUBID", L"0"}});
    auto res = Post("/api/client.asmx/SendLog", "CR=" + token);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("<Vers><Ver V=\"1.0.0.2\" URL=\"http://127.0.0.1/files/update.cab?a=1&amp;b=2\"/></Vers>"),
              std::string::npos);

    const auto rows = FService->Store().All();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].operation, "SendLog");
    EXPECT_EQ(rows[0].action, 0);
    EXPECT_TRUE(rows[0].accepted);
    EXPECT_EQ(rows[0].cfg, "10");
    EXPECT_EQ(rows[0].uid, "{ABC}");
    EXPECT_EQ(rows[0].ver, "QUENVAR=1.0.0.1");
    EXPECT_EQ(rows[0].cls, "");
    EXPECT_EQ(rows[0].subid, "0");
    EXPECT_FALSE(rows[0].randomizer.empty());
    EXPECT_EQ(rows[0].peer, "127.0.0.1");
    EXPECT_EQ(rows[0].time.size(), 20u);
}

TEST_F(QVServiceTest, OnlyOlderClientsAreOfferedTheUpdate) {
    StartService("1.0.0.10", "http://127.0.0.1/files/update.cab");
    const struct {
        const wchar_t* ver;
        bool offered;
    } cases[] = {
        {L"QUENVAR=1.0.0.9", true},   {L"QUENVAR=0.0.0.0", true},    {L"QUENVAR=1.0.0.10", false},
        {L"QUENVAR=1.0.0.11", false}, {L"QUENVAR=2", false},         {L"QUENVAR=", false},
        {L"QUENVAR=1.0.0.x", false},  {L"QUENVAR=1.0.0.0.1", false}, {L"", false},
    };
    for (const auto& c : cases) {
        const std::string token =
            ClientToken({{L"CFG", L"10"}, {L"UID", L"u"}, {L"VER", c.ver}, {L"CLS", L""}, {L"SUBID", L"0"}});
        auto res = Post("/api/client.asmx/SendLog", "CR=" + token);
        ASSERT_TRUE(res) << Narrow(c.ver);
        EXPECT_EQ(res->status, 200) << Narrow(c.ver);
        if (c.offered)
            EXPECT_NE(res->body.find("<UpdateInfo><Vers><Ver V=\"1.0.0.10\" "
                                     "URL=\"http://127.0.0.1/files/update.cab\"/></Vers></UpdateInfo>"),
                      std::string::npos)
                << Narrow(c.ver);
        else
            EXPECT_NE(res->body.find("<UpdateInfo><Vers></Vers></UpdateInfo>"), std::string::npos) << Narrow(c.ver);
    }
    EXPECT_EQ(FService->Store().All().size(), std::size(cases));
}

TEST_F(QVServiceTest, InstallAndRemovalReports) {
    StartService();
    const std::string token = ClientToken({{L"CFG", L"7"}, {L"UID", L"u1"}, {L"SUBID", L"3"}});
    auto a = Post("/prefix/api/client.asmx/GetXML", "CR=" + token + "&Action=INQV");
    auto b = Post("/api/client.asmx/GetXML", "CR=" + token + "&Action=UNQV");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->status, 200);
    EXPECT_EQ(b->status, 200);
    const auto hit = Post("/api/client.asmx/SendLog", "CR=" + token);
    ASSERT_TRUE(hit);
    EXPECT_NE(hit->body.find("<Vers></Vers>"), std::string::npos);
    EXPECT_EQ(hit->body.find("URL="), std::string::npos);
    const auto rows = FService->Store().All();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].action, 1);
    EXPECT_EQ(rows[1].action, 2);
    EXPECT_EQ(rows[0].uid, "u1");
    EXPECT_EQ(rows[1].subid, "3");
    EXPECT_EQ(rows[0].ver, "");
}

TEST_F(QVServiceTest, BadRequestsAreRejectedAndRecorded) {
    StartService();
    std::string tampered = ClientToken({{L"UID", L"u"}});
    tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
    const struct {
        const char* path;
        std::string body;
        const char* reason;
    } cases[] = {
        {"/api/client.asmx/SendLog", "", "missing CR"},
        {"/api/client.asmx/SendLog", "X=1", "missing CR"},
        {"/api/client.asmx/SendLog", "CR=" + tampered, "malformed or tampered token"},
        {"/api/client.asmx/SendLog", "CR=abc", "malformed or tampered token"},
        {"/api/client.asmx/SendLog", "CR=%00%01", "malformed or tampered token"},
        {"/api/client.asmx/GetXML", "CR=" + ClientToken({{L"UID", L"u"}}) + "&Action=NOPE", "unknown action"},
        {"/api/client.asmx/GetXML", "CR=" + ClientToken({{L"UID", L"u"}}), "unknown action"},
    };
    for (const auto& c : cases) {
        auto res = Post(c.path, c.body);
        ASSERT_TRUE(res) << c.body;
        EXPECT_EQ(res->status, 400) << c.body;
    }
    const auto rows = FService->Store().All();
    ASSERT_EQ(rows.size(), std::size(cases));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_FALSE(rows[i].accepted);
        EXPECT_EQ(rows[i].reason, cases[i].reason) << i;
    }

    auto big = Post("/api/client.asmx/SendLog", "CR=" + std::string(100000, 'A'));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
    auto unknown = Post("/api/other.asmx/SendLog", "CR=x");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    auto get = FClient->Get("/api/client.asmx/SendLog");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 404);
    EXPECT_EQ(FService->Store().All().size(), std::size(cases));
}

TEST_F(QVServiceTest, FilesAreServedWithRanges) {
    StartService();
    auto whole = FClient->Get("/files/update.cab");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_EQ(whole->body, Content());

    auto part = FClient->Get("/files/update.cab", {{"Range", "bytes=500-"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, Content().substr(500));
    EXPECT_EQ(part->get_header_value("Content-Range"), "bytes 500-69999/70000");

    for (const char* missing : {"/files/none.cab", "/files/../etc/passwd", "/files/.hidden", "/files/"}) {
        auto res = FClient->Get(missing);
        ASSERT_TRUE(res) << missing;
        EXPECT_EQ(res->status, 404) << missing;
    }
}

TEST(QVServiceVersionTest, ClientVersionComparisonTable) {
    const struct {
        const char* client;
        const char* offer;
        bool older;
    } cases[] = {
        {"QUENVAR=1.0.0.1", "1.0.0.2", true},
        {"QUENVAR=1.0.0.2", "1.0.0.2", false},
        {"QUENVAR=1.0.0.3", "1.0.0.2", false},
        {"QUENVAR=1.0.0.9", "1.0.0.10", true},
        {"QUENVAR=1.0.0.10", "1.0.0.9", false},
        {"QUENVAR=0.9.65535.65535", "1.0.0.0", true},
        {"QUENVAR=1.2", "1.2.0.0", false},
        {"QUENVAR=1.2.0.0", "1.2", false},
        {"QUENVAR=1", "1.0.0.1", true},
        {"QUENVAR=1.1", "1.0.5", false},
        {"QUENVAR=01.0.0.1", "1.0.0.2", true},
        {"A=B=1.0", "1.0.0.1", true},
        // The text after the last "=" is the version; without "=" the whole text is.
        {"1.0.0.1", "1.0.0.2", true},
        {"1.0.0.2", "1.0.0.2", false},
        {"QUENVAR 1.0.0.1", "1.0.0.2", false},
        // Unparseable client versions are never offered anything.
        {"", "1.0.0.2", false},
        {"QUENVAR=", "1.0.0.2", false},
        {"QUENVAR=1.0.0.1=", "1.0.0.2", false},
        {"QUENVAR=abc", "1.0.0.2", false},
        {"QUENVAR=1.0.0.1a", "1.0.0.2", false},
        {"QUENVAR=1.0.0.0.1", "1.0.0.2", false},
        {"QUENVAR=1..0", "1.0.0.2", false},
        {"QUENVAR=1.0.", "1.0.0.2", false},
        {"QUENVAR=.1", "1.0.0.2", false},
        {"QUENVAR=1.0.65536", "1.0.0.2", false},
        {"QUENVAR=1.0.99999999999999999999", "1.0.0.2", false},
        {"QUENVAR=-1.0", "1.0.0.2", false},
        {"QUENVAR=+1.0", "1.0.0.2", false},
        {"QUENVAR= 1.0", "1.0.0.2", false},
        {"QUENVAR=1.0 ", "1.0.0.2", false},
        // Nor is anything offered when the offered version does not parse.
        {"QUENVAR=1.0.0.1", "", false},
        {"QUENVAR=1.0.0.1", "1.0.0.2 beta", false},
        {"QUENVAR=0", "65536", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsOlderVersion(c.client, c.offer), c.older) << c.client << " vs " << c.offer;

    EXPECT_EQ(ParseVersion("65535.0.7"), (TVersion{65535, 0, 7, 0}));
    EXPECT_EQ(ParseVersion("3"), (TVersion{3, 0, 0, 0}));
    EXPECT_FALSE(ParseVersion("1.2.3.4.5"));
}

TEST(QVServiceTokenTest, DecodeTokenTable) {
    std::map<std::string, std::string> params;
    EXPECT_FALSE(DecodeToken("", params));
    EXPECT_FALSE(DecodeToken("A", params));
    EXPECT_FALSE(DecodeToken("!!!!", params));
    EXPECT_TRUE(params.empty());
    ASSERT_TRUE(DecodeToken(ClientToken({{L"uid", L"x\ty"}}), params));
    EXPECT_EQ(params["UID"], "x\ty");
    EXPECT_EQ(params.count("RANDOMIZER"), 1u);
}

} // namespace
