// The caster grid of the Win32 window: a fixed header row that is never selected, a
// first-data-row default for Watch, rows that scroll under the header with no horizontal scroll
// bar, and long names clipped rather than cut short with an ellipsis.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "app/window_layout.h"
#include "loopback_peer.h"
#include "window_test_support.h"

using namespace kavro;
using namespace kavro::test;
namespace layout = kavro::window_layout;

namespace {

const CasterRow kHeader{"Cast name", "Track", "Watcher", "Packet time"};

std::vector<CasterRow> numbered_rows(int count) {
    std::vector<CasterRow> rows;
    for (int i = 1; i <= count; ++i)
        rows.push_back({"cast " + std::to_string(i), "BL1", "0", "n.a."});
    return rows;
}

std::wstring cell(HWND grid, int row, int column) {
    wchar_t text[64] = {};
    ListView_GetItemText(grid, row, column, text, 64);
    return text;
}

std::wstring header_text(HWND grid, int column) {
    wchar_t text[64] = {};
    HDITEMW item{};
    item.mask = HDI_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    Header_GetItem(ListView_GetHeader(grid), column, &item);
    return text;
}

int columns_width(HWND grid) {
    int width = 0;
    for (int c = 0; c < 4; ++c) width += ListView_GetColumnWidth(grid, c);
    return width;
}

bool has_style(HWND window, LONG_PTR style) {
    return (GetWindowLongPtrW(window, GWL_STYLE) & style) != 0;
}

// A point in the middle of data row `row` (0 is the first data row), in the grid's client area.
POINT row_point(HWND grid, int row) {
    RECT r{};
    ListView_GetItemRect(grid, row, &r, LVIR_BOUNDS);
    return {40, (r.top + r.bottom) / 2};
}

// A CHL message listing `names`.
std::vector<std::uint8_t> caster_list(const std::vector<std::string>& names) {
    std::vector<std::uint8_t> payload{static_cast<std::uint8_t>(names.size()), 0};
    for (const auto& name : names) {
        std::vector<std::uint8_t> entry(40, 0);
        std::copy(name.begin(), name.end(), entry.begin());
        entry[32] = 'B';
        entry[33] = 'L';
        entry[34] = '1';
        payload.insert(payload.end(), entry.begin(), entry.end());
    }
    std::vector<std::uint8_t> message{'C',
                                      'H',
                                      'L',
                                      '0',
                                      static_cast<std::uint8_t>(payload.size()),
                                      static_cast<std::uint8_t>(payload.size() >> 8)};
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
}

std::string requested_name(const std::vector<std::uint8_t>& request) {
    if (request.size() != 36) return "(" + std::to_string(request.size()) + " bytes)";
    std::string name(request.begin() + 4, request.end());
    return name.substr(0, name.find('\0'));
}

}  // namespace

TEST(Win32CasterGrid, HeaderStaysFixedWhileRowsScrollAndNoHorizontalBarAppears) {
    ShownWindow w;
    TForm1& f = w.form;
    HWND grid = f.sg_serverlist;
    f.set_panel_visible(Panel::kWatch, true);

    // Before any list: empty header cells and one blank data row, selected.
    EXPECT_EQ(ListView_GetItemCount(grid), 1);
    EXPECT_EQ(header_text(grid, 0), L"");
    EXPECT_EQ(f.selected_grid_row(), 1);
    EXPECT_TRUE(has_style(grid, LVS_REPORT));
    EXPECT_FALSE(has_style(grid, LVS_SINGLESEL));  // a range can be selected

    f.show_caster_grid(kHeader, numbered_rows(12));
    pump(f);
    EXPECT_EQ(ListView_GetItemCount(grid), 12);
    EXPECT_EQ(header_text(grid, 3), L"Packet time");
    EXPECT_EQ(cell(grid, 11, 0), L"cast 12");
    RECT row{};
    ListView_GetItemRect(grid, 0, &row, LVIR_BOUNDS);
    EXPECT_EQ(row.bottom - row.top, px(layout::kGridRowHeight));
    EXPECT_TRUE(has_style(grid, WS_VSCROLL));
    EXPECT_FALSE(has_style(grid, WS_HSCROLL));
    RECT client{};
    GetClientRect(grid, &client);
    EXPECT_LE(columns_width(grid), client.right);
    for (int c = 1; c < layout::kGridColumns; ++c) {
        EXPECT_EQ(ListView_GetColumnWidth(grid, c), px(layout::kGridColumnWidths[c]));
    }

    // Scrolled to the end, the header still sits at the top of the grid.
    ListView_EnsureVisible(grid, 11, FALSE);
    pump(f);
    EXPECT_GT(ListView_GetTopIndex(grid), 0);
    HWND header = ListView_GetHeader(grid);
    EXPECT_TRUE(IsWindowVisible(header));
    RECT header_place = place_of(header);
    EXPECT_EQ(header_place.top, 0);
    EXPECT_GT(header_place.bottom, 10);
    RECT first_visible{};
    ListView_GetItemRect(grid, ListView_GetTopIndex(grid), &first_visible, LVIR_BOUNDS);
    EXPECT_GE(first_visible.top, header_place.bottom);  // no row hides under the header
    EXPECT_LT(first_visible.top, header_place.bottom + px(4));

    // Few rows again: the name column has its full width back.
    f.show_caster_grid(kHeader, numbered_rows(2));
    pump(f);
    EXPECT_FALSE(has_style(grid, WS_VSCROLL));
    EXPECT_FALSE(has_style(grid, WS_HSCROLL));
    EXPECT_EQ(ListView_GetColumnWidth(grid, 0), px(layout::kGridColumnWidths[0]));
}

