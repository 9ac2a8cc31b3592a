// `cb_track`: the owner-drawn drop-down list of the simulator's track codes, items 16 pixels high
// and six of them visible when open. The window keeps it hidden.
#pragma once

#include <windows.h>

namespace kavro::win32 {

inline constexpr int kTrackItemHeight = 16;
inline constexpr int kTrackItemsVisible = 6;

// `at` is the closed chooser's rectangle; nothing is selected.
HWND create_track_chooser(HWND parent, int id, const RECT& at, HFONT font);
// Paints one item, or the closed chooser's field.
void draw_track_item(const DRAWITEMSTRUCT& item);

}  // namespace kavro::win32
