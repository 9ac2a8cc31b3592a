// Pixels at the window's DPI. The layout is drawn at 96 pixels per inch; at any other DPI every
// length is scaled by DPI/96 and rounded as Windows rounds (MulDiv: to the nearest, halves away
// from zero). The DPI functions of newer Windows are looked up when first needed, so kavro.exe
// still starts on Windows 7, where the DPI is the system's and never changes.
#pragma once

#include <windows.h>

#include "app/window_layout.h"

namespace kavro::win32 {

inline constexpr int kLayoutDpi = 96;

int scaled(int length, int dpi);
// Left, top, width and height each scaled.
RECT scaled(const RECT& at_layout_dpi, int dpi);
RECT scaled(const window_layout::Rect& at_layout_dpi, int dpi);

// The DPI of the monitor the window is on (Windows 10 1607 and later), else the system's.
int window_dpi(HWND window);

// The window rectangle, placed at `left`, `top`, whose client area is `width` x `height` for a
// window of `style` at `dpi`.
RECT window_rect_for_client(int left, int top, int width, int height, DWORD style, int dpi);

}  // namespace kavro::win32