TEST(Win32CasterGrid, ClickingTheHeaderSelectsNothingAndAShorterListKeepsARowSelected) {
    ShownWindow w;
    TForm1& f = w.form;
    HWND grid = f.sg_serverlist;
    f.set_panel_visible(Panel::kWatch, true);
    f.show_caster_grid(kHeader, numbered_rows(3));
    pump(f);

    click(f, grid, row_point(grid, 1));
    EXPECT_EQ(f.selected_grid_row(), 2);
    click_middle(f, ListView_GetHeader(grid));
    EXPECT_EQ(f.selected_grid_row(), 2);  // the header row is never selected nor current
    EXPECT_EQ(ListView_GetNextItem(grid, -1, LVNI_FOCUSED), 1);

    click(f, grid, row_point(grid, 2));
    EXPECT_EQ(f.selected_grid_row(), 3);
    // The selected row falls off the end: the last row is selected instead.
    f.show_caster_grid(kHeader, numbered_rows(2));
    pump(f);
    EXPECT_EQ(f.selected_grid_row(), 2);
    // A blank space below the rows clears the selection: no data row is selected.
    RECT client{};
    GetClientRect(grid, &client);
    click(f, grid, POINT{40, client.bottom - 4});
    EXPECT_EQ(f.selected_grid_row(), 0);
}

