#include "QVFormLayout.h"

#include "../lib/WindowU.h"

#include <algorithm>

namespace {

// The design, in pixels at 96 DPI. The level box holds a stack of rows: each begins Gap below the
// row above it (the first below the box's top edge) and is at least MinHeight high; a wrapped row
// has a fixed Width, 0 sizes the row to its text. A row with a bullet has one beside its first line.
struct TBoxRow {
    int Id;
    int Left, Gap, MinHeight, Width;
    bool Bullet;
};
const TBoxRow kBoxRows[] = {
    {idTitleLevel, 20, 17, 23, 0, false}, {idLevelNote1, 52, 12, 46, 493, true}, {idLevelNote2, 52, 6, 42, 493, true},
    {idLevelNote3, 52, 6, 46, 489, true}, {idLevelNote4, 52, 6, 61, 485, true},
};
const int kHeaderHeight = 58;
const RECT kLogo{24, 12, 24 + 213, 12 + 37};
const int kMargin = 20; // the body's left margin, and the space right of the widest text
const int kHeadingTop = 14, kIntroTop = 61, kIntroMinHeight = 45, kIntroRightMargin = 44;
const int kIntroGap = 8, kSliderGap = 6; // the least space below the heading, and below "Maximum Protection"
const int kLevelAreaGap = 42;            // from the introduction's bottom to "Maximum Protection"
const int kBoxLeft = 248, kBoxTopOffset = 24, kBoxWidth = 565, kBoxHeight = 277, kBoxRightMargin = 72;
const int kBoxBottomPadding = 12;
// The status line and its "Details" link: one line below the level box, in the space before the footer.
const int kStatusLeft = 20, kStatusGap = 10, kDetailsGap = 12, kStatusBottomGap = 12;
const int kBulletLeft = 24, kBulletWidth = 13, kBulletHeight = 9;
const int kSliderLeft = 92, kSliderTopOffset = 34, kSliderWidth = 45, kSliderHeight = 237;
const int kMaxLabelLeft = 44, kOffLabelLeft = 65, kOffLabelGap = 15;
const int kBodyBottomBelowBox = 56, kBodyBottomBelowSlider = 50;
const int kFooterHeight = 51;
const RECT kShare{15, 16, 15 + 18, 16 + 17}; // in the footer
const int kShareTextLeft = 44, kShareTextTop = 12;
const int kRestartNoteLeft = 300, kRestartNoteTop = 14; // shown only while a restart is due, room kept always
const int kApplyTop = 10, kApplyRightMargin = 22, kApplyWidth = 79, kApplyHeight = 25, kApplyBottomMargin = 16;
const int kApplyTextPadding = 24, kApplyTextPaddingV = 10;

} // namespace

RECT TFormLayout::Place(int anId) const noexcept {
    for (const TControlPlace& p : Controls)
        if (p.Id == anId)
            return p.Rect;
    return RECT{0, 0, 0, 0};
}

