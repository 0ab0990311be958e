// The archive framework with handlers of its own: registry lookups, handler selection, the
// support checks and the error texts that do not depend on a format.
#include "archive/ArchiveU.h"

#include <gtest/gtest.h>

namespace {

// A handler that supports neither streams nor adding; its content is fixed.
class TPlainArchive : public TArchiveFrame {
public:
    using TArchiveFrame::TArchiveFrame;
    static int Initialized;
    bool Initialize() override {
        if (!TArchiveFrame::Initialize())
            return false;
        ++Initialized;
        FFileList = {L"one", L"two"};
        return true;
    }
    bool GetContents(TStrings& aList) override {
        if (!TArchiveFrame::GetContents(aList))
            return false;
        aList.insert(aList.end(), FFileList.begin(), FFileList.end());
        return true;
    }
    bool DoDecompressToStream(const std::wstring& FlName, TByteStream* ResStream) override {
        if (!TArchiveFrame::DoDecompressToStream(FlName, ResStream))
            return false;
        if (FlName == L"raise")
            throw std::runtime_error("handler failure \xC3\xA9");
        const std::string text = FlName == L"bom" ? "\xEF\xBB\xBFline1\r\nline2" : "a\rb\nc\r\n\r\nd";
        ResStream->Write(text.data(), static_cast<std::int64_t>(text.size()));
        return true;
    }
};
int TPlainArchive::Initialized = 0;

class ArchiveFramework : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterArchiveHandler(7, ArchiveClassOf<TPlainArchive>, L"TST", L"");
        RegisterArchiveHandler(8, ArchiveClassOf<TPlainArchive>, L"DLX", L"missing-library.dll");
        RegisterArchiveHandler(7, ArchiveClassOf<TPlainArchive>, L"DUP", L"");
    }
    std::wstring Err(const std::wstring& aFunction, const std::wstring& aMessage) {
        return FormatArchiveError(aMessage, aFunction);
    }
};

} // namespace

TEST(FormatArchiveError, Layout) {
    EXPECT_EQ(FormatArchiveError(L"parameter TargetDit (string) is empty!", L"DecompressToDir"),
              L"Internal error in module \"ArchivesClass\": \r\nFunction \"DecompressToDir\" - parameter TargetDit "
              L"(string) is empty!");
    EXPECT_EQ(FormatArchiveError(L"", L""), L"Internal error in module \"ArchivesClass\"");
    EXPECT_EQ(FormatArchiveError(L"m", L""), L"Internal error in module \"ArchivesClass\": \r\nm");
    EXPECT_EQ(FormatArchiveError(L"", L"F"), L"Internal error in module \"ArchivesClass\": \r\nFunction \"F\"");
}

TEST(DecodeTextLines, BomsAndLineEnds) {
    const struct {
        std::string bytes;
        std::wstring text;
    } cases[] = {{"", L""},
                 {"a", L"a\r\n"},
                 {"a\rb\nc\r\n\r\nd", L"a\r\nb\r\nc\r\n\r\nd\r\n"},
                 {"\xEF\xBB\xBF\xC3\xA9t\xC3\xA9", L"\u00E9t\u00E9\r\n"},
                 {std::string("\xFF\xFEh\0i\0", 6), L"hi\r\n"},
                 {std::string("\xFE\xFF\0h\0i", 6), L"hi\r\n"},
                 {"x\r\n", L"x\r\n"}};
    for (const auto& c : cases)
        EXPECT_EQ(DecodeTextLines(std::vector<std::uint8_t>(c.bytes.begin(), c.bytes.end())), c.text) << c.bytes;
}

TEST_F(ArchiveFramework, RegistryLookups) {
    TArchiveManager& m = ArchiveManager();
    EXPECT_TRUE(m.IsRegistered(7));
    EXPECT_TRUE(m.IsSupported(7));
    EXPECT_TRUE(m.IsRegistered(8));
    EXPECT_FALSE(m.IsSupported(8)) << "its library is not in the program's folder";
    EXPECT_EQ(m.GetExtName(7), L"TST") << "the first registration wins";
    EXPECT_EQ(m.GetLibraryName(8), L"missing-library.dll");
    EXPECT_EQ(m.GetExtName(99), L"");
    EXPECT_EQ(m.IndexOf(99), -1);
    TArchive a(L"x.tst");
    EXPECT_EQ(m.CreateInstance(a, 99), nullptr);
    EXPECT_EQ(a.ArchiveTypeFromExt(L".dup"), 7u) << "found by its extension, but it names the first entry's type";
    EXPECT_EQ(a.ArchiveTypeFromExt(L".TsT"), 7u);
    EXPECT_EQ(a.ArchiveTypeFromExt(L"tst"), 0u);
    EXPECT_EQ(a.ArchiveTypeName(8, true), L"missing-library.dll");
    EXPECT_EQ(a.ArchiveTypeName(8, false), L"DLX");
    EXPECT_FALSE(a.ArchiveIsAvailable(8));
    EXPECT_EQ(a.ErrResult(), L"");
    TStrings names;
    EXPECT_TRUE(a.AvailableArchiveNames(&names));
    EXPECT_EQ(std::count(names.begin(), names.end(), L"TST"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), L"DLX"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), L"DUP"), 1) << "listed by its own entry, looked up by number";
}

