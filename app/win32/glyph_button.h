#pragma once
// Buttons with a glyph: owner-drawn push buttons that show a small picture left of their bold
// caption. The pictures are drawn with GDI calls, so the program carries no bitmap files; a
// disabled button shows its picture and caption greyed.
#include <windows.h>

namespace kfs::win32 {

enum class Glyph {
    kOpen,   // a folder: load a firmware file
    kStart,  // a tick: start the update
    kExit,   // a door with an arrow: close the window
};

// Draws the 16 x 16 picture with its top left corner at (x, y).
void DrawGlyph(HDC dc, int x, int y, Glyph glyph, bool enabled);

// Paints an owner-drawn button (WM_DRAWITEM): face, glyph and caption centred together, pushed
// and disabled states, focus rectangle.
void DrawGlyphButton(const DRAWITEMSTRUCT& item, Glyph glyph, HFONT font);

}  // namespace kfs::win32