TFormLayout LayoutMainForm(UINT aDpi, const TTextMeasure& aMeasure, std::optional<SIZE> aClient) {
    auto s = [aDpi](int aValue) { return static_cast<LONG>(ScaleToDpi(aValue, aDpi)); };
    TFormLayout layout;
    layout.Dpi = aDpi;
    auto place = [&layout](int anId, LONG aLeft, LONG aTop, SIZE aSize) {
        const RECT r{aLeft, aTop, aLeft + aSize.cx, aTop + aSize.cy};
        layout.Controls.push_back(TControlPlace{anId, r});
        return r;
    };

    // Across: the slider's column, the level box to its right, and the window around both.
    const SIZE heading = aMeasure(idTitleSecLevel, 0, false);
    const SIZE maxLabel = aMeasure(idTitleLevelMax, 0, false), offLabel = aMeasure(idTitleLevelOff, 0, false);
    const SIZE share = aMeasure(idTitleShare, 0, false), applyText = aMeasure(idButApply, 0, false);
    const SIZE restart = aMeasure(idRestartNote, 0, false);
    const SIZE apply{std::max(s(kApplyWidth), applyText.cx + s(kApplyTextPadding)),
                     std::max(s(kApplyHeight), applyText.cy + s(kApplyTextPaddingV))};
    const LONG columnRight =
        std::max({s(kMaxLabelLeft) + maxLabel.cx, s(kOffLabelLeft) + offLabel.cx, s(kSliderLeft + kSliderWidth)});
    const LONG boxLeft = std::max(s(kBoxLeft), columnRight + s(kMargin));
    const LONG restartLeft = std::max(s(kRestartNoteLeft), s(kShareTextLeft) + share.cx + s(kMargin));
    LONG boxWidth = s(kBoxWidth);
    for (const TBoxRow& row : kBoxRows)
        boxWidth =
            std::max(boxWidth, s(row.Left) + (row.Width ? s(row.Width) : aMeasure(row.Id, 0, true).cx) + s(kMargin));
    // The status line keeps room for its longest text, so a check never moves anything.
    const SIZE status = aMeasure(idStatusLine, 0, true), details = aMeasure(idStatusDetails, 0, false);
    const LONG needWidth =
        std::max({s(kClientWidth), boxLeft + boxWidth + s(kBoxRightMargin), s(kMargin) + heading.cx + s(kMargin),
                  restartLeft + restart.cx + s(kMargin) + apply.cx + s(kApplyRightMargin),
                  boxLeft + s(kStatusLeft) + status.cx + s(kDetailsGap) + details.cx + s(kMargin)});
    const LONG width = aClient ? std::max(0L, aClient->cx) : needWidth;
    // A client narrower than needed narrows the box and the wrapped texts by what is missing.
    const LONG narrowing = std::max(0L, needWidth - width);
    boxWidth = std::max(0L, boxWidth - narrowing);
    auto wrapWidth = [&](int aDesignWidth) { return std::max(s(aDesignWidth) - narrowing, s(aDesignWidth) / 4); };

    // Down: the header, the heading and the introduction, then the slider beside the level box.
    layout.Header = RECT{0, 0, width, s(kHeaderHeight)};
    layout.Logo = RECT{s(kLogo.left), s(kLogo.top), s(kLogo.right), s(kLogo.bottom)};
    const LONG bodyTop = s(kHeaderHeight);
    const RECT headingRect = place(idTitleSecLevel, s(kMargin), bodyTop + s(kHeadingTop), heading);
    const LONG introWidth = std::max(0L, width - s(kMargin) - s(kIntroRightMargin));
    const SIZE intro{introWidth, std::max(aMeasure(idTitleSecLevelEx, introWidth, false).cy, s(kIntroMinHeight))};
    const RECT introRect = place(idTitleSecLevelEx, s(kMargin),
                                 std::max(bodyTop + s(kIntroTop), headingRect.bottom + s(kIntroGap)), intro);
    place(idTitleSecLevelUnder, s(kMargin), introRect.bottom, aMeasure(idTitleSecLevelUnder, 0, false));

    const LONG levelTop = introRect.bottom + s(kLevelAreaGap);
    const RECT maxRect = place(idTitleLevelMax, s(kMaxLabelLeft), levelTop, maxLabel);
    const RECT slider =
        place(idTrackBar1, s(kSliderLeft), std::max(levelTop + s(kSliderTopOffset), maxRect.bottom + s(kSliderGap)),
              SIZE{s(kSliderWidth), s(kSliderHeight)});
    const RECT offRect = place(idTitleLevelOff, s(kOffLabelLeft), slider.bottom + s(kOffLabelGap), offLabel);

    // The rows stack for the texts they show now. The box is as high as the stack of the largest
    // texts of every level, so that moving the slider changes no size.
    const LONG boxTop = levelTop + s(kBoxTopOffset);
    const size_t firstRow = layout.Controls.size();
    LONG rowsBottom = boxTop, largestBottom = boxTop;
    for (const TBoxRow& row : kBoxRows) {
        const LONG rowWidth = row.Width ? wrapWidth(row.Width) : 0;
        largestBottom += s(row.Gap) + std::max(aMeasure(row.Id, rowWidth, true).cy, s(row.MinHeight));
        SIZE size = aMeasure(row.Id, rowWidth, false);
        if (row.Width)
            size.cx = rowWidth;
        size.cy = std::max(size.cy, s(row.MinHeight));
        const RECT r = place(row.Id, boxLeft + s(row.Left), rowsBottom + s(row.Gap), size);
        if (row.Bullet) {
            // Level with the middle of the first line's small letters, about three fifths down it.
            const LONG top = r.top + aMeasure(row.Id, 0, false).cy * 3 / 5 - s(kBulletHeight) / 2;
            layout.Bullets.push_back(
                RECT{boxLeft + s(kBulletLeft), top, boxLeft + s(kBulletLeft + kBulletWidth), top + s(kBulletHeight)});
        }
        rowsBottom = r.bottom;
    }
    layout.LevelBox = RECT{boxLeft, boxTop, boxLeft + boxWidth,
                           std::max(boxTop + s(kBoxHeight), largestBottom + s(kBoxBottomPadding))};
    const size_t boxRowsEnd = layout.Controls.size();
    const RECT statusRect =
        place(idStatusLine, boxLeft + s(kStatusLeft), layout.LevelBox.bottom + s(kStatusGap), status);
    place(idStatusDetails, statusRect.right + s(kDetailsGap), statusRect.top, details);
    const size_t bodyControls = layout.Controls.size();

    // The footer: below the body, or at the bottom of a given client area.
    const LONG footerHeight =
        std::max({s(kFooterHeight), s(kApplyTop) + apply.cy + s(kApplyBottomMargin),
                  s(kShareTextTop) + share.cy + s(kShareTextTop), s(kRestartNoteTop) + restart.cy + s(kShareTextTop)});
    const LONG bodyBottom =
        std::max({layout.LevelBox.bottom + s(kBodyBottomBelowBox), offRect.bottom + s(kBodyBottomBelowSlider),
                  std::max(statusRect.bottom, statusRect.top + details.cy) + s(kStatusBottomGap)});
    const LONG height = aClient ? std::max(0L, aClient->cy) : bodyBottom + footerHeight;
    const LONG footerTop = std::max(0L, height - footerHeight);
    layout.FooterEdge = RECT{0, footerTop, width, footerTop + 1};
    layout.Share = RECT{s(kShare.left), footerTop + s(kShare.top), s(kShare.right), footerTop + s(kShare.bottom)};
    place(idTitleShare, s(kShareTextLeft), footerTop + s(kShareTextTop), share);
    const RECT applyRect = place(idButApply, width - s(kApplyRightMargin) - apply.cx, footerTop + s(kApplyTop), apply);
    place(idRestartNote, restartLeft, footerTop + s(kRestartNoteTop), restart);
    layout.Client = SIZE{width, height};

    // Only a client smaller than needed leaves anything to cut.
    auto cut = [](RECT& aRect, const RECT& aLimit) {
        aRect.left = std::clamp(aRect.left, aLimit.left, aLimit.right);
        aRect.top = std::clamp(aRect.top, aLimit.top, aLimit.bottom);
        aRect.right = std::clamp(aRect.right, aRect.left, aLimit.right);
        aRect.bottom = std::clamp(aRect.bottom, aRect.top, aLimit.bottom);
    };
    const RECT body{0, 0, width, footerTop}, client{0, 0, width, height};
    cut(layout.LevelBox, body);
    // The box's rows stay inside its frame.
    RECT inside = layout.LevelBox;
    if (inside.right - inside.left > 2 && inside.bottom - inside.top > 2)
        inside = RECT{inside.left + 1, inside.top + 1, inside.right - 1, inside.bottom - 1};
    // The restart note gives way to Apply.
    const RECT beforeApply{0, 0, std::max(0L, applyRect.left - s(kMargin)), height};
    for (size_t i = 0; i < layout.Controls.size(); ++i) {
        RECT& r = layout.Controls[i].Rect;
        cut(r, i >= firstRow && i < boxRowsEnd ? inside : i < bodyControls ? body : client);
        if (layout.Controls[i].Id == idRestartNote)
            cut(r, beforeApply);
    }
    for (RECT& bullet : layout.Bullets)
        cut(bullet, inside);
    for (RECT* r : {&layout.Header, &layout.Logo, &layout.FooterEdge, &layout.Share})
        cut(*r, client);
    return layout;
}

