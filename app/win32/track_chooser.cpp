#include "app/win32/track_chooser.h"

#include <string>

#include "app/win32/wide_text.h"
#include "client/track_codes.h"

namespace kavro::win32 {

HWND create_track_chooser(HWND parent, int id, const RECT& at, HFONT font) {
    // A combo box's height includes its open list.
    const int open_height = (at.bottom - at.top) + kTrackItemsVisible * kTrackItemHeight + 2;
    HWND chooser = CreateWindowExW(
        0, L"COMBOBOX", L"",
        WS_CHILD | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS,
        at.left, at.top, at.right - at.left, open_height, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(chooser, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    for (const char* code : kTrackCodes) {
        const std::wstring text = widen(code);
        SendMessageW(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    SendMessageW(chooser, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    // The closed chooser is as high as the layout says: its field gets the height that leaves
    // (systems differ in the border they add around it).
    const LONG wanted = at.bottom - at.top;
    for (int field = kTrackItemHeight - 4; field <= kTrackItemHeight + 6; ++field) {
        RECT closed{};
        GetWindowRect(chooser, &closed);
        if (closed.bottom - closed.top == wanted) break;
        SendMessageW(chooser, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
    }
    return chooser;
}

void draw_track_item(const DRAWITEMSTRUCT& item) {
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
    cell.left += 2;
    DrawTextW(item.hDC, text, -1, &cell, DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

}  // namespace kavro::win32