TEST_F(ArchiveFramework, SelectionByExtensionAndType) {
    TArchive a(L"C:\\some\\file.TST");
    EXPECT_EQ(a.ArchiveType(), 7u);
    TArchiveFrame* h = a.Handler();
    ASSERT_NE(h, nullptr);
    a.SetArchiveType(7);
    EXPECT_EQ(a.Handler(), h) << "the same type keeps the handler";
    a.SetFileName(L"C:\\other.zip");
    EXPECT_EQ(a.ArchiveType(), 7u) << "an unknown extension keeps the handler";
    EXPECT_EQ(a.Handler(), h);
    EXPECT_EQ(a.ErrResult(), L"");
    a.SetFileName(L"C:\\x.dlx");
    EXPECT_EQ(a.ArchiveType(), 7u) << "an unavailable type is not selected";
    a.SetArchiveType(8);
    EXPECT_EQ(a.Handler(), nullptr);
    EXPECT_EQ(a.ErrResult(), Err(L"SetArchiveType", L"required ArchiveType is not available!"));
    TArchive z(L"file.zip");
    EXPECT_EQ(z.ArchiveType(), 0u);
    EXPECT_EQ(z.Handler(), nullptr);
    EXPECT_EQ(z.ErrResult(), L"");
    EXPECT_FALSE(z.SupportArchiveStream());
    EXPECT_FALSE(z.SupportAddToArchive());
}

TEST_F(ArchiveFramework, StreamAndAddNotSupportedAndExceptionsBecomeErrors) {
    TMemoryStream s;
    TArchive a(&s);
    EXPECT_EQ(a.Handler(), nullptr);
    a.SetArchiveType(7);
    TStrings list{L"stale"};
    EXPECT_FALSE(a.LoadArchiveContents(&list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(a.ErrResult(), L"Source stream is not supported (\"TST\" archive)!");
    EXPECT_FALSE(a.AddFile(L"x", L""));
    EXPECT_EQ(a.ErrResult(), L"Adding to archive is not supported (\"TST\" archive)!");
    TMemoryStream src;
    EXPECT_FALSE(a.AddStream(&src, L"x"));
    EXPECT_EQ(a.ErrResult(), L"Adding to archive is not supported (\"TST\" archive)!");
    TStrings files{L"x"};
    EXPECT_FALSE(a.AddFiles(&files, nullptr, L""));
    EXPECT_EQ(a.ErrResult(), L"Adding to archive is not supported (\"TST\" archive)!");
}

TEST_F(ArchiveFramework, OpenCheckRunsOnceAndHandlerExceptions) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + L"framework-" + std::to_wstring(GetCurrentProcessId()) + L".tst";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    TArchive a(file);
    const int before = TPlainArchive::Initialized;
    TStrings list;
    EXPECT_TRUE(a.LoadArchiveContents(&list));
    EXPECT_EQ(list, (TStrings{L"one", L"two"}));
    EXPECT_TRUE(a.LoadArchiveContents(&list));
    EXPECT_EQ(TPlainArchive::Initialized, before + 1) << "the open check ran once for the source";
    TMemoryStream out;
    EXPECT_FALSE(a.DecompressToStream(L"raise", &out));
    EXPECT_EQ(a.ErrResult(), L"handler failure \u00E9") << "the plain message, no prefix";
    std::wstring text = L"old";
    EXPECT_TRUE(a.DecompressText(L"lines", text));
    EXPECT_EQ(text, L"a\r\nb\r\nc\r\n\r\nd\r\n");
    EXPECT_TRUE(a.DecompressText(L"bom", text));
    EXPECT_EQ(text, L"line1\r\nline2\r\n");
    EXPECT_FALSE(a.DecompressText(L"raise", text));
    EXPECT_EQ(text, L"");
    EXPECT_EQ(a.ErrResult(), L"handler failure \u00E9");
    a.SetFileName(file + L".other.tst");
    EXPECT_FALSE(a.Handler()->OpenChecked()) << "a new source is checked again";
    DeleteFileW(file.c_str());
}
