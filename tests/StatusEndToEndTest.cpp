// "Quenvar.exe STATUS" run against the prefix's real registry: the report after each level, after
// another program's change, for a stored level out of range, and for paths it cannot write.
#include "LevelExpectations.h"
#include "QVMachine.h"
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

// A level change as the machine sees it: the SETLEVEL process (the machine's part), then the user's
// own instance noticing the new level (/userlevel: the user's browser options).
long SetLevel(const std::wstring& anArgs) {
    const long code = RunQuenvar(anArgs);
    if (code == 0) {
        EXPECT_EQ(RunQuenvar(L"/userlevel"), 0);
    }
    return code;
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
    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
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
                          "\"actual\": \"1\", \"judged\": true, \"matches\": false, \"setByPolicy\": null, "
                          "\"sinceUpdate\": false}"))
        << json;
}

// Internet Explorer's options are judged by the value in effect: the default an absent
// SecureProtocols stands for, and a "Turn off encryption support" policy over the user's value.
TEST_F(StatusEndToEnd, InternetExplorerOptionsAreJudgedByTheValueInEffect) {
    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
    ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue));
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": false")) << json;
    EXPECT_TRUE(Has(json, "\"deviations\": 3,")); // SSL 3.0, TLS 1.0 and 1.1 are ticked by default
    EXPECT_TRUE(Has(json, "\"value\": \"SecureProtocols (option TLS1.0)\", \"expected\": \"0x00000A20\", "
                          "\"actual\": \"absent (default 0x00000AA0)\", \"judged\": true, \"matches\": false, "
                          "\"setByPolicy\": null"))
        << json;

    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0); // the user's part writes SecureProtocols again
    ASSERT_EQ(RunProcess(L"reg add \"HKLM\\" + std::wstring(kIEPolicyPath) +
                         L"\" /v SecureProtocols /t REG_DWORD /d 0x880 /f"),
              0);
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    json = ReadReport();
    EXPECT_TRUE(Has(json, "\"deviations\": 1,")) << json;
    EXPECT_TRUE(Has(json, "\"value\": \"SecureProtocols (option TLS1.0) (set by policy)\", \"expected\": "
                          "\"0x00000800\", \"actual\": \"0x00000880\", \"judged\": true, \"matches\": false, "
                          "\"setByPolicy\": \"Group Policy\""))
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
        ASSERT_EQ(SetLevel(L"SETLEVEL " + std::wstring(row.level)), 0);
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

// /exitcode turns the verdict into the exit code, before or after the file name; without it the
// exit code stays 0.
TEST_F(StatusEndToEnd, TheExitCodeSwitchAnswersWhetherTheMachineIsCompliant) {
    const std::wstring file = L"\"" + ReportPath() + L"\"";
    const struct {
        const wchar_t* level;
        std::wstring args;
        long exitCode;
    } rows[] = {{L"0", L"/status /exitcode", 1},         {L"0", L"/status", 0},
                {L"0", L"-STATUS " + file, 0},           {L"0", L"/status " + file + L" -ExitCode", 1},
                {L"2", L"/status /exitcode", 0},         {L"2", L"/status " + file + L" /exitcode", 0},
                {L"2", L"/status /EXITCODE " + file, 0}, {L"2", L"/status", 0}};
    std::wstring applied;
    for (const auto& row : rows) {
        if (applied != row.level) {
            ASSERT_EQ(SetLevel(L"/setlevel " + std::wstring(row.level)), 0);
            applied = row.level;
        }
        DeleteFileW(ReportPath().c_str());
        EXPECT_EQ(RunQuenvar(row.args), row.exitCode) << Narrow(row.args);
        const bool compliant = std::wstring(row.level) == L"2";
        if (row.args.find(file) != std::wstring::npos) {
            EXPECT_TRUE(Has(ReadReport(), compliant ? "\"compliant\": true" : "\"compliant\": false"))
                << Narrow(row.args);
        }
    }
    // At a compliant level, a report that cannot be written still answers "not compliant".
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(RunQuenvar(L"/status \"" + std::wstring(temp) + L"qv-no-such-folder\\r.json\" /exitcode"), 1);
}

// Every setting's line in the report that does not match.
std::vector<std::string> Deviating(const std::string& aJson) {
    std::vector<std::string> lines;
    std::istringstream in(aJson);
    for (std::string line; std::getline(in, line);)
        if (line.find("\"matches\": false") != std::string::npos)
            lines.push_back(line);
    return lines;
}

