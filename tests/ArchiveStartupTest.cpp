// The program's start-up registers the CAB handler before any code runs: this program links the
// program body's unit and never registers anything itself.
#include "QVMain.h"
#include "archive/ArchiveU.h"

#include <gtest/gtest.h>

TEST(ArchiveStartup, CabHandlerRegisteredDuringModuleInitialisation) {
    EXPECT_EQ(RunMode, rmWindow); // links the program body's unit and its initialisation
    EXPECT_EQ(ArchiveManager().Count(), 1);
    const TArchiveInfo info = ArchiveManager().Item(0);
    EXPECT_EQ(info.typ, 1u);
    EXPECT_EQ(info.extName, L"CAB");
    EXPECT_EQ(info.dllName, L"");
    EXPECT_TRUE(info.supported);
    TArchive a(L"C:\\update.cab");
    EXPECT_EQ(a.ArchiveType(), 1u);
}
