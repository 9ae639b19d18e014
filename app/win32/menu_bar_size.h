#pragma once
// The main window's frame around its menu bar. The bar wraps into several rows on a narrow
// window, which the frame computation (AdjustWindowRectEx) does not know in advance: the height
// of the extra rows is estimated before the window is made, and the frame is corrected once the
// system has laid the bar out.
#include <windows.h>

namespace kfs::win32 {

// How much higher than one row the menu bar will be on a client area `width` pixels wide, so
// that the window can be made in its final size before the system has laid the bar out. The
// estimate lays the bar out as the system does: every command as wide as its text plus an
// average character of the menu font on either side, left to right, a new row where the next
// command does not fit, each row one menu height less a pixel, and a pixel below the last row.
// A frame that still comes out wrong is corrected by FitFrameToClient; a right one saves
// relaying out the frame and the six-row bar once more.
int ExtraMenuBarHeight(HMENU menu, int width);

// Corrects the frame of `window` by what its client area lacks until the client area is
// `clientWidth` x `clientHeight`. A frame that fits already is left alone, since every resize
// has the menu bar laid out anew. Until the window is shown, each correction also centres it on
// the screen, so that showing it moves nothing.
void FitFrameToClient(HWND window, int clientWidth, int clientHeight);

// The place of a frame of that size in the middle of the screen.
int CentredLeft(int width);
int CentredTop(int height);

}  // namespace kfs::win32
