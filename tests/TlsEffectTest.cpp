// What a level does to TLS on the machine, seen by a program that uses SCHANNEL: fresh TlsProbe
// processes shake hands with native openssl servers on 127.0.0.1 that speak only TLS 1.1 or only
// TLS 1.2, and with a server that sends data with its last handshake flight (TlsEffect.sh starts
// them and passes their ports).
#include "LevelExpectations.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::wstring Port(const char* aVariable) {
    const char* value = std::getenv(aVariable);
    return value ? std::wstring(value, value + std::char_traits<char>::length(value)) : std::wstring();
}

// 0 connected, 1 refused, 2 no connection.
long Probe(const std::wstring& aPort, const wchar_t* aProtocols = nullptr) {
    std::wstring command = L"\"" + TestBinDir() + L"TlsProbe.exe\" " + aPort;
    if (aProtocols)
        command += std::wstring(L" ") + aProtocols;
    return RunProcess(command);
}

long RunQuenvar(const std::wstring& anArgs) {
    return RunProcess(L"\"" + QuenvarExe() + L"\" " + anArgs);
}

constexpr long kConnected = 0, kRefused = 1;
const wchar_t kAskForTls11[] = L"200"; // SP_PROT_TLS1_1_CLIENT

TEST(TlsEffect, LevelsDecideWhichProtocolsAProgramCanUse) {
    const std::wstring tls11 = Port("QV_TLS11_PORT"), tls12 = Port("QV_TLS12_PORT");
    ASSERT_FALSE(tls11.empty() || tls12.empty()) << "run through TlsEffect.sh";
    TLevelStateGuard machine;
    TUrlRecorder pages;
    machine.Prepare();
    ASSERT_EQ(Probe(tls11), kConnected) << "Wine's TLS library refuses TLS 1.1 before any switch matters";
    ASSERT_EQ(Probe(tls12), kConnected);

    ASSERT_EQ(RunQuenvar(L"SETLEVEL 2"), 0);
    EXPECT_EQ(Probe(tls11), kRefused);
    EXPECT_EQ(Probe(tls11, kAskForTls11), kRefused);
    EXPECT_EQ(Probe(tls12), kConnected);

    // Optimal: TLS 1.1 is no longer offered, but a program that asks for it still gets it.
    ASSERT_EQ(RunQuenvar(L"SETLEVEL 1"), 0);
    EXPECT_EQ(Probe(tls11), kRefused);
    EXPECT_EQ(Probe(tls11, kAskForTls11), kConnected);
    EXPECT_EQ(Probe(tls12), kConnected);

    ASSERT_EQ(RunQuenvar(L"SETLEVEL 0"), 0);
    EXPECT_EQ(Probe(tls11), kConnected);
    EXPECT_EQ(Probe(tls12), kConnected);
}

// A record that arrives with the server's last handshake flight belongs to the connection: the
// client handshake hands it back whole instead of dropping it.
TEST(TlsEffect, DataBehindTheLastHandshakeRecordIsHandedBack) {
    const std::wstring greeter = Port("QV_GREETER_PORT");
    ASSERT_FALSE(greeter.empty()) << "run through TlsEffect.sh";
    EXPECT_EQ(Probe(greeter, L"0 unread"), kConnected);
}

} // namespace
