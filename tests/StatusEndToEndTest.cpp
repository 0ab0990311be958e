// "Quenvar.exe STATUS" run against the prefix's real registry: the report after each level, after
// another program's change, for a stored level out of range, and for paths it cannot write.
#include "LevelExpectations.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(L"\"" + QuenvarExe() + L"\" " + anArgs);
}

std::wstring ReportPath() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"qv-status.json";
}

std::string ReadReport() {
    std::ifstream in(std::filesystem::path(ReportPath()), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Has(const std::string& aJson, const std::string& aPart) {
    return aJson.find(aPart) != std::string::npos;
}

// The client side of one protocol in the report's self-test.
std::string ClientResult(const std::string& aJson, const std::string& aProtocol) {
    const size_t at = aJson.find("{\"protocol\": \"" + aProtocol + "\", \"client\": {\"result\": \"");
    if (at == std::string::npos)
        return "missing";
    const size_t start = aJson.find("\"result\": \"", at) + 11;
    return aJson.substr(start, aJson.find('"', start) - start);
}

class StatusEndToEnd : public ::testing::Test {
protected:
    TLevelStateGuard FMachine;
    TUrlRecorder FPages; // SETLEVEL opens its protection page: recorded, not shown

    void SetUp() override {
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
        FMachine.Prepare();
        DeleteFileW(ReportPath().c_str());
    }
    void TearDown() override {
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
        DeleteFileW(ReportPath().c_str());
    }
};

TEST_F(StatusEndToEnd, CompliantAfterALevelAndTheExactDeviationAfterAnotherProgramsChange) {
    ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0);
    ASSERT_EQ(RunQuenvar(L"/status \"" + ReportPath() + L"\""), 0);
    std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": true")) << json;
    EXPECT_TRUE(Has(json, "\"level\": 2,"));
    EXPECT_TRUE(Has(json, "\"deviations\": 0,"));
    EXPECT_TRUE(Has(json, "\"product\": \"Quenvar\""));
    EXPECT_TRUE(Has(json, "\"restartPending\": true")); // SCHANNEL reads its switches at start-up
    EXPECT_FALSE(Has(json, "\"matches\": false"));

    // Another program switches TLS 1.0 back on for clients.
    ASSERT_EQ(RunProcess(L"reg add \"HKLM\\" + std::wstring(kProtocolsKey) +
                         L"TLS 1.0\\Client\" /v Enabled /t REG_DWORD /d 1 /f"),
              0);
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": false")) << json;
    EXPECT_TRUE(Has(json, "\"deviations\": 1,"));
    EXPECT_TRUE(Has(json, "{\"path\": \"HKLM\\\\SYSTEM\\\\CurrentControlSet\\\\Control\\\\SecurityProviders\\\\"
                          "SCHANNEL\\\\Protocols\\\\TLS 1.0\\\\Client\", \"value\": \"Enabled\", \"expected\": \"0\", "
                          "\"actual\": \"1\", \"judged\": true, \"matches\": false}"))
        << json;
}

// Internet Explorer's options are judged by the value in effect: the default an absent
// SecureProtocols stands for, and a "Turn off encryption support" policy over the user's value.
TEST_F(StatusEndToEnd, InternetExplorerOptionsAreJudgedByTheValueInEffect) {
    ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0);
    ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue));
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": false")) << json;
    EXPECT_TRUE(Has(json, "\"deviations\": 3,")); // SSL 3.0, TLS 1.0 and 1.1 are ticked by default
    EXPECT_TRUE(Has(json, "\"value\": \"SecureProtocols (option TLS1.0)\", \"expected\": \"0x00000A20\", "
                          "\"actual\": \"absent (default 0x00000AA0)\", \"judged\": true, \"matches\": false}"))
        << json;

    ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0); // writes SecureProtocols again
    ASSERT_EQ(RunProcess(L"reg add \"HKLM\\" + std::wstring(kIEPolicyPath) +
                         L"\" /v SecureProtocols /t REG_DWORD /d 0x880 /f"),
              0);
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    json = ReadReport();
    EXPECT_TRUE(Has(json, "\"deviations\": 1,")) << json;
    EXPECT_TRUE(Has(json, "\"value\": \"SecureProtocols (option TLS1.0) (set by policy)\", \"expected\": "
                          "\"0x00000800\", \"actual\": \"0x00000880\", \"judged\": true, \"matches\": false}"))
        << json;
}

// SCHANNEL's own client answers follow the switches each level writes.
TEST_F(StatusEndToEnd, TheSelfTestsClientProbesAgreeWithTheRegistryAfterEachLevel) {
    const struct {
        const wchar_t* level;
        const char* tls10;
        const char* tls11;
        const char* tls12;
    } rows[] = {{L"2", "refused", "refused", "available"},
                {L"1", "available", "available", "available"},
                {L"0", "available", "available", "available"}};
    for (const auto& row : rows) {
        ASSERT_EQ(RunQuenvar(L"SETLEVEL " + std::wstring(row.level)), 0);
        ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
        const std::string json = ReadReport();
        EXPECT_EQ(ClientResult(json, "TLS 1.0"), row.tls10) << Narrow(row.level) << json;
        EXPECT_EQ(ClientResult(json, "TLS 1.1"), row.tls11) << Narrow(row.level);
        EXPECT_EQ(ClientResult(json, "TLS 1.2"), row.tls12) << Narrow(row.level);
        EXPECT_TRUE(Has(json, "\"disagreements\": []")) << json;
        // Wine's SCHANNEL has no server side: not measured rather than guessed.
        EXPECT_TRUE(Has(json, "\"server\": {\"result\": \"not measurable\""));
    }
}

TEST_F(StatusEndToEnd, OutOfRangeLevelsUnwritablePathsAndNoConsoleEndWithExitZero) {
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kStoreKey, L"Level", 7));
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    const std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"storedLevel\": 7,")) << json;
    EXPECT_TRUE(Has(json, "\"level\": 2,"));
    EXPECT_TRUE(Has(json, "\"compliant\": false")); // Maximum was never applied

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"qv-no-such-folder";
    EXPECT_EQ(RunQuenvar(L"STATUS \"" + folder + L"\\report.json\""), 0);
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(RunQuenvar(L"STATUS \"\\\\?\\Z:\\\""), 0);
    EXPECT_EQ(RunQuenvar(L"STATUS"), 0); // no file name, and no console to attach to
}

} // namespace
