// `cb_track`: the owner-drawn drop-down list of the simulator's track codes, items 16 pixels high
// at 96 DPI (scaled at others) and six of them visible when open. The window keeps it hidden.
#pragma once

#include <windows.h>

#include "app/window_layout.h"

namespace kavro::win32 {

using window_layout::kTrackItemHeight;
using window_layout::kTrackItemsVisible;

// Nothing is selected; its owner answers its WM_MEASUREITEM with kTrackItemHeight scaled to the
// window's DPI, and places it with fit_track_chooser.
HWND create_track_chooser(HWND parent, int id, HFONT font);
// Places the chooser with `closed` as its closed rectangle and items as high as `dpi` makes them.
void fit_track_chooser(HWND chooser, const RECT& closed, int dpi);
// Paints one item, or the closed chooser's field.
void draw_track_item(const DRAWITEMSTRUCT& item, int dpi);

}  // namespace kavro::win32