TFormFit FitMainForm(UINT aDpi, SIZE aFrame, const RECT& aWork, const TTextMeasureAt& aMeasureAt) {
    const SIZE work{aWork.right - aWork.left, aWork.bottom - aWork.top};
    const SIZE available{work.cx - aFrame.cx, work.cy - aFrame.cy};
    const UINT dpi = LargestFittingDpi(UsableDpi(aDpi), kMinLayoutDpi, available, [&](UINT aCandidate) {
        return LayoutMainForm(aCandidate, aMeasureAt(aCandidate)).Client;
    });
    TFormFit fit;
    fit.Layout = LayoutMainForm(dpi, aMeasureAt(dpi));
    fit.Window =
        SIZE{std::min(fit.Layout.Client.cx + aFrame.cx, work.cx), std::min(fit.Layout.Client.cy + aFrame.cy, work.cy)};
    return fit;
}

RECT RefittedWindowRect(const RECT& aNow, SIZE aWindow, const RECT& aWork) noexcept {
    const bool keep =
        RectInside(aNow, aWork) && aNow.right - aNow.left == aWindow.cx && aNow.bottom - aNow.top == aWindow.cy;
    return keep ? aNow : CentredRect(aWindow, aWork);
}

RECT DpiChangedWindowRect(const RECT& aSuggested, SIZE aWindow, const RECT& aWork) noexcept {
    const bool fits = RectInside(aSuggested, aWork) && aSuggested.right - aSuggested.left >= aWindow.cx &&
                      aSuggested.bottom - aSuggested.top >= aWindow.cy;
    return fits ? aSuggested : CentredRect(aWindow, aWork);
}
