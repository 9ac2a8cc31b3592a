// The caster grid `sg_serverlist` as a report-style list view. Its column header is the grid's
// fixed header row: never selectable, and it stays at the top while the rows scroll. A range of
// data rows may be selected (shift-click or shift and the arrow keys, as in the Qt grid), and
// Watch takes its top row. Rows are 16 pixels high; cells are drawn clipped, never with an
// ellipsis; and the name column gives way to a vertical scroll bar, so the columns always fit
// and no horizontal scroll bar appears. Row height, column widths and the cells' text inset are
// the layout's at 96 DPI and scaled at others.
#pragma once

#include <windows.h>

#include <vector>

#include "app/window_layout.h"
#include "replay/caster_list.h"

namespace kavro::win32 {

using window_layout::kGridColumns;
using window_layout::kGridColumnWidths;
using window_layout::kGridRowHeight;

// A grid with empty header cells and one blank data row, selected; its owner answers its
// WM_MEASUREITEM with kGridRowHeight scaled to `dpi`. The owner places it.
HWND create_caster_grid(HWND parent, int id, HFONT font, int dpi);

// Column widths and the cells' inset for `dpi`. The rows are measured again whenever the grid is
// moved or sized (an owner-drawn list view asks its owner on every WM_WINDOWPOSCHANGED), as it
// is at every change of DPI.
void scale_caster_grid(HWND grid, int dpi);

// The header row's texts, then one row per entry, by the row rules of client/grid_rows.h.
void show_grid_rows(HWND grid, const CasterRow& header, const std::vector<CasterRow>& rows,
                    int dpi);

// The top selected data row counted from 1, or 0 when no data row is selected.
int selected_grid_row(HWND grid);

// Paints one data row (the grid is owner-drawn).
void draw_grid_row(const DRAWITEMSTRUCT& item, int dpi);

// Narrows the name column by what a vertical scroll bar takes, and widens it back without one.
void fit_grid_columns(HWND grid, int dpi);

}  // namespace kavro::win32
