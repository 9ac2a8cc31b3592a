// The Win32 window as it first shows: caption, size, place, every control where the shared layout
// puts it scaled to the run's DPI (and again after a move to a monitor of another DPI), each inside
// its parent and none over another, texts that are not clipped, the font, and the boxes'
// captions.
#include "app/window_layout.h"

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/win32/error_box.h"
#include "app/win32/wide_text.h"
#include "app/win32/window_font.h"
#include "layout_checks.h"
#include "window_test_support.h"

using namespace kavro;
using namespace kavro::test;
namespace layout = kavro::window_layout;

namespace {

std::string describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

SIZE text_size(HWND control, const std::wstring& text) {
    HDC dc = GetDC(control);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size;
}

int text_height(HWND control) { return text_size(control, L"Xg").cy; }  // the font's line

// A rectangle of the layout scaled to `dpi`: one and a half times as large at 144.
RECT px_place(const layout::Rect& r, int dpi) {
    return px_rect(r.left, r.top, r.width, r.height, dpi);
}

HWND control_named(const TForm1& f, const std::string& name) {
    if (name.empty()) return f.Form1;
    for (const auto& [n, control] : controls_of<HWND>(f)) {
        if (n == name) return control;
    }
    return nullptr;
}

// Every control where the layout puts it, scaled to `dpi`: the window's client area and place,
// each control's parent and rectangle, the grid's rows and columns and the track chooser's
// items; and, as placed, each inside its parent and none over another but the panels.
void expect_layout(const TForm1& f, int dpi) {
    RECT client{};
    GetClientRect(f.Form1, &client);
    EXPECT_EQ(describe(client),
              describe(px_rect(0, 0, layout::kClientWidth, layout::kClientHeight, dpi)));
    std::vector<PlacedControl> placed;
    for (const auto& c : layout::kControls) {
        SCOPED_TRACE(c.name);
        HWND control = control_named(f, c.name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(GetParent(control), control_named(f, c.parent));
        const RECT at = place_of(control);
        placed.push_back(
            {c.name, c.parent, {at.left, at.top, at.right - at.left, at.bottom - at.top}});
        if (control == f.socket_data) continue;  // as wide as its text: below
        EXPECT_EQ(describe(at), describe(px_place(c.place, dpi)));
    }
    for (const std::string& fault : layout_faults(placed, client.right, client.bottom)) {
        ADD_FAILURE() << fault;
    }
    // The label sizes itself to its text in the window's font: as wide as its letters reach.
    const RECT meter = place_of(f.socket_data);
    const RECT drawn = px_place(layout::kMeter, dpi);
    EXPECT_EQ(meter.left, drawn.left);
    EXPECT_EQ(meter.top, drawn.top);
    EXPECT_EQ(meter.bottom, drawn.bottom);
    const int letters = ink_width(f.font(), text_of(f.socket_data));
    EXPECT_GE(meter.right, letters);
    EXPECT_LE(meter.right, letters + px(8, dpi));

    HWND grid = f.sg_serverlist;
    RECT row{};
    ListView_GetItemRect(grid, 0, &row, LVIR_BOUNDS);
    EXPECT_EQ(row.bottom - row.top, px(layout::kGridRowHeight, dpi));
    for (int c = 0; c < layout::kGridColumns; ++c) {
        EXPECT_EQ(ListView_GetColumnWidth(grid, c), px(layout::kGridColumnWidths[c], dpi));
    }
    EXPECT_EQ(SendMessageW(f.cb_track, CB_GETITEMHEIGHT, 0, 0), px(layout::kTrackItemHeight, dpi));
}

// No text is clipped: the letters of each fit its control, the buttons' within their borders.
void expect_texts_fit(const TForm1& f) {
    struct Text {
        HWND control;
        int margin;  // kept free on either side
    };
    const int border = px(3, f.dpi());
    for (const Text& t :
         {Text{f.btn_cast, border}, Text{f.btn_watch, border}, Text{f.btn_stop, border},
          Text{f.btn_about, border}, Text{f.btn_cast1, border}, Text{f.btn_watch1, border},
          Text{f.btn_refresh, border}, Text{f.lbl_castname, 0}, Text{f.lbl_track, 0},
          Text{f.socket_data, 0}}) {
        const std::wstring text = text_of(t.control);
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        RECT client{};
        GetClientRect(t.control, &client);
        EXPECT_LE(ink_width(font_of(t.control), text), client.right - 2 * t.margin);
        EXPECT_LE(text_height(t.control), client.bottom - 2 * t.margin);
    }
    // The panels' captions stay clear of the boxes' right edges, below their tops' lines.
    for (HWND group : {f.bg_cast, f.bg_watch}) {
        RECT client{};
        GetClientRect(group, &client);
        EXPECT_LE(ink_width(font_of(group), text_of(group)), client.right - 2 * px(8, f.dpi()));
        // Above the grid, the box's first control.
        EXPECT_LE(text_height(group), px(layout::kCasterGrid.top, f.dpi()));
    }
    // The log's lines each fit on one line of it, and all of them within it.
    RECT log{};
    SendMessageW(f.debug, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&log));
    EXPECT_EQ(SendMessageW(f.debug, EM_GETLINECOUNT, 0, 0), 6);
    EXPECT_LE(6 * text_height(f.debug), log.bottom - log.top);
    // The grid's header texts fit their columns, and its rows the font.
    HWND grid = f.sg_serverlist;
    const wchar_t* headers[] = {L"Cast name", L"Track", L"Watcher", L"Packet time"};
    for (int c = 0; c < 4; ++c) {
        EXPECT_LE(ink_width(font_of(grid), headers[c]) + px(2, f.dpi()),
                  ListView_GetColumnWidth(grid, c));
    }
    RECT row{};
    ListView_GetItemRect(grid, 0, &row, LVIR_BOUNDS);
    EXPECT_LE(text_height(grid), row.bottom - row.top);
    EXPECT_LE(text_height(f.ed_castname),
              place_of(f.ed_castname).bottom - place_of(f.ed_castname).top - 4);
}

}  // namespace

