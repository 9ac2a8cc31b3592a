// The caster grid `sg_serverlist` as a report-style list view. Its column header is the grid's
// fixed header row: never selectable, and it stays at the top while the rows scroll. At most one
// data row is selected; rows are 16 pixels high; cells are drawn clipped, never with an
// ellipsis; and the name column gives way to a vertical scroll bar, so the columns always fit
// and no horizontal scroll bar appears.
#pragma once

#include <windows.h>

#include <vector>

#include "replay/caster_list.h"

namespace kavro::win32 {

inline constexpr int kGridRowHeight = 16;
inline constexpr int kGridColumnWidths[] = {147, 40, 47, 64};

// A grid with empty header cells and one blank data row, selected.
HWND create_caster_grid(HWND parent, int id, const RECT& at, HFONT font);

// The header row's texts, then one row per entry. A changed row count moves a current row that
// fell off the end up to the last row and leaves just that row selected.
void show_grid_rows(HWND grid, const CasterRow& header, const std::vector<CasterRow>& rows);

// The selected data row counted from 1, or 0 when no data row is selected.
int selected_grid_row(HWND grid);

// Paints one data row (the grid is owner-drawn).
void draw_grid_row(const DRAWITEMSTRUCT& item);

// Narrows the name column by what a vertical scroll bar takes, and widens it back without one.
void fit_grid_columns(HWND grid);

}  // namespace kavro::win32
