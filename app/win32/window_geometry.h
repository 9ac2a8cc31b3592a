// The main window's frame at the layout's 96 DPI: its style, its place on the screen and the
// size of its client area. At other DPIs the place and the size are scaled.
#pragma once

#include <windows.h>

namespace kavro::win32 {

inline constexpr int kClientWidth = 316;
inline constexpr int kClientHeight = 197;
inline constexpr int kWindowLeft = 229;
inline constexpr int kWindowTop = 103;
inline constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

}  // namespace kavro::win32
