#include "app/win32/track_chooser.h"

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <string>

#include "app/win32/dpi_scale.h"
#include "app/win32/wide_text.h"
#include "client/track_codes.h"

namespace kavro::win32 {

HWND create_track_chooser(HWND parent, int id, HFONT font) {
    HWND chooser = CreateWindowExW(
        0, L"COMBOBOX", L"",
        WS_CHILD | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS,
        0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        GetModuleHandleW(nullptr), nullptr);
    SendMessageW(chooser, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    for (const char* code : kTrackCodes) {
        const std::wstring text = widen(code);
        SendMessageW(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    SendMessageW(chooser, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    // Common controls 6 size the open list by this count rather than by the window's height.
    SendMessageW(chooser, CB_SETMINVISIBLE, kTrackItemsVisible, 0);
    return chooser;
}

void fit_track_chooser(HWND chooser, const RECT& closed, int dpi) {
    const int item_height = scaled(kTrackItemHeight, dpi);
    SendMessageW(chooser, CB_SETITEMHEIGHT, 0, item_height);
    // A combo box's height includes its open list.
    const LONG wanted = closed.bottom - closed.top;
    const int open_height = wanted + kTrackItemsVisible * item_height + 2;
    SetWindowPos(chooser, nullptr, closed.left, closed.top, closed.right - closed.left, open_height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // The closed chooser is as high as the layout says: its field gets the height that leaves
    // (systems and themes differ in the border they add around it).
    for (int field = wanted - scaled(10, dpi); field <= wanted; ++field) {
        RECT now{};
        GetWindowRect(chooser, &now);
        if (now.bottom - now.top == wanted) break;
        SendMessageW(chooser, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
    }
}

void draw_track_item(const DRAWITEMSTRUCT& item, int dpi) {
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    FillRect(item.hDC, &item.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    if (item.itemID == static_cast<UINT>(-1)) return;  // nothing chosen: an empty field
    wchar_t text[16] = {};
    if (SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0) < LRESULT{16}) {
        SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(text));
    }
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    RECT cell = item.rcItem;
    cell.left += scaled(2, dpi);
    DrawTextW(item.hDC, text, -1, &cell, DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

}  // namespace kavro::win32
