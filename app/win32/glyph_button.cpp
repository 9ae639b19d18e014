#include "app/win32/glyph_button.h"

#include <array>
#include <string>

namespace kfs::win32 {
namespace {

constexpr int kGlyphSize = 16;
constexpr int kGlyphGap = 4;

// Fills a polygon with `fill` and outlines it with `line`.
void Polygon(HDC dc, const POINT* points, int count, COLORREF fill, COLORREF line) {
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = CreatePen(PS_SOLID, 1, line);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    ::Polygon(dc, points, count);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(brush);
    DeleteObject(pen);
}

void Lines(HDC dc, const POINT* points, int count, int width, COLORREF colour) {
    HPEN pen = CreatePen(PS_SOLID, width, colour);
    HGDIOBJ old = SelectObject(dc, pen);
    Polyline(dc, points, count);
    SelectObject(dc, old);
    DeleteObject(pen);
}

void DrawShapes(HDC dc, int x, int y, Glyph glyph, bool enabled, bool shadow) {
    const auto c = [&](COLORREF normal) {
        if (shadow)
            return GetSysColor(COLOR_BTNHIGHLIGHT);
        return enabled ? normal : GetSysColor(COLOR_GRAYTEXT);
    };
    const auto p = [x, y](int px, int py) { return POINT{x + px, y + py}; };
    switch (glyph) {
        case Glyph::kOpen: {
            const std::array<POINT, 6> back = {p(1, 3),  p(6, 3),   p(7, 5),
                                               p(14, 5), p(14, 13), p(1, 13)};
            Polygon(dc, back.data(), 6, c(RGB(0xC0, 0x90, 0x20)), c(RGB(0x60, 0x40, 0x00)));
            const std::array<POINT, 4> front = {p(3, 7), p(15, 7), p(13, 13), p(1, 13)};
            Polygon(dc, front.data(), 4, c(RGB(0xFF, 0xD8, 0x40)), c(RGB(0x60, 0x40, 0x00)));
            break;
        }
        case Glyph::kStart: {
            const std::array<POINT, 3> tick = {p(2, 8), p(6, 12), p(14, 3)};
            Lines(dc, tick.data(), 3, 3, c(RGB(0x00, 0x90, 0x00)));
            break;
        }
        case Glyph::kExit: {
            const std::array<POINT, 4> door = {p(2, 1), p(10, 1), p(10, 15), p(2, 15)};
            Polygon(dc, door.data(), 4, c(RGB(0x90, 0x50, 0x20)), c(RGB(0x40, 0x20, 0x00)));
            const std::array<POINT, 2> shaft = {p(7, 8), p(15, 8)};
            Lines(dc, shaft.data(), 2, 2, c(RGB(0xC0, 0x00, 0x00)));
            const std::array<POINT, 3> head = {p(12, 5), p(15, 8), p(12, 11)};
            Lines(dc, head.data(), 3, 2, c(RGB(0xC0, 0x00, 0x00)));
            break;
        }
    }
}

}  // namespace

void DrawGlyph(HDC dc, int x, int y, Glyph glyph, bool enabled) {
    // A disabled picture is embossed: a light copy one pixel down and right, grey on top.
    if (!enabled)
        DrawShapes(dc, x + 1, y + 1, glyph, enabled, true);
    DrawShapes(dc, x, y, glyph, enabled, false);
}

void DrawGlyphButton(const DRAWITEMSTRUCT& item, Glyph glyph, HFONT font) {
    HDC dc = item.hDC;
    RECT rect = item.rcItem;
    const bool pushed = (item.itemState & ODS_SELECTED) != 0;
    const bool enabled = (item.itemState & ODS_DISABLED) == 0;

    DrawFrameControl(dc, &rect, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));

    char caption[64] = {};
    GetWindowTextA(item.hwndItem, caption, sizeof caption);
    HGDIOBJ oldFont = SelectObject(dc, font);
    RECT measure{0, 0, 0, 0};
    DrawTextA(dc, caption, -1, &measure, DT_SINGLELINE | DT_CALCRECT);
    const int textWidth = measure.right - measure.left;
    const int textHeight = measure.bottom - measure.top;
    const int shift = pushed ? 1 : 0;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int left = rect.left + (width - kGlyphSize - kGlyphGap - textWidth) / 2 + shift;
    DrawGlyph(dc, left, rect.top + (height - kGlyphSize) / 2 + shift, glyph, enabled);

    const int textLeft = left + kGlyphSize + kGlyphGap;
    const int textTop = rect.top + (height - textHeight) / 2 + shift;
    SetBkMode(dc, TRANSPARENT);
    if (enabled) {
        SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        RECT text{textLeft, textTop, textLeft + textWidth, textTop + textHeight};
        DrawTextA(dc, caption, -1, &text, DT_SINGLELINE);
    } else {
        DrawStateA(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(caption), 0, textLeft, textTop,
                   textWidth, textHeight, DST_PREFIXTEXT | DSS_DISABLED);
    }
    SelectObject(dc, oldFont);

    if (item.itemState & ODS_FOCUS) {
        RECT focus = rect;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(dc, &focus);
    }
}

}  // namespace kfs::win32
