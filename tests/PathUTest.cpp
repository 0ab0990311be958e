#include "PathU.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Shown(const std::wstring& aText) {
    return std::string(aText.begin(), aText.end());
}

TEST(PathU, SplitIntoFolderNameAndExtension) {
    const struct {
        const wchar_t *path, *folder, *name, *ext;
    } cases[] = {
        {L"", L"", L"", L""},
        {L"file.txt", L"", L"file.txt", L".txt"},
        {L"C:\\dir\\file.txt", L"C:\\dir\\", L"file.txt", L".txt"},
        {L"C:\\file", L"C:\\", L"file", L""},
        {L"C:\\", L"C:\\", L"", L""},
        {L"C:", L"C:", L"", L""},
        {L"C:file.txt", L"C:", L"file.txt", L".txt"}, // a drive-relative path
        {L"C:\\dir\\", L"C:\\dir\\", L"", L""},
        {L"C:\\dir\\\\", L"C:\\dir\\\\", L"", L""},
        {L"\\\\server\\share\\dir\\a.b", L"\\\\server\\share\\dir\\", L"a.b", L".b"},
        {L"\\\\server\\share", L"\\\\server\\", L"share", L""},
        {L"\\\\?\\C:\\long\\x.y", L"\\\\?\\C:\\long\\", L"x.y", L".y"},
        {L"C:/dir/sub/file.cab", L"C:/dir/sub/", L"file.cab", L".cab"},
        {L"dir/sub\\file", L"dir/sub\\", L"file", L""},
        // Dots in folder names are not extensions.
        {L"C:\\v1.2\\readme", L"C:\\v1.2\\", L"readme", L""},
        {L"C:\\v1.2\\", L"C:\\v1.2\\", L"", L""},
        {L"a.b/c", L"a.b/", L"c", L""},
        {L"C:\\dir\\archive.tar.gz", L"C:\\dir\\", L"archive.tar.gz", L".gz"},
        {L"C:\\dir\\file.", L"C:\\dir\\", L"file.", L"."},
        {L"C:\\dir\\.profile", L"C:\\dir\\", L".profile", L".profile"},
        {L"C:\\Pr\u00FCfung\\\u00C4nderung.t\u00FCt", L"C:\\Pr\u00FCfung\\", L"\u00C4nderung.t\u00FCt", L".t\u00FCt"},
    };
    for (const auto& c : cases) {
        const std::wstring path = c.path;
        EXPECT_EQ(ExtractFilePath(path), c.folder) << Shown(path);
        EXPECT_EQ(ExtractFileName(path), c.name) << Shown(path);
        EXPECT_EQ(ExtractFileExt(path), c.ext) << Shown(path);
        EXPECT_EQ(ExtractFilePath(path) + ExtractFileName(path), path) << Shown(path);
    }
}

TEST(PathU, IncludeTrailingDelimiter) {
    const struct {
        const wchar_t *path, *withDelimiter;
    } cases[] = {
        {L"", L"\\"},
        {L"C:", L"C:\\"},
        {L"C:\\", L"C:\\"},
        {L"C:\\dir", L"C:\\dir\\"},
        {L"C:\\dir\\", L"C:\\dir\\"},
        {L"C:\\dir\\\\", L"C:\\dir\\\\"}, // an existing delimiter is kept as it is, never doubled or folded
        {L"C:/dir/", L"C:/dir/"},
        {L"C:/dir", L"C:/dir\\"},
        {L"\\\\server\\share", L"\\\\server\\share\\"},
        {L"dir.ext", L"dir.ext\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IncludeTrailingDelimiter(c.path), c.withDelimiter) << Shown(c.path);
}

} // namespace