TEST(Win32CasterGrid, AThirtyTwoCharacterNameIsClippedNotElided) {
    ShownWindow w;
    TForm1& f = w.form;
    HWND grid = f.sg_serverlist;
    f.set_panel_visible(Panel::kWatch, true);
    auto rows = numbered_rows(3);
    rows[2][0] = std::string(32, 'W');
    f.show_caster_grid(kHeader, rows);
    pump(f);
    ASSERT_EQ(f.selected_grid_row(), 1);  // row 3 is drawn unselected, in the window's colours
    ASSERT_EQ(cell(grid, 2, 0), std::wstring(32, L'W'));
    RedrawWindow(grid, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    pump(f);

    // Clipped, the name's letters reach the cell's right edge at their full height; an ellipsis
    // would leave only its dots on the baseline there.
    RECT name_row{};
    ListView_GetItemRect(grid, 2, &name_row, LVIR_BOUNDS);
    const int right = name_row.left + ListView_GetColumnWidth(grid, 0);
    HDC dc = GetDC(grid);
    const COLORREF background = GetPixel(dc, name_row.left + 1, name_row.top + 1);
    int inked_rows = 0;
    for (int y = name_row.top + 1; y < name_row.bottom - 1; ++y) {
        bool inked = false;
        for (int x = right - px(10); x < right - 1; ++x)
            inked = inked || GetPixel(dc, x, y) != background;
        if (inked) ++inked_rows;
    }
    ReleaseDC(grid, dc);
    EXPECT_GE(inked_rows, px(6));
}

TEST(Win32CasterGrid, WatchWithNoDataRowSelectedRequestsTheFirstRowAndTheHeaderNeverCounts) {
    LoopbackListener relay;
    ShownWindow w(relay.port_text());
    TForm1& f = w.form;
    HWND grid = f.sg_serverlist;

    // The click is real input, which can reach the window after the few rounds `click` runs on
    // a busy machine: the window's messages run until the connection is there.
    click_middle(f, f.btn_watch);
    ASSERT_TRUE(pump_until(f, [&] { return relay.has_pending(); }));
    PeerSocket peer = relay.accept();
    ASSERT_TRUE(peer.valid());
    // The click only starts the connect; the window's Timer1 ticks finish it and send the hello,
    // so it is read while the window's messages are pumped.
    std::vector<std::uint8_t> hello;
    ASSERT_TRUE(pump_until(f, [&] {
        const auto more = peer.read(52 - hello.size(), std::chrono::milliseconds(10));
        hello.insert(hello.end(), more.begin(), more.end());
        return hello.size() == 52u;
    }));
    EXPECT_EQ(std::string(hello.begin(), hello.begin() + 4), "CCN0");
    EXPECT_EQ(hello[6], 0);  // watch mode
    peer.send(std::string("ACK0OK"));
    ASSERT_TRUE(pump_until(f, [&] { return IsWindowEnabled(f.btn_stop) != FALSE; }));
    peer.send(caster_list({"first cast", "second cast"}));
    ASSERT_TRUE(pump_until(f, [&] { return cell(grid, 1, 0) == L"second cast"; }));
    EXPECT_EQ(header_text(grid, 0), L"Cast name");

    // The header row takes no part in the choice; with nothing selected, the first data row.
    click_middle(f, ListView_GetHeader(grid));
    RECT client{};
    GetClientRect(grid, &client);
    click(f, grid, POINT{40, client.bottom - 4});
    ASSERT_EQ(f.selected_grid_row(), 0);
    click_middle(f, f.btn_watch1);
    EXPECT_EQ(requested_name(peer.read(36)), "first cast");
    EXPECT_FALSE(IsWindowVisible(f.bg_watch));

    // The user's own row, even after a click on the header.
    f.set_panel_visible(Panel::kWatch, true);
    click(f, grid, row_point(grid, 1));
    click_middle(f, ListView_GetHeader(grid));
    click_middle(f, f.btn_watch1);
    EXPECT_EQ(requested_name(peer.read(36)), "second cast");
}

TEST(Win32CasterGrid, AShiftClickSelectsARangeWhoseTopRowIsChosenAndANewCountSelectsOnlyOne) {
    ShownWindow w;
    TForm1& f = w.form;
    HWND grid = f.sg_serverlist;
    f.set_panel_visible(Panel::kWatch, true);
    f.show_caster_grid(kHeader, numbered_rows(5));
    pump(f);

    // From the third row up to the first, as the Qt grid takes a range.
    click(f, grid, row_point(grid, 2));
    send_key(VK_SHIFT, false);
    click(f, grid, row_point(grid, 0));
    send_key(VK_SHIFT, true);
    pump(f);
    EXPECT_EQ(ListView_GetSelectedCount(grid), 3u);
    EXPECT_EQ(f.selected_grid_row(), 1);  // the range's top row
    // Ctrl adds no single row elsewhere: a click with it held is a plain click.
    send_key(VK_CONTROL, false);
    click(f, grid, row_point(grid, 3));
    send_key(VK_CONTROL, true);
    pump(f);
    EXPECT_EQ(ListView_GetSelectedCount(grid), 1u);
    EXPECT_EQ(f.selected_grid_row(), 4);
    // Shift from there takes the range up to the second row.
    send_key(VK_SHIFT, false);
    click(f, grid, row_point(grid, 1));
    send_key(VK_SHIFT, true);
    pump(f);
    EXPECT_EQ(ListView_GetSelectedCount(grid), 3u);
    EXPECT_EQ(f.selected_grid_row(), 2);

    // A list of another length leaves just the current row selected, moved up when it went.
    f.show_caster_grid(kHeader, numbered_rows(1));
    pump(f);
    EXPECT_EQ(ListView_GetSelectedCount(grid), 1u);
    EXPECT_EQ(f.selected_grid_row(), 1);
}
