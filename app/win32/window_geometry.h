// The main window's frame at the layout's 96 DPI: its style, and (from the shared layout) its
// place on the screen and the size of its client area. At other DPIs the place and the size are
// scaled.
#pragma once

#include <windows.h>

#include "app/window_layout.h"

namespace kavro::win32 {

using window_layout::kClientHeight;
using window_layout::kClientWidth;
using window_layout::kWindowLeft;
using window_layout::kWindowTop;
inline constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

}  // namespace kavro::win32
