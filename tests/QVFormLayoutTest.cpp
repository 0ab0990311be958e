// The main window's layout as a function of text extents, DPI and work area: the places of its
// parts for texts made up here, and the DPI and size it takes on monitors of several sizes.
#include "QVFormLayout.h"
#include "WindowU.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

// Text extents for the layout: a line of every font kind has a height and a text a width, both at
// 96 DPI and 100 % text size, and scaled to the layout's DPI and the text size; a wrapped text
// takes as many lines as its width needs.
// The largest texts of the level's controls are the ones shown unless given apart.
struct TFakeText {
    int LineHeight;
    int Width;
};
class TFakeMeasure {
public:
    TFakeMeasure(UINT aDpi, std::map<int, TFakeText> aTexts, std::map<int, TFakeText> aLargest = {},
                 UINT aTextScale = 100)
        : FDpi(MulDiv(aDpi, aTextScale, 100)), FTexts(std::move(aTexts)), FLargest(std::move(aLargest)) {}
    SIZE operator()(int anId, int aWrapWidth, bool aLargest) const {
        const auto largest = FLargest.find(anId);
        const auto shown = FTexts.find(anId);
        const TFakeText text = aLargest && largest != FLargest.end() ? largest->second
                               : shown != FTexts.end()               ? shown->second
                                                                     : TFakeText{21, 100};
        const int line = ScaleToDpi(text.LineHeight, FDpi), width = ScaleToDpi(text.Width, FDpi);
        if (aWrapWidth <= 0)
            return SIZE{width, line};
        const int lines = (width + aWrapWidth - 1) / aWrapWidth;
        return SIZE{std::min(width, aWrapWidth), std::max(1, lines) * line};
    }

private:
    UINT FDpi;
    std::map<int, TFakeText> FTexts, FLargest;
};

// The texts as Segoe UI sets them on Windows at 96 DPI: each fits its place in the design.
std::map<int, TFakeText> DesignTexts() {
    return {{idTitleSecLevel, {28, 190}}, {idTitleSecLevelEx, {21, 1500}}, {idTitleSecLevelUnder, {21, 70}},
            {idTitleLevelMax, {21, 125}}, {idTitleLevelOff, {21, 80}},     {idTitleLevel, {23, 190}},
            {idLevelNote1, {21, 800}},    {idLevelNote2, {21, 800}},       {idLevelNote3, {21, 800}},
            {idLevelNote4, {21, 900}},    {idTitleShare, {21, 130}},       {idButApply, {15, 30}},
            {idRestartNote, {21, 330}}};
}

bool Inside(const RECT& aInner, const RECT& anOuter) {
    return aInner.left >= anOuter.left && aInner.top >= anOuter.top && aInner.right <= anOuter.right &&
           aInner.bottom <= anOuter.bottom;
}