TEST(Win32Window, StartsIdleWithEveryControlInPlace) {
    ShownWindow w;
    TForm1& f = w.form;

    EXPECT_EQ(text_of(f.Form1), L"KAVRO");  // nothing appended to the caption
    RECT outer{};
    GetWindowRect(f.Form1, &outer);
    EXPECT_EQ(outer.left, px(layout::kWindowLeft));
    EXPECT_EQ(outer.top, px(layout::kWindowTop));
    const auto style = GetWindowLongPtrW(f.Form1, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_NE(GetClassLongPtrW(f.Form1, GCLP_HICON), 0);
    expect_layout(f, run_dpi());
    expect_texts_fit(f);

    struct Expected {
        HWND control;
        bool visible;
        bool enabled;
        const char* text;
    };
    // The captions are the layout's, which the Qt window shows too.
    const Expected controls[] = {
        {f.btn_cast, true, true, layout::kCastButtonText},
        {f.btn_watch, true, true, layout::kWatchButtonText},
        {f.btn_stop, true, false, layout::kStopButtonText},
        {f.btn_about, false, true, layout::kAboutButtonText},
        {f.bg_debug, true, true, ""},
        {f.debug, true, true, nullptr},
        {f.bg_cast, false, true, layout::kCastPanelText},
        {f.lbl_castname, false, true, layout::kCastNameLabelText},
        {f.ed_castname, false, true, ""},
        {f.lbl_track, false, true, layout::kTrackLabelText},
        {f.cb_track, false, true, ""},
        {f.btn_cast1, false, true, layout::kCastStartButtonText},
        {f.bg_watch, false, true, layout::kWatchPanelText},
        {f.sg_serverlist, false, true, nullptr},
        {f.btn_watch1, false, true, layout::kWatchStartButtonText},
        {f.btn_refresh, false, true, layout::kRefreshButtonText},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.text == nullptr ? std::string("(no text)") : std::string(c.text));
        EXPECT_EQ(IsWindowVisible(c.control) != FALSE, c.visible);
        EXPECT_EQ(IsWindowEnabled(c.control) != FALSE, c.enabled);
        if (c.text != nullptr) {
            EXPECT_EQ(text_of(c.control), win32::widen(c.text));
        }
    }
    EXPECT_EQ(text_of(f.socket_data), L"sent: 0 b/sec     ---     recv: 0 b/sec");
    // No wider than the layout gives it.
    EXPECT_LE(place_of(f.socket_data).right, px(layout::kMeter.right()));

    EXPECT_EQ(text_of(f.debug),
              L"KAVRO v. 0.0.2\r\nby the Kavro developers\r\n"
              L"Contact: the Kavro project's issue tracker\r\n"
              L"See readme.txt for more information.\r\n\r\nHave fun!");
    const auto log_style = GetWindowLongPtrW(f.debug, GWL_STYLE);
    EXPECT_TRUE(log_style & ES_MULTILINE);
    EXPECT_FALSE(log_style & (ES_READONLY | WS_VSCROLL | WS_HSCROLL | ES_AUTOHSCROLL));
    EXPECT_EQ(SendMessageW(f.ed_castname, EM_GETLIMITTEXT, 0, 0), 32);
    EXPECT_EQ(SendMessageW(f.cb_track, CB_GETCOUNT, 0, 0), 53);
    EXPECT_EQ(SendMessageW(f.cb_track, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(f.track_text(), "");
    EXPECT_EQ(GetFocus(), f.btn_cast);
}

TEST(Win32Window, MovedToAMonitorOfAnotherDpiItLaysItselfOutAgainForThatDpi) {
    ShownWindow w;
    TForm1& f = w.form;
    f.show_caster_grid({"Cast name", "Track", "Watcher", "Packet time"},
                       {{"one", "BL1", "0", "n.a."}, {"two", "BL1", "0", "n.a."}});
    const int home = run_dpi();
    const int other = home == 96 ? 144 : 96;
    for (const int dpi : {other, home}) {
        SCOPED_TRACE(dpi);
        // What the system sends as the window crosses to the other monitor: the new DPI, and
        // where it suggests the window go.
        RECT suggested{px(200, dpi), px(90, dpi), px(200, dpi) + 10, px(90, dpi) + 10};
        SendMessageW(f.Form1, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        pump(f);
        EXPECT_EQ(f.dpi(), dpi);
        RECT outer{};
        GetWindowRect(f.Form1, &outer);
        EXPECT_EQ(outer.left, suggested.left);
        EXPECT_EQ(outer.top, suggested.top);
        expect_layout(f, dpi);
        expect_texts_fit(f);
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(f.btn_cast, WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(f.sg_serverlist, WM_GETFONT, 0, 0)),
                  f.font());
        if (win32::font_face(f.font()) == win32::kLayoutFace) {
            EXPECT_EQ(font.lfHeight, -(8 * dpi + 36) / 72);  // 8 pt: -11 at 96, -16 at 144
        }
        // The meter keeps sizing itself to its text at the new DPI (and the next pass checks
        // that the longer text is sized again for the next font).
        f.set_meter_text("sent: 1.0 kb/sec     ---     recv: 0 b/sec");
        EXPECT_GE(place_of(f.socket_data).right,
                  ink_width(f.font(), L"sent: 1.0 kb/sec     ---     recv: 0 b/sec"));
    }
}

TEST(Win32Window, UsesMsSansSerifOrAFaceThatFitsTheSameTextWidths) {
    ShownWindow w;
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(w.form.btn_cast, WM_GETFONT, 0, 0));
    ASSERT_EQ(font, w.form.font());
    LOGFONTW chosen{};
    GetObjectW(font, sizeof chosen, &chosen);
    const std::wstring face = win32::font_face(font);
    std::wcout << L"window font: " << face << L", height " << chosen.lfHeight << std::endl;
    if (face == win32::kLayoutFace) {
        EXPECT_EQ(chosen.lfHeight, -(8 * run_dpi() + 36) / 72);  // 8 pt: -11 at 96, -16 at 144
    }
    for (const auto& t : win32::kLayoutTexts) {
        SCOPED_TRACE(t.text);
        EXPECT_LE(ink_width(font, win32::widen(t.text)), px(t.width));
        EXPECT_GE(ink_width(font, win32::widen(t.text)), px(t.width) * 3 / 4);  // not shrunk
    }
    // The grid's header text fits its last column.
    EXPECT_LT(ink_width(font, L"Packet time"),
              px(layout::kGridColumnWidths[layout::kGridColumns - 1]) - px(2));
}

TEST(Win32Window, MessageBoxesAreCaptionedKavroAndCloseOnEnter) {
    ShownWindow w;
    std::wstring caption;
    std::wstring text;
    // The box is modal: look for it from a timer, which its own loop keeps delivering.
    static std::wstring* seen_caption = nullptr;
    static std::wstring* seen_text = nullptr;
    seen_caption = &caption;
    seen_text = &text;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
        HWND box = GetForegroundWindow();
        if (box == nullptr || GetParent(box) != nullptr) box = GetActiveWindow();
        wchar_t kind[32] = {};
        GetClassNameW(box, kind, 32);
        if (std::wstring(kind) != L"#32770") return;
        *seen_caption = text_of(box);
        HWND label = FindWindowExW(box, nullptr, L"Static", nullptr);
        while (label != nullptr && text_of(label).empty()) {
            label = FindWindowExW(box, label, L"Static", nullptr);
        }
        if (label != nullptr) *seen_text = text_of(label);
        KillTimer(nullptr, id);
        send_key(VK_RETURN, false);
        send_key(VK_RETURN, true);
    });
    w.form.show_message("Caster not available.");
    KillTimer(nullptr, timer);
    EXPECT_EQ(caption, L"kavro");
    EXPECT_EQ(text, L"Caster not available.");
}