// On Windows 10 the suite order is judged by its strength: a stricter list holds, a weaker one is
// a deviation, and one the MDM policy store sets is the organization's, which no level rewrites.
TEST_F(StatusEndToEnd, SuiteOrdersAreJudgedByStrengthAndPolicyOwnedOnesAreLeftAlone) {
    const TWineVersionForQuenvar windows10(L"win10");
    const TKeyTreeGuard mdm(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\PolicyManager\\current\\device\\Cryptography",
                            ViewAccess(true));
    const std::wstring order = L"HKLM\\SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";
    const std::wstring strict = L"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
    const auto setOrder = [&](const std::wstring& aList) {
        ASSERT_EQ(RunProcess(L"reg add \"" + order + L"\" /v Functions /t REG_SZ /d \"" + aList + L"\" /f"), 0);
    };
    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    EXPECT_TRUE(Has(ReadReport(), "\"compliant\": true")) << ReadReport();

    setOrder(strict);
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    EXPECT_TRUE(Has(ReadReport(), "\"compliant\": true")) << ReadReport();

    setOrder(strict + L",TLS_RSA_WITH_AES_128_CBC_SHA");
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": false")) << json;
    ASSERT_EQ(Deviating(json).size(), 1u) << json;
    EXPECT_TRUE(Has(Deviating(json)[0], "TLS_RSA_WITH_AES_128_CBC_SHA is weaker than the level allows"))
        << Deviating(json)[0];
    EXPECT_TRUE(Has(Deviating(json)[0], "\"setByPolicy\": null"));

    // Intune sets the same list: the organization's, reported and kept through another SETLEVEL.
    setOrder(strict);
    ASSERT_EQ(RunProcess(L"reg add \"HKLM\\SOFTWARE\\Microsoft\\PolicyManager\\current\\device\\Cryptography\" /v "
                         L"TLSCipherSuites /t REG_SZ /d \"" +
                         strict + L"\" /f /reg:64"),
              0);
    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": true")) << json;
    EXPECT_TRUE(Has(json, "\"actual\": \"Set by your organization's policy (stricter than Maximum)\"")) << json;
    EXPECT_TRUE(Has(json, "\"setByPolicy\": \"MDM\""));
    std::wstring text;
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, order.substr(5), L"Functions", text));
    EXPECT_EQ(text, strict);
    // Off leaves it to the policy too.
    ASSERT_EQ(SetLevel(L"SETLEVEL 0"), 0);
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, order.substr(5), L"Functions", text));
    EXPECT_EQ(text, strict);
}

// A level applied on Windows 7 and checked after Wine reports Windows 10: the settings Windows 10
// adds are named as the update's, not as another program's changes.
TEST_F(StatusEndToEnd, SettingsAFeatureUpdateAddsAreReportedAsTheUpdates) {
    ASSERT_EQ(SetLevel(L"SETLEVEL 2"), 0);
    const TWineVersionForQuenvar windows10(L"win10");
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    const std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"compliant\": false")) << json;
    EXPECT_TRUE(Has(json, "\"appliedOnBuild\": 7601,")) << json;
    const std::vector<std::string> deviating = Deviating(json);
    EXPECT_GE(deviating.size(), 4u) << json; // three key sizes and the suite order
    for (const std::string& line : deviating)
        EXPECT_TRUE(Has(line, "\"sinceUpdate\": true")) << line;
}

// A machine an earlier version levelled kept the level in the user's store only. The first run
// of this version that reads it moves it to the machine, and nothing is lost on the way.
TEST_F(StatusEndToEnd, AnOldPerUserLevelBecomesTheMachinesLevel) {
    ASSERT_TRUE(DeleteMachineLevel());
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kStoreKey, L"Level", lOptimal));
    ASSERT_EQ(RunQuenvar(L"STATUS \"" + ReportPath() + L"\""), 0);
    const std::string json = ReadReport();
    EXPECT_TRUE(Has(json, "\"storedLevel\": 1,")) << json;
    EXPECT_TRUE(Has(json, "\"level\": 1,"));
    TRegKey machine;
    TRegValueData level;
    DWORD number = 0;
    ASSERT_EQ(machine.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_READ | ViewAccess(true)), ERROR_SUCCESS);
    ASSERT_EQ(machine.Read(kLevelValue, level), ERROR_SUCCESS);
    EXPECT_TRUE(RegDWordOf(level, number));
    EXPECT_EQ(number, DWORD(lOptimal));
    int old = -1;
    EXPECT_FALSE(ReadRegDWord(HKEY_CURRENT_USER, kStoreKey, L"Level", old)) << "moved, not copied";
}

TEST_F(StatusEndToEnd, OutOfRangeLevelsUnwritablePathsAndNoConsoleEndWithExitZero) {
    // The machine's level as another program may have left it.
    TRegKey machine;
    const DWORD seven = 7;
    ASSERT_EQ(
        machine.Create(HKEY_LOCAL_MACHINE, kMachineKey, KEY_SET_VALUE | ViewAccess(true), REG_OPTION_NON_VOLATILE),
        ERROR_SUCCESS);
    ASSERT_EQ(machine.Write(kLevelValue, REG_DWORD, &seven, sizeof(seven)), ERROR_SUCCESS);
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
