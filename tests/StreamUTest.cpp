#include "StreamU.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using TBytesV = std::vector<std::uint8_t>;

TEST(StreamUTest, WritesAreByteExact) {
    const struct {
        const char* what;
        bool unicode;
        std::function<bool(TStreamWriter&)> write;
        TBytesV bytes;
    } cases[] = {
        {"WriteStr text unicode",
         true,
         [](TStreamWriter& w) { return w.WriteStr(std::wstring(L"abc")); },
         {3, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0}},
        {"WriteStr text ansi",
         false,
         [](TStreamWriter& w) { return w.WriteStr(std::wstring(L"abc")); },
         {3, 0, 0, 0, 'a', 'b', 'c'}},
        {"WriteStr empty text", true, [](TStreamWriter& w) { return w.WriteStr(std::wstring()); }, {0, 0, 0, 0}},
        {"WriteStr bytes",
         false,
         [](TStreamWriter& w) { return w.WriteStr(std::string("\x01\xFF", 2)); },
         {2, 0, 0, 0, 1, 0xFF}},
        {"Write empty text", true, [](TStreamWriter& w) { return w.Write(std::wstring()); }, {}},
        {"Write text unicode",
         true,
         [](TStreamWriter& w) { return w.Write(std::wstring(L"\u20ACx")); },
         {0xAC, 0x20, 'x', 0}},
        {"Write bytes", true, [](TStreamWriter& w) { return w.Write(std::string("ab")); }, {'a', 'b'}},
        {"WriteLn text unicode",
         true,
         [](TStreamWriter& w) { return w.WriteLn(std::wstring(L"x")); },
         {'x', 0, 13, 0, 10, 0}},
        {"WriteLn bytes", true, [](TStreamWriter& w) { return w.WriteLn(std::string("x")); }, {'x', 13, 10}},
        {"WriteInt", false, [](TStreamWriter& w) { return w.WriteInt(-2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
        {"WriteWord", false, [](TStreamWriter& w) { return w.WriteWord(258); }, {2, 1}},
        {"WriteBool true", false, [](TStreamWriter& w) { return w.WriteBool(true); }, {1}},
        {"WriteBool false", false, [](TStreamWriter& w) { return w.WriteBool(false); }, {0}},
        {"WriteByte", false, [](TStreamWriter& w) { return w.WriteByte(0xAB); }, {0xAB}},
        {"WriteDouble", false, [](TStreamWriter& w) { return w.WriteDouble(1.0); }, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"WriteBuf", false, [](TStreamWriter& w) { return w.WriteBuf("hello", 3); }, {'h', 'e', 'l'}},
    };
    for (const auto& c : cases) {
        TMemoryStreamWriter w;
        w.Unicode = c.unicode;
        EXPECT_TRUE(c.write(w)) << c.what;
        EXPECT_EQ(w.Data(), c.bytes) << c.what;

        TStreamWriter closed(nullptr);
        closed.Unicode = c.unicode;
        EXPECT_FALSE(c.write(closed)) << c.what;
    }
}

// Whatever the ANSI form of a text, exactly one byte per UTF-16 unit follows the prefix.
TEST(StreamUTest, AnsiTextKeepsItsUnitCount) {
    TMemoryStreamWriter w;
    const std::wstring text = L"a\U0001F600\u4E2Db";
    ASSERT_TRUE(w.WriteStr(text));
    ASSERT_EQ(w.Data().size(), 4 + text.size());
    EXPECT_EQ(w.Data()[0], text.size());
    EXPECT_EQ(w.Data()[4], 'a');
    EXPECT_EQ(w.Data().back(), 'b');
}

TEST(StreamUTest, WriteLnGoesThroughAnOverriddenWrite) {
    struct TUpper : TMemoryStreamWriter {
        using TStreamWriter::Write;
        bool Write(const std::string& iStr) override { return TMemoryStreamWriter::Write("<" + iStr + ">"); }
    } w;
    EXPECT_TRUE(w.WriteLn(std::string("a")));
    EXPECT_EQ(w.Data(), (TBytesV{'<', 'a', 13, 10, '>'}));
}

TEST(StreamUTest, WriteStreamCopiesTheWholeSourceFromItsStart) {
    TMemoryStream source;
    TBytesV data(200000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    source.Write(data.data(), static_cast<std::int64_t>(data.size()));
    ASSERT_EQ(source.GetPosition(), 200000);

    TMemoryStreamWriter a;
    a.WriteByte(9);
    EXPECT_TRUE(a.WriteStream(&source));
    ASSERT_EQ(a.Data().size(), data.size() + 1);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), a.Data().begin() + 1));

    struct TCounting : TMemoryStreamWriter {
        int calls = 0;
        bool WriteBuf(const void* iBuf, std::int32_t iSiz) override {
            ++calls;
            TMemoryStreamWriter::WriteBuf(iBuf, iSiz);
            return false;
        }
    } b;
    EXPECT_TRUE(b.WriteStreamData(&source));
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(b.Data(), data);

    EXPECT_FALSE(a.WriteStream(nullptr));
    EXPECT_FALSE(a.WriteStreamData(nullptr));
}

TEST(StreamUTest, MemoryStreamSizeAndPosition) {
    TMemoryStream m;
    EXPECT_EQ(m.Write("abcdef", 6), 6);
    m.SetSize(3);
    EXPECT_EQ(m.GetPosition(), 3);
    m.Seek(1);
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 2);
    EXPECT_STREQ(buf, "bc");
    m.SetPosition(5);
    m.Write("z", 1);
    EXPECT_EQ(m.GetSize(), 6);
    EXPECT_EQ(m.Data()[3], 0);
    EXPECT_THROW(m.SetPosition(-1), EStreamError);
}

TEST(StreamUTest, FileStreamOwnsItsHandle) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + L"qv-stream-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    {
        TFileStream f(h);
        EXPECT_EQ(f.Write("0123456789", 10), 10);
        EXPECT_EQ(f.GetSize(), 10);
        f.SetSize(4);
        EXPECT_EQ(f.GetSize(), 4);
        EXPECT_EQ(f.GetPosition(), 4);
        f.Seek(2);
        char buf[4] = {};
        EXPECT_EQ(f.Read(buf, 4), 2);
        EXPECT_STREQ(buf, "23");
    }
    // The handle was closed with the stream: an exclusive open now succeeds.
    TUniqueFile again(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(again.valid());
    again.reset();
    DeleteFileW(path.c_str());
}

} // namespace
