#include "QVVersionTest.h"
#include "RegistryU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

TEST(VersionTextAtLeast63, OnlyTheFirstAndThirdCharactersCount) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"6.3", true},       {L"6.30", true},      {L"6.4", true},  {L"9.9", true},   {L"6x3", true},
        {L" 6.3 ", true},     {L"\t6.3\r\n", true}, {L"6.2", false}, {L"6.1", false},  {L"5.1", false},
        {L"7.0", false},      {L"10.0", false},     {L"", false},    {L"6", false},    {L"6.", false},
        {L"x.3", false},      {L"6.x", false},      {L"   ", false}, {L" 6 3", true}, {L"\u0666.3", false},
        {L"6.\u0663", false},
    };
    for (const auto& c : cases) {
        const std::wstring text = c.first;
        EXPECT_EQ(VersionTextAtLeast63(text), c.second) << std::string(text.begin(), text.end());
    }
}

TEST(CurrentVersionAtLeast63, ReadsTheMachinesVersionTextAndFailsToFalse) {
    TRegistrySandbox sandbox;
    EXPECT_FALSE(CurrentVersionAtLeast63());
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", L" 6.3 "));
    EXPECT_TRUE(CurrentVersionAtLeast63());
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", L"6.1"));
    EXPECT_FALSE(CurrentVersionAtLeast63());
    ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", 63));
    EXPECT_FALSE(CurrentVersionAtLeast63());
    const wchar_t expandable[] = L"6.3";
    ASSERT_TRUE(WriteRegValue(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentVersion", sizeof(expandable), expandable,
                              REG_EXPAND_SZ));
    EXPECT_FALSE(CurrentVersionAtLeast63());
}

} // namespace