TEST(Win32Window, AnErrorEscapingAHandlerIsShownInAnErrorBoxAndTheLoopGoesOn) {
    EXPECT_EQ(win32::error_box_text(L"WSAStartup"), L"WSAStartup.");
    EXPECT_EQ(win32::error_box_text(L"done."), L"done.");
    EXPECT_EQ(win32::error_box_text(L"what?!"), L"what?!");  // '!' sorts before '.'
    EXPECT_EQ(win32::error_box_text(L""), L"");

    ShownWindow w;
    static std::wstring caption;
    static std::wstring text;
    caption.clear();
    text.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
        HWND box = GetActiveWindow();
        wchar_t kind[32] = {};
        GetClassNameW(box, kind, 32);
        if (std::wstring(kind) != L"#32770") return;
        caption = text_of(box);
        for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
            if (text_of(c).find(L"handler") != std::wstring::npos) text = text_of(c);
        }
        KillTimer(nullptr, id);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    bool ran_on = false;
    win32::guarded(w.form.Form1, [] { throw std::runtime_error("a handler failed"); });
    win32::guarded(w.form.Form1, [&] { ran_on = true; });
    KillTimer(nullptr, timer);
    EXPECT_EQ(caption, L"kavro");
    EXPECT_EQ(text, L"a handler failed.");
    EXPECT_TRUE(ran_on);
    // The window still takes clicks.
    click_middle(w.form, w.form.btn_cast);
    EXPECT_TRUE(pump_until(w.form, [&] { return IsWindowVisible(w.form.bg_cast) != FALSE; }));
}