bool Overlap(const RECT& a, const RECT& b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

std::string Describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " - " + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

// What must hold for any layout: everything in the client area, no two controls on top of each
// other, the level box holding its rows, the footer below everything else and Apply in it.
void ExpectSound(const TFormLayout& aLayout) {
    const RECT client{0, 0, aLayout.Client.cx, aLayout.Client.cy};
    for (const TControlPlace& p : aLayout.Controls)
        EXPECT_TRUE(Inside(p.Rect, client)) << "control " << p.Id << " at " << Describe(p.Rect);
    for (const RECT* r : {&aLayout.Header, &aLayout.Logo, &aLayout.LevelBox, &aLayout.FooterEdge, &aLayout.Share})
        EXPECT_TRUE(Inside(*r, client)) << Describe(*r);
    for (size_t i = 0; i < aLayout.Controls.size(); ++i)
        for (size_t j = i + 1; j < aLayout.Controls.size(); ++j)
            EXPECT_FALSE(Overlap(aLayout.Controls[i].Rect, aLayout.Controls[j].Rect))
                << aLayout.Controls[i].Id << " " << Describe(aLayout.Controls[i].Rect) << " and "
                << aLayout.Controls[j].Id << " " << Describe(aLayout.Controls[j].Rect);
    for (int id = idTitleLevel; id <= idLevelNote4; ++id)
        EXPECT_TRUE(Inside(aLayout.Place(id), aLayout.LevelBox)) << id;
    for (const TControlPlace& p : aLayout.Controls)
        if (p.Id != idTitleShare && p.Id != idButApply && p.Id != idRestartNote) {
            EXPECT_LE(p.Rect.bottom, aLayout.FooterEdge.top) << p.Id;
        }
    EXPECT_LE(aLayout.LevelBox.bottom, aLayout.FooterEdge.top);
    const RECT apply = aLayout.Place(idButApply);
    EXPECT_GT(apply.right - apply.left, 0);
    EXPECT_GT(apply.bottom - apply.top, 0);
    EXPECT_GE(apply.top, aLayout.FooterEdge.top);
}

// At 96 DPI, with texts that fit, the layout is the design's table of places.
TEST(Layout, TextsThatFitGiveTheDesignPlaces) {
    const TFormLayout layout = LayoutMainForm(96, TFakeMeasure(96, DesignTexts()));
    ExpectSound(layout);
    EXPECT_EQ(layout.Client.cx, kClientWidth);
    EXPECT_EQ(layout.Client.cy, kClientHeight);
    const struct {
        int id;
        RECT rect;
    } places[] = {
        {idTitleSecLevel, {20, 72, 210, 100}},  {idTitleSecLevelEx, {20, 119, 841, 164}},
        {idTitleLevelMax, {44, 206, 169, 227}}, {idTitleLevelOff, {65, 492, 145, 513}},
        {idTrackBar1, {92, 240, 137, 477}},     {idTitleLevel, {268, 247, 458, 270}},
        {idLevelNote1, {300, 282, 793, 328}},   {idLevelNote2, {300, 334, 793, 376}},
        {idLevelNote3, {300, 382, 789, 428}},   {idLevelNote4, {300, 434, 785, 495}},
        {idTitleShare, {44, 575, 174, 596}},    {idButApply, {784, 573, 863, 598}},
        {idRestartNote, {300, 577, 630, 598}},
    };
    for (const auto& p : places)
        EXPECT_EQ(Describe(layout.Place(p.id)), Describe(p.rect)) << p.id;
    EXPECT_EQ(Describe(layout.Header), Describe({0, 0, 885, 58}));
    EXPECT_EQ(Describe(layout.Logo), Describe({24, 12, 237, 49}));
    EXPECT_EQ(Describe(layout.LevelBox), Describe({248, 230, 813, 507}));
    EXPECT_EQ(layout.FooterEdge.top, 563);
    EXPECT_EQ(Describe(layout.Share), Describe({15, 579, 33, 596}));
    ASSERT_EQ(layout.Bullets.size(), 4u);
    const int bulletTops[] = {60, 112, 160, 212};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(Describe(layout.Bullets[i]), Describe({272, 230 + bulletTops[i], 285, 230 + bulletTops[i] + 9}));
}

// Every place scales with the DPI. Each stacked part is rounded to whole pixels on its own, so a
// place far down may drift by a few pixels: at most 1 in 150 and 1 more.
TEST(Layout, TheDesignScalesWithTheDpi) {
    const TFormLayout design = LayoutMainForm(96, TFakeMeasure(96, DesignTexts()));
    auto expectScaled = [](LONG anActual, LONG aDesign, UINT aDpi, int anId) {
        const int expected = ScaleToDpi(aDesign, aDpi);
        EXPECT_NEAR(anActual, expected, 1 + expected / 150) << anId;
    };
    for (UINT dpi : {120u, 144u, 192u}) {
        SCOPED_TRACE(dpi);
        const TFormLayout scaled = LayoutMainForm(dpi, TFakeMeasure(dpi, DesignTexts()));
        ExpectSound(scaled);
        expectScaled(scaled.Client.cx, kClientWidth, dpi, 0);
        expectScaled(scaled.Client.cy, kClientHeight, dpi, 0);
        ASSERT_EQ(scaled.Controls.size(), design.Controls.size());
        for (size_t i = 0; i < design.Controls.size(); ++i) {
            const RECT& d = design.Controls[i].Rect;
            const RECT& r = scaled.Controls[i].Rect;
            const int id = design.Controls[i].Id;
            expectScaled(r.left, d.left, dpi, id);
            expectScaled(r.top, d.top, dpi, id);
            expectScaled(r.right, d.right, dpi, id);
            expectScaled(r.bottom, d.bottom, dpi, id);
        }
    }
}

// A text that needs more lines than its design place gets them; what lies below moves down, and
// the box and the window grow by as much.
TEST(Layout, LongerTextsGrowTheirPanelsInsteadOfBeingCut) {
    const TFormLayout design = LayoutMainForm(96, TFakeMeasure(96, DesignTexts()));
    const struct {
        const char* name;
        std::map<int, TFakeText> changes;
        int grows; // pixels the window grows by at 96 DPI
    } cases[] = {
        {"a wider font: three lines for a note", {{idLevelNote2, {19, 1200}}}, 15},
        {"every note one line more",
         {{idLevelNote1, {21, 1200}},
          {idLevelNote2, {21, 1200}},
          {idLevelNote3, {21, 1200}},
          {idLevelNote4, {21, 1800}}},
         17 + 21 + 17 + 23},
        {"the introduction four lines", {{idTitleSecLevelEx, {21, 3000}}}, 84 - 45},
        {"a taller headline", {{idTitleLevel, {40, 190}}}, 17},
        {"a taller Apply button", {{idButApply, {40, 30}}}, 50 - 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<int, TFakeText> texts = DesignTexts();
        for (const auto& change : c.changes)
            texts[change.first] = change.second;
        const TFakeMeasure measure(96, texts);
        const TFormLayout layout = LayoutMainForm(96, measure);
        ExpectSound(layout);
        EXPECT_EQ(layout.Client.cx, design.Client.cx);
        EXPECT_EQ(layout.Client.cy, design.Client.cy + c.grows);
        for (const TControlPlace& p : layout.Controls) {
            const TFakeText text = texts[p.Id];
            const bool wrapped = p.Id == idTitleSecLevelEx || (p.Id >= idLevelNote1 && p.Id <= idLevelNote4);
            const SIZE need = measure(p.Id, wrapped ? p.Rect.right - p.Rect.left : 0, false);
            if (p.Id != idTrackBar1) {
                EXPECT_GE(p.Rect.bottom - p.Rect.top, need.cy) << p.Id << " (" << text.Width << " wide)";
            }
        }
    }
}

// Rows stack for the texts shown; the box keeps the room the largest level's texts need, so the
// window has one size for every level.
TEST(Layout, TheBoxHoldsEveryLevelsTextsAndTheRowsFollowTheShownOnes) {
    const std::map<int, TFakeText> largest{{idLevelNote1, {21, 1200}}, {idLevelNote3, {21, 1400}}};
    const TFormLayout shown = LayoutMainForm(96, TFakeMeasure(96, DesignTexts()));
    const TFormLayout reserved = LayoutMainForm(96, TFakeMeasure(96, DesignTexts(), largest));
    const TFormLayout longest = LayoutMainForm(96, TFakeMeasure(96, [&] {
                                                   auto texts = DesignTexts();
                                                   for (const auto& l : largest)
                                                       texts[l.first] = l.second;
                                                   return texts;
                                               }()));
    ExpectSound(reserved);
    EXPECT_EQ(reserved.Client.cy, longest.Client.cy) << "the window holds the largest texts";
    EXPECT_EQ(reserved.LevelBox.bottom, longest.LevelBox.bottom);
    EXPECT_GT(reserved.Client.cy, shown.Client.cy);
    for (int id = idLevelNote1; id <= idLevelNote4; ++id)
        EXPECT_EQ(Describe(reserved.Place(id)), Describe(shown.Place(id))) << "rows for the shown texts: " << id;
}

// With "make text bigger" the labels beside the slider widen: the box moves right of them and
// the window widens instead of labels running into each other.
TEST(Layout, WiderLabelsWidenTheWindow) {
    std::map<int, TFakeText> texts = DesignTexts();
    texts[idTitleLevelMax] = {47, 280};
    texts[idTitleLevelOff] = {47, 180};
    const TFormLayout layout = LayoutMainForm(96, TFakeMeasure(96, texts));
    ExpectSound(layout);
    EXPECT_GE(layout.LevelBox.left, layout.Place(idTitleLevelMax).right + 20);
    EXPECT_GT(layout.Client.cx, kClientWidth);
    EXPECT_EQ(layout.Place(idButApply).right, layout.Client.cx - 22);
}

// Given a client area smaller than the layout needs, the layout still keeps to it: nothing lies
// outside, the wrapped texts narrow, and Apply keeps its size at the bottom right.
TEST(Layout, ASmallerClientAreaKeepsApplyInView) {
    const struct {
        UINT dpi;
        SIZE client;
    } cases[] = {{72, {634, 446}}, {96, {640, 480}}, {96, {885, 500}}, {144, {300, 200}}, {96, {1200, 900}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " DPI in " << c.client.cx << " x " << c.client.cy);
        const TFormLayout layout = LayoutMainForm(c.dpi, TFakeMeasure(c.dpi, DesignTexts()), c.client);
        EXPECT_EQ(layout.Client.cx, c.client.cx);
        EXPECT_EQ(layout.Client.cy, c.client.cy);
        const RECT client{0, 0, c.client.cx, c.client.cy};
        for (const TControlPlace& p : layout.Controls)
            EXPECT_TRUE(Inside(p.Rect, client)) << p.Id << " at " << Describe(p.Rect);
        for (const RECT& b : layout.Bullets)
            EXPECT_TRUE(Inside(b, client)) << Describe(b);
        EXPECT_TRUE(Inside(layout.LevelBox, client)) << Describe(layout.LevelBox);
        const RECT apply = layout.Place(idButApply);
        EXPECT_EQ(apply.right, c.client.cx - ScaleToDpi(22, c.dpi));
        EXPECT_EQ(apply.bottom - apply.top, ScaleToDpi(25, c.dpi));
        EXPECT_EQ(apply.right - apply.left, ScaleToDpi(79, c.dpi));
        EXPECT_NEAR(layout.FooterEdge.top, c.client.cy - ScaleToDpi(51, c.dpi), 1);
    }

    // Wine can draw a frame that leaves no client area at all: everything then sits in it, empty.
    const TFormLayout none = LayoutMainForm(96, TFakeMeasure(96, DesignTexts()), SIZE{664, 0});
    EXPECT_EQ(none.Client.cy, 0);
    for (const TControlPlace& p : none.Controls)
        EXPECT_TRUE(Inside(p.Rect, RECT{0, 0, 664, 0})) << p.Id << " at " << Describe(p.Rect);
}

// What the system's frame adds to the client area at aDpi: a border of 8 pixels and a caption of 31.
SIZE FakeFrame(UINT aDpi) {
    return SIZE{2 * ScaleToDpi(8, aDpi), ScaleToDpi(31 + 8, aDpi)};
}

bool Fits(SIZE aSize, SIZE anAvailable) {
    return aSize.cx <= anAvailable.cx && aSize.cy <= anAvailable.cy;
}

// On work areas from 1280 x 1024 to 1920 x 1080 (less their task bars), at 96 to 192 DPI and text
// sizes up to 200 %: the window is laid out at the system's DPI where it fits, else at the largest
// DPI below it that does, and in the client area the window gets there everything keeps inside it,
// apart and with Apply in view.
TEST(Fit, TheLargestDpiUpToTheSystemsAtWhichTheWindowFitsTheWorkArea) {
    const RECT works[] = {{0, 0, 1280, 984}, {0, 0, 1366, 728},  {0, 32, 1440, 900},
                          {0, 0, 1600, 860}, {0, 0, 1920, 1040}, {1920, 0, 3840, 1080}};
    const UINT dpis[] = {96, 120, 144, 168, 192};
    const UINT scales[] = {100, 150, 200};
    for (const RECT& work : works)
        for (UINT dpi : dpis)
            for (UINT scale : scales) {
                SCOPED_TRACE(testing::Message() << Describe(work) << " at " << dpi << " DPI, text " << scale << " %");
                const SIZE frame = FakeFrame(dpi);
                const SIZE available{work.right - work.left - frame.cx, work.bottom - work.top - frame.cy};
                std::vector<UINT> asked;
                const TTextMeasureAt measureAt = [&](UINT aDpi) -> TTextMeasure {
                    asked.push_back(aDpi);
                    return TFakeMeasure(aDpi, DesignTexts(), {}, scale);
                };
                const TFormFit fit = FitMainForm(dpi, frame, work, measureAt);
                const UINT chosen = fit.Layout.Dpi;
                ASSERT_FALSE(asked.empty());
                EXPECT_EQ(asked.back(), chosen) << "the layout is measured in the chosen DPI's fonts";
                EXPECT_LE(chosen, dpi);
                EXPECT_GE(chosen, kMinLayoutDpi);
                const SIZE needed = LayoutMainForm(chosen, measureAt(chosen)).Client;
                EXPECT_EQ(fit.Layout.Client.cx, needed.cx);
                EXPECT_EQ(fit.Layout.Client.cy, needed.cy);
                if (Fits(LayoutMainForm(dpi, measureAt(dpi)).Client, available)) {
                    EXPECT_EQ(chosen, dpi) << "the window fits as it is";
                } else if (chosen > kMinLayoutDpi) {
                    EXPECT_TRUE(Fits(needed, available)) << needed.cx << " x " << needed.cy;
                    EXPECT_FALSE(Fits(LayoutMainForm(chosen + 1, measureAt(chosen + 1)).Client, available))
                        << "one DPI more would fit too";
                }
                EXPECT_EQ(fit.Window.cx, std::min(needed.cx + frame.cx, work.right - work.left));
                EXPECT_EQ(fit.Window.cy, std::min(needed.cy + frame.cy, work.bottom - work.top));
                // The window lays its controls out in the client area it gets.
                const SIZE client{fit.Window.cx - frame.cx, fit.Window.cy - frame.cy};
                const TFormLayout placed = LayoutMainForm(chosen, measureAt(chosen), client);
                EXPECT_EQ(placed.Client.cx, client.cx);
                EXPECT_EQ(placed.Client.cy, client.cy);
                ExpectSound(placed);
                EXPECT_TRUE(Inside(placed.Place(idButApply), RECT{0, 0, client.cx, client.cy}));
            }
}

// The common cases by name: what a monitor of each size and DPI gets with the design's texts.
TEST(Fit, CommonMonitors) {
    const struct {
        const char* name;
        RECT work;
        UINT dpi, scale;
        bool reduced; // laid out below the system's DPI
    } cases[] = {
        {"1920 x 1080 at 100 %", {0, 0, 1920, 1040}, 96, 100, false},
        {"1920 x 1080 at 150 %", {0, 0, 1920, 1030}, 144, 100, false},
        {"1920 x 1080 at 200 %", {0, 0, 1920, 1020}, 192, 100, true},
        {"1366 x 768 at 100 %", {0, 0, 1366, 728}, 96, 100, false},
        {"1366 x 768 at 125 %", {0, 0, 1366, 718}, 120, 100, true},
        {"1366 x 768 with text at 200 %", {0, 0, 1366, 728}, 96, 200, true},
        {"1280 x 1024 at 125 %", {0, 0, 1280, 984}, 120, 100, false},
        {"1280 x 1024 with text at 150 %", {0, 0, 1280, 984}, 96, 150, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TFormFit fit = FitMainForm(c.dpi, FakeFrame(c.dpi), c.work,
                                         [&](UINT aDpi) { return TFakeMeasure(aDpi, DesignTexts(), {}, c.scale); });
        if (c.reduced) {
            EXPECT_LT(fit.Layout.Dpi, c.dpi);
        } else {
            EXPECT_EQ(fit.Layout.Dpi, c.dpi);
        }
        EXPECT_TRUE(RectInside(CentredRect(fit.Window, c.work), c.work));
    }
}

// A DPI outside what Windows offers counts as 96; a work area too small even at the smallest DPI
// gets the window at that DPI, as large as the work area.
TEST(Fit, UnusableDpisAndTinyWorkAreas) {
    const RECT large{0, 0, 1920, 1040};
    for (UINT dpi : {0u, 1u, 95u, 10000u, 0xFFFFFFFFu}) {
        const TFormFit fit =
            FitMainForm(dpi, FakeFrame(96), large, [](UINT aDpi) { return TFakeMeasure(aDpi, DesignTexts()); });
        EXPECT_EQ(fit.Layout.Dpi, 96u) << dpi;
    }
    const RECT tiny{0, 0, 640, 480};
    const TFormFit fit =
        FitMainForm(192, FakeFrame(192), tiny, [](UINT aDpi) { return TFakeMeasure(aDpi, DesignTexts(), {}, 200); });
    EXPECT_EQ(fit.Layout.Dpi, kMinLayoutDpi);
    EXPECT_EQ(fit.Window.cx, 640);
    EXPECT_EQ(fit.Window.cy, 480);
}

// Where the window goes when the display changes (it stays where it is while it fits as it is),
// and after a change of DPI (the system's suggestion while it lies in the work area and holds the
// window).
TEST(Fit, TheWindowStaysWhereItIsOnlyWhileThatFits) {
    const RECT work{0, 0, 1280, 984};
    const SIZE window{900, 700};
    const RECT centred{190, 142, 1090, 842};
    const struct {
        RECT now;
        RECT refitted, dpiChanged;
    } cases[] = {
        {{10, 20, 910, 720}, {10, 20, 910, 720}, {10, 20, 910, 720}}, // in the work area, the fitted size
        {{10, 20, 1010, 820}, centred, {10, 20, 1010, 820}},          // larger than needed
        {{10, 20, 810, 620}, centred, centred},                       // too small
        {{500, 400, 1400, 1100}, centred, centred},                   // beyond the work area
        {{-10, 20, 890, 720}, centred, centred},                      // partly off it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.now));
        EXPECT_EQ(Describe(RefittedWindowRect(c.now, window, work)), Describe(c.refitted));
        EXPECT_EQ(Describe(DpiChangedWindowRect(c.now, window, work)), Describe(c.dpiChanged));
    }
}

} // namespace
