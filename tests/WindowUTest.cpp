// The window helpers that decide sizes: usable DPIs, centring, the search for the largest DPI
// that fits, Windows' text size setting, and text measured in a real font.
#include "RegistryU.h"
#include "TestSupport.h"
#include "WindowU.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(WindowU, DpisOutsideWhatWindowsOffersCountAs96) {
    const struct {
        UINT dpi, usable;
    } cases[] = {{96, 96}, {120, 120}, {144, 144}, {480, 480}, {0, 96},     {1, 96},
                 {72, 96}, {95, 96},   {481, 96},  {1000, 96}, {10000, 96}, {0xFFFFFFFFu, 96}};
    for (const auto& c : cases)
        EXPECT_EQ(UsableDpi(c.dpi), c.usable) << c.dpi;
}

TEST(WindowU, ACentredRectangleNeverLeavesTheArea) {
    const RECT work{0, 40, 1366, 768}; // a task bar of 40 pixels at the top
    const struct {
        SIZE size;
        RECT expected;
    } cases[] = {
        {{900, 600}, {233, 104, 1133, 704}}, {{1366, 728}, {0, 40, 1366, 768}},
        {{2000, 600}, {0, 104, 1366, 704}},  // too wide: the whole width
        {{900, 1000}, {233, 40, 1133, 768}}, // too high: the whole height
        {{5000, 5000}, {0, 40, 1366, 768}},  {{0, 0}, {683, 404, 683, 404}},
    };
    for (const auto& c : cases) {
        const RECT r = CentredRect(c.size, work);
        EXPECT_EQ(r.left, c.expected.left) << c.size.cx << " x " << c.size.cy;
        EXPECT_EQ(r.top, c.expected.top) << c.size.cx << " x " << c.size.cy;
        EXPECT_EQ(r.right, c.expected.right) << c.size.cx << " x " << c.size.cy;
        EXPECT_EQ(r.bottom, c.expected.bottom) << c.size.cx << " x " << c.size.cy;
        EXPECT_TRUE(RectInside(r, work));
    }
    EXPECT_FALSE(RectInside(RECT{0, 39, 100, 100}, work));
    EXPECT_FALSE(RectInside(RECT{1300, 100, 1367, 200}, work));
}

// A size that grows in proportion to the DPI, as a layout of pictures and gaps does, and from
// aExtraFrom on by aExtra more, as wrapped text does when it gains a line.
struct TGrowth {
    UINT ExtraFrom;
    int Extra;
};
SIZE LayoutAt(UINT aDpi, TGrowth aGrowth) {
    SIZE size{MulDiv(885, static_cast<int>(aDpi), 96), MulDiv(614, static_cast<int>(aDpi), 96)};
    if (aDpi >= aGrowth.ExtraFrom)
        size.cy += MulDiv(aGrowth.Extra, static_cast<int>(aDpi), 96);
    return size;
}

TEST(WindowU, TheLargestFittingDpiIsFoundByMeasuring) {
    const struct {
        const char* name;
        UINT dpi;
        SIZE available;
        TGrowth growth;
        UINT expected;
    } cases[] = {
        {"fits as it is", 96, {885, 614}, {1000, 0}, 96},
        {"fits at 144", 144, {1400, 1000}, {1000, 0}, 144},
        {"too wide at 144", 144, {1274, 1000}, {1000, 0}, 138}, // 885 * 138 / 96 = 1272
        {"too high at 120", 120, {2000, 704}, {1000, 0}, 110},  // 614 * 110 / 96 = 704
        // The proportion from 144 points to 115; the largest that fits lies above that.
        {"a block of text more from 130 on", 144, {2000, 1000}, {130, 200}, 129},
        {"nothing fits", 144, {400, 300}, {1000, 0}, 72},
        {"no room at all", 144, {-10, 0}, {1000, 0}, 72},
        {"asked for less than the least", 60, {100, 100}, {1000, 0}, 72},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UINT> tried;
        const UINT dpi = LargestFittingDpi(c.dpi, 72, c.available, [&](UINT aDpi) {
            tried.push_back(aDpi);
            return LayoutAt(aDpi, c.growth);
        });
        EXPECT_EQ(dpi, c.expected);
        for (UINT t : tried) {
            EXPECT_LE(t, std::max(c.dpi, 72u));
            EXPECT_GE(t, 72u);
        }
        EXPECT_LT(tried.size(), 12u) << "measured " << tried.size() << " times";
        const SIZE least = LayoutAt(72, c.growth);
        if (least.cx <= c.available.cx && least.cy <= c.available.cy) {
            const SIZE at = LayoutAt(dpi, c.growth);
            EXPECT_LE(at.cx, c.available.cx);
            EXPECT_LE(at.cy, c.available.cy);
        }
    }
}

TEST(WindowU, TheTextSizeSettingIsReadAndClamped) {
    const wchar_t key[] = L"Software\\Microsoft\\Accessibility";
    const struct {
        const char* name;
        int stored; // -1: absent, -2: a text value
        UINT percent;
    } cases[] = {{"absent", -1, 100}, {"a text", -2, 100}, {"0", 0, 100},   {"100", 100, 100},     {"150", 150, 150},
                 {"225", 225, 225},   {"300", 300, 225},   {"50", 50, 100}, {"negative", -50, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TRegistrySandbox sandbox;
        if (c.stored == -2) {
            ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, key, L"TextScaleFactor", L"150"));
        } else if (c.stored != -1) {
            ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, key, L"TextScaleFactor", c.stored));
        }
        EXPECT_EQ(TextScalePercent(), c.percent);
    }
}

TEST(WindowU, TextIsMeasuredInTheFontItIsDrawnIn) {
    TWindowDC dc(nullptr);
    ASSERT_TRUE(dc);
    TUniqueGdiObject small(CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
    TUniqueGdiObject large(CreateFontW(-24, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
    HFONT smallFont = static_cast<HFONT>(small.get()), largeFont = static_cast<HFONT>(large.get());
    const std::wstring text = L"Less protected online communication is easier to crack by hackers, placing your "
                              L"personally identifiable information at risk.";

    const SIZE line = MeasureText(dc.get(), smallFont, text, 0);
    const SIZE wrapped = MeasureText(dc.get(), smallFont, text, line.cx / 3);
    EXPECT_GE(wrapped.cy, 3 * line.cy);
    EXPECT_LE(wrapped.cx, line.cx / 3);
    const SIZE larger = MeasureText(dc.get(), largeFont, text, line.cx / 3);
    EXPECT_GT(larger.cy, wrapped.cy);
    EXPECT_EQ(MeasureText(dc.get(), smallFont, L"", 0).cy, line.cy) << "an empty label keeps a line's height";
    EXPECT_EQ(MeasureText(nullptr, smallFont, text, 0).cy, 0);

    // Measuring leaves the font the context had selected.
    HGDIOBJ before = GetCurrentObject(dc.get(), OBJ_FONT);
    MeasureText(dc.get(), largeFont, text, 100);
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), before);
}

} // namespace
