#include "app/win32/caster_grid.h"

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <numeric>
#include <string>

#include "app/win32/dpi_scale.h"
#include "app/win32/wide_text.h"
#include "client/grid_rows.h"

namespace kavro::win32 {
namespace {

constexpr int kColumns = kGridColumns;
constexpr int kCellInset = 2;  // text starts this far right of a cell's left edge, at 96 DPI

void set_header_text(HWND grid, int column, const std::wstring& text) {
    std::wstring buffer = text;
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT;
    col.pszText = buffer.data();
    ListView_SetColumn(grid, column, &col);
}

void append_blank_row(HWND grid) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = ListView_GetItemCount(grid);
    item.pszText = const_cast<wchar_t*>(L"");
    ListView_InsertItem(grid, &item);
}

void select_only(HWND grid, int row) {
    ListView_SetItemState(grid, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(grid, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

std::wstring cell_text(HWND grid, int row, int column) {
    wchar_t text[64] = {};
    ListView_GetItemText(grid, row, column, text, static_cast<int>(std::size(text)));
    return text;
}

// The header row drawn as the grid's other rows are: each cell's text from 2 pixels in, clipped
// at the cell's edge, never cut short with an ellipsis (which the header control would do).
LRESULT CALLBACK paint_header_row(HWND header, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                                  DWORD_PTR dpi) {
    if (message != WM_PAINT) return DefSubclassProc(header, message, w, l);
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(header, &paint);
    RECT row{};
    GetClientRect(header, &row);
    FillRect(dc, &row, GetSysColorBrush(COLOR_BTNFACE));
    HGDIOBJ old_font =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(header, WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    for (int c = 0; c < Header_GetItemCount(header); ++c) {
        RECT cell{};
        Header_GetItemRect(header, c, &cell);
        DrawEdge(dc, &cell, BDR_RAISEDINNER, BF_RECT);
        wchar_t text[64] = {};
        HDITEMW item{};
        item.mask = HDI_TEXT;
        item.pszText = text;
        item.cchTextMax = static_cast<int>(std::size(text));
        Header_GetItem(header, c, &item);
        RECT inside{cell.left + scaled(kCellInset, static_cast<int>(dpi)), cell.top, cell.right - 1,
                    cell.bottom};
        DrawTextW(dc, text, -1, &inside, DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }
    SelectObject(dc, old_font);
    EndPaint(header, &paint);
    return 0;
}

// Only a range can be selected, as in the Qt grid: a click with Ctrl held selects just its row
// (and starts the next Shift range there), and Ctrl+Space, which would add or take away one row,
// does nothing. Shift still takes a range.
LRESULT CALLBACK keep_selection_a_range(HWND grid, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                                        DWORD_PTR) {
    const bool control = (w & MK_CONTROL) != 0 || GetKeyState(VK_CONTROL) < 0;
    if ((message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK) && control) {
        LVHITTESTINFO hit{};
        hit.pt = POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)};
        const int row = ListView_HitTest(grid, &hit);
        SetFocus(grid);
        if (row >= 0) {
            select_only(grid, row);
            ListView_SetSelectionMark(grid, row);
        }
        return 0;
    }
    if ((message == WM_KEYDOWN || message == WM_CHAR) && w == VK_SPACE && control) return 0;
    return DefSubclassProc(grid, message, w, l);
}

}  // namespace

HWND create_caster_grid(HWND parent, int id, HFONT font, int dpi) {
    HWND grid =
        CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                        WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS |
                            LVS_OWNERDRAWFIXED | LVS_NOSORTHEADER,
                        0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                        GetModuleHandleW(nullptr), nullptr);
    SendMessageW(grid, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    ListView_SetExtendedListViewStyle(grid, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int c = 0; c < kColumns; ++c) {
        LVCOLUMNW col{};
        col.mask = LVCF_WIDTH | LVCF_TEXT;
        col.cx = scaled(kGridColumnWidths[c], dpi);
        col.pszText = const_cast<wchar_t*>(L"");
        ListView_InsertColumn(grid, c, &col);
    }
    SetWindowSubclass(ListView_GetHeader(grid), paint_header_row, 0, static_cast<DWORD_PTR>(dpi));
    SetWindowSubclass(grid, keep_selection_a_range, 0, 0);
    append_blank_row(grid);
    select_only(grid, 0);
    return grid;
}

void scale_caster_grid(HWND grid, int dpi) {
    SetWindowSubclass(ListView_GetHeader(grid), paint_header_row, 0, static_cast<DWORD_PTR>(dpi));
    for (int c = 1; c < kColumns; ++c)
        ListView_SetColumnWidth(grid, c, scaled(kGridColumnWidths[c], dpi));
    fit_grid_columns(grid, dpi);
    InvalidateRect(grid, nullptr, TRUE);
}

void show_grid_rows(HWND grid, const CasterRow& header, const std::vector<CasterRow>& rows,
                    int dpi) {
    for (int c = 0; c < kColumns; ++c) set_header_text(grid, c, widen(header[c]));

    const GridRows shown = grid_rows_for(ListView_GetItemCount(grid),
                                         ListView_GetNextItem(grid, -1, LVNI_FOCUSED), rows.size());
    const int count = shown.count;
    if (shown.reselect) {
        while (ListView_GetItemCount(grid) > count) {
            ListView_DeleteItem(grid, ListView_GetItemCount(grid) - 1);
        }
        while (ListView_GetItemCount(grid) < count) append_blank_row(grid);
        select_only(grid, shown.current);
    }
    for (int r = 0; r < count; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            std::wstring text = r < static_cast<int>(rows.size()) ? widen(rows[r][c]) : L"";
            ListView_SetItemText(grid, r, c, text.data());
        }
    }
    fit_grid_columns(grid, dpi);
}

int selected_grid_row(HWND grid) {
    // Rows are searched from the top: the first selected one is the range's top row.
    return ListView_GetNextItem(grid, -1, LVNI_SELECTED) + 1;
}

void draw_grid_row(const DRAWITEMSTRUCT& item, int dpi) {
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    HDC dc = item.hDC;
    FillRect(dc, &item.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    int left = item.rcItem.left;
    for (int c = 0; c < kColumns; ++c) {
        const int width = ListView_GetColumnWidth(item.hwndItem, c);
        RECT cell{left + scaled(kCellInset, dpi), item.rcItem.top, left + width,
                  item.rcItem.bottom};
        const std::wstring text = cell_text(item.hwndItem, static_cast<int>(item.itemID), c);
        // Clipped at the cell's edge; no ellipsis, so a long name shows as many letters as fit.
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &cell,
                  DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        left += width;
    }
    if ((item.itemState & ODS_FOCUS) != 0) DrawFocusRect(dc, &item.rcItem);
}

void fit_grid_columns(HWND grid, int dpi) {
    RECT client{};
    GetClientRect(grid, &client);
    const int others =
        std::accumulate(std::begin(kGridColumnWidths) + 1, std::end(kGridColumnWidths), 0,
                        [dpi](int sum, int width) { return sum + scaled(width, dpi); });
    const int name_width = std::min(scaled(kGridColumnWidths[0], dpi), int{client.right} - others);
    if (ListView_GetColumnWidth(grid, 0) != name_width)
        ListView_SetColumnWidth(grid, 0, name_width);
}

}  // namespace kavro::win32
