// The window with common controls 6 and the system's theme (Wine's own): the controls are the
// themed ones, and the parts the window draws itself (the grid's rows and header, the hidden
// track chooser) still draw and behave.
#include <gtest/gtest.h>

#include <string>

#include "app/window_layout.h"
#include "window_screenshot.h"
#include "window_test_support.h"
// after windows.h, which it needs
#include <uxtheme.h>

using namespace kavro;
using namespace kavro::test;
namespace layout = kavro::window_layout;

namespace {

// The file of the module that holds the window procedure of `control`'s class.
std::wstring class_module(HWND control) {
    const auto procedure = GetClassLongPtrW(control, GCLP_WNDPROC);
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(procedure), &module);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring lower = path;
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    return lower;
}

// Pixels in `area` of `window` that differ from `background`.
int inked_pixels(HWND window, const RECT& area, COLORREF background) {
    HDC dc = GetDC(window);
    int inked = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) inked += GetPixel(dc, x, y) != background;
    }
    ReleaseDC(window, dc);
    return inked;
}

COLORREF pixel(HWND window, int x, int y) {
    HDC dc = GetDC(window);
    const COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return colour;
}

void redraw(TForm1& f, HWND window) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    pump(f);
}

}  // namespace

TEST(Win32VisualStyles, TheControlsAreCommonControlsSixWithTheThemeAndTheGridStillDrawsItself) {
    ShownWindow w;
    TForm1& f = w.form;
    ASSERT_TRUE(IsThemeActive()) << "the Wine prefix has no theme: nothing here would be themed";
    // Without common controls 6 a button or an edit would be user32's own, and unthemed.
    for (HWND control : {f.btn_cast, f.bg_cast, f.ed_castname, f.cb_track, f.sg_serverlist}) {
        EXPECT_NE(class_module(control).find(L"common-controls_6595b64144ccf1df_6."),
                  std::wstring::npos)
            << std::string(class_module(control).begin(), class_module(control).end());
        EXPECT_NE(GetWindowTheme(control), nullptr);
    }

    // The grid's rows and its header row are still the window's drawing, not the theme's: the
    // selected row in the highlight colour, the others in the window's, the header in the face.
    f.set_panel_visible(Panel::kWatch, true);
    f.show_caster_grid({"Cast name", "Track", "Watcher", "Packet time"},
                       {{"first cast", "BL1", "0", "n.a."}, {"second cast", "BL1", "0", "n.a."}});
    HWND grid = f.sg_serverlist;
    redraw(f, grid);
    RECT first{};
    RECT second{};
    ListView_GetItemRect(grid, 0, &first, LVIR_BOUNDS);
    ListView_GetItemRect(grid, 1, &second, LVIR_BOUNDS);
    const int name_right = ListView_GetColumnWidth(grid, 0);
    EXPECT_EQ(pixel(grid, name_right - px(4), first.top + px(2)), GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(pixel(grid, name_right - px(4), second.top + px(2)), GetSysColor(COLOR_WINDOW));
    EXPECT_GT(inked_pixels(grid, {second.left, second.top, name_right, second.bottom},
                           GetSysColor(COLOR_WINDOW)),
              px(20));  // the name's letters
    save_screenshot(f.Form1, "win32-watch-panel-" + std::to_string(run_dpi()) + "dpi");
    HWND header = ListView_GetHeader(grid);
    RECT cell{};
    Header_GetItemRect(header, 3, &cell);
    EXPECT_EQ(pixel(header, cell.right - px(3), (cell.top + cell.bottom) / 2),
              GetSysColor(COLOR_BTNFACE));
    EXPECT_GT(inked_pixels(header, {cell.left + 2, cell.top + 2, cell.right - 2, cell.bottom - 2},
                           GetSysColor(COLOR_BTNFACE)),
              px(20));  // "Packet time"
}

TEST(Win32VisualStyles, TheHiddenTrackChooserStillOpensSixItemsDrawsThemAndTakesAChoice) {
    ShownWindow w;
    TForm1& f = w.form;
    f.set_panel_visible(Panel::kCast, true);
    // The window never shows it; shown here, it must still be the chooser the layout describes.
    ShowWindow(f.cb_track, SW_SHOW);
    pump(f);
    EXPECT_EQ(place_of(f.cb_track).bottom - place_of(f.cb_track).top,
              px(layout::kTrackChooser.height));
    const int item = px(layout::kTrackItemHeight);
    EXPECT_EQ(SendMessageW(f.cb_track, CB_GETITEMHEIGHT, 0, 0), item);

    SendMessageW(f.cb_track, CB_SHOWDROPDOWN, TRUE, 0);
    COMBOBOXINFO parts{};
    parts.cbSize = sizeof parts;
    ASSERT_TRUE(GetComboBoxInfo(f.cb_track, &parts));
    ASSERT_TRUE(pump_until(f, [&] { return IsWindowVisible(parts.hwndList) != FALSE; }));
    RECT list{};
    GetClientRect(parts.hwndList, &list);
    EXPECT_EQ(list.bottom, layout::kTrackItemsVisible * item);
    RedrawWindow(parts.hwndList, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    pump(f);
    // Each item's code is drawn by the window, clear of the item's edges.
    EXPECT_GT(
        inked_pixels(parts.hwndList, {0, item, list.right, 2 * item}, GetSysColor(COLOR_WINDOW)),
        px(10));

    // The third item, BL2, clicked: the list closes with it chosen, and the field shows it.
    click(f, parts.hwndList, POINT{px(20), 2 * item + px(8)});
    EXPECT_TRUE(pump_until(f, [&] { return IsWindowVisible(parts.hwndList) == FALSE; }));
    EXPECT_EQ(SendMessageW(f.cb_track, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(f.track_text(), "BL2");
    redraw(f, f.cb_track);
    // Inside the focus rectangle: the field's colour at its far end, and the code at its start.
    const RECT field = parts.rcItem;
    const RECT inside{field.left + 2, field.top + 2, field.right - 2, field.bottom - 2};
    const COLORREF face = pixel(f.cb_track, inside.right - 1, (inside.top + inside.bottom) / 2);
    EXPECT_GT(inked_pixels(f.cb_track, inside, face), px(10));

    ShowWindow(f.cb_track, SW_HIDE);
}
