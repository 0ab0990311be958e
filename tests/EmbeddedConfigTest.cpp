// Reads this test program's own "CONFIG" and version resources, as the executable reads its own.
#include "QVSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(EmbeddedConfig, LoadedFromTheRunningExecutableAndFreedAgain) {
    EXPECT_EQ(GetConfigValue(L"CFG_ID", L"1"), L"1");
    ASSERT_NO_THROW(LoadEmbeddedConfig());
    EXPECT_EQ(GetConfigValue(L"CFG_ID", L"1"), L"42");
    EXPECT_EQ(GetConfigValue(L"cfg_id", L"1"), L"42");
    EXPECT_EQ(GetConfigValue(L"HIT_URL", L""), L"http://127.0.0.1:8080/api/client.asmx/");
    EXPECT_EQ(GetConfigValue(L"CFG", L"dflt"), L"dflt");
    FreeEmbeddedConfig();
    EXPECT_EQ(GetConfigValue(L"CFG_ID", L"1"), L"1");
}

TEST(EmbeddedConfig, IdentityCarriesTheConfigurationAndTheFileVersion) {
    TRegistrySandbox sandbox;
    LoadEmbeddedConfig();
    const TCfgWS identity;
    FreeEmbeddedConfig();
    EXPECT_EQ(identity.CFG, L"42");
    EXPECT_EQ(identity.VER, L"QUENVAR=4.5.6.7");
    EXPECT_EQ(identity.CLS, L"");
    EXPECT_EQ(identity.SUBID, L"0");
    EXPECT_EQ(ReadStoreString(L"UID"), identity.UID);
}

} // namespace
