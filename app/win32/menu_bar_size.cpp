#include "app/win32/menu_bar_size.h"

#include <commctrl.h>

#include <algorithm>

namespace kfs::win32 {

int ExtraMenuBarHeight(HMENU menu, int width) {
    const int items = menu ? GetMenuItemCount(menu) : 0;
    if (items <= 0)
        return 0;
    // The structure as the oldest systems know it, without the padded border width.
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = CCSIZEOF_STRUCT(NONCLIENTMETRICSA, lfMessageFont);
    if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0))
        return 0;
    HFONT font = CreateFontIndirectA(&metrics.lfMenuFont);
    // A memory device context measures text as the screen does, without asking the window
    // manager for the screen's visible region.
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    SIZE alphabet{};
    GetTextExtentPoint32A(dc, kAlphabet, 52, &alphabet);
    const int averageChar = (alphabet.cx / 26 + 1) / 2;
    const int rowHeight = GetSystemMetrics(SM_CYMENU) - 1;
    int rows = 1;
    int x = 0;
    for (int i = 0; i < items; ++i) {
        char text[64] = {};
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        RECT box{0, 0, 0, 0};
        DrawTextA(dc, text, -1, &box, DT_SINGLELINE | DT_CALCRECT);
        const int itemWidth = box.right - box.left + 2 * averageChar;
        if (x > 0 && x + itemWidth > width) {
            ++rows;
            x = 0;
        }
        x += itemWidth;
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);
    // AdjustWindowRectEx has counted one menu height for the bar.
    return rows * rowHeight + 1 - GetSystemMetrics(SM_CYMENU);
}

void FitFrameToClient(HWND window, int clientWidth, int clientHeight) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        RECT client{};
        GetClientRect(window, &client);
        const int dw = clientWidth - (client.right - client.left);
        const int dh = clientHeight - (client.bottom - client.top);
        if (dw == 0 && dh == 0)
            return;
        RECT frame{};
        GetWindowRect(window, &frame);
        const int width = frame.right - frame.left + dw;
        const int height = frame.bottom - frame.top + dh;
        const UINT move = IsWindowVisible(window) ? SWP_NOMOVE : 0;
        SetWindowPos(window, nullptr, CentredLeft(width), CentredTop(height), width, height,
                     move | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

int CentredLeft(int width) {
    return std::max(0, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
}
int CentredTop(int height) {
    return std::max(0, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
}

}  // namespace kfs::win32
