#include "SafePathU.h"

#include <gtest/gtest.h>

TEST(IsSafeRelativePath, Table) {
    const struct {
        const wchar_t* name;
        bool safe;
        bool plain;
    } cases[] = {
        {L"a.txt", true, true},
        {L"sub\\a.txt", true, false},
        {L"sub/a.txt", true, false},
        {L"a..b.txt", true, true},
        {L"..a", true, true},
        {L".hidden", true, true},
        {L"dir.\\file", true, false},
        {L"console.txt", true, true},
        {L"com10", true, true},
        {L"", false, false},
        {L"\\x", false, false},
        {L"/x", false, false},
        {L"C:x", false, false},
        {L"C:\\x", false, false},
        {L"\\\\server\\share\\x", false, false},
        {L"\\\\.\\PhysicalDrive0", false, false},
        {L"\\\\?\\C:\\x", false, false},
        {L"..", false, false},
        {L"..\\x", false, false},
        {L"../x", false, false},
        {L"a\\..\\..\\x", false, false},
        {L"a/../x", false, false},
        {L"a\\..", false, false},
        {L".", false, false},
        {L".. ", false, false},
        {L"...", false, false},
        {L"a\\\\b", false, false},
        {L"a\\", false, false},
        {L"file.txt:stream", false, false},
        {L"CON", false, false},
        {L"nul.txt", false, false},
        {L"sub\\Com1", false, false},
        {L"LPT9.log", false, false},
        {L"aux .txt", false, false},
        {L"a\tb", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.name), c.safe) << c.name;
        EXPECT_EQ(IsPlainFileName(c.name), c.plain) << c.name;
    }
}
