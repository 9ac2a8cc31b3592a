// The Win32 window as it first shows: caption, size, place, every control where the layout puts
// it, the texts, the font, and the boxes' captions.
#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>
#include <string>

#include "app/win32/error_box.h"
#include "app/win32/window_font.h"
#include "window_test_support.h"

using namespace kavro;
using namespace kavro::test;

namespace {

std::string describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

RECT at(int left, int top, int width, int height) {
    return {left, top, left + width, top + height};
}

}  // namespace

TEST(Win32Window, StartsIdleWithEveryControlInPlace) {
    ShownWindow w;
    TForm1& f = w.form;

    EXPECT_EQ(text_of(f.Form1), L"KAVRO");  // nothing appended to the caption
    RECT client{};
    GetClientRect(f.Form1, &client);
    EXPECT_EQ(describe(client), "0,0 316x197");
    RECT outer{};
    GetWindowRect(f.Form1, &outer);
    EXPECT_EQ(outer.left, 229);
    EXPECT_EQ(outer.top, 103);
    const auto style = GetWindowLongPtrW(f.Form1, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_NE(GetClassLongPtrW(f.Form1, GCLP_HICON), 0);

    struct Expected {
        HWND control;
        HWND parent;
        RECT place;
        bool visible;
        bool enabled;
        const wchar_t* text;
    };
    const Expected controls[] = {
        {f.btn_cast, f.Form1, at(0, 8, 75, 25), true, true, L"Cast LFS"},
        {f.btn_watch, f.Form1, at(80, 8, 75, 25), true, true, L"Watch LFS"},
        {f.btn_stop, f.Form1, at(160, 8, 75, 25), true, false, L"Stop"},
        {f.btn_about, f.Form1, at(240, 8, 75, 25), false, true, L"About"},
        {f.bg_debug, f.Form1, at(0, 40, 315, 140), true, true, L""},
        {f.debug, f.bg_debug, at(4, 14, 305, 120), true, true, nullptr},
        {f.bg_cast, f.Form1, at(0, 40, 315, 140), false, true, L"Cast LFS"},
        {f.lbl_castname, f.bg_cast, at(8, 24, 53, 13), false, true, L"Cast name:"},
        {f.ed_castname, f.bg_cast, at(72, 20, 121, 21), false, true, L""},
        {f.lbl_track, f.bg_cast, at(8, 56, 31, 13), false, true, L"Track:"},
        {f.cb_track, f.bg_cast, at(72, 52, 124, 22), false, true, L""},
        {f.btn_cast1, f.bg_cast, at(72, 96, 75, 25), false, true, L"Cast"},
        {f.bg_watch, f.Form1, at(0, 40, 315, 140), false, true, L"Watch LFS"},
        {f.sg_serverlist, f.bg_watch, at(6, 16, 305, 89), false, true, nullptr},
        {f.btn_watch1, f.bg_watch, at(8, 110, 75, 25), false, true, L"Watch"},
        {f.btn_refresh, f.bg_watch, at(230, 110, 75, 25), false, true, L"Refresh"},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.text == nullptr ? std::wstring(L"(no text)") : std::wstring(c.text));
        EXPECT_EQ(GetParent(c.control), c.parent);
        EXPECT_EQ(describe(place_of(c.control)), describe(c.place));
        EXPECT_EQ(IsWindowVisible(c.control) != FALSE, c.visible);
        EXPECT_EQ(IsWindowEnabled(c.control) != FALSE, c.enabled);
        if (c.text != nullptr) {
            EXPECT_EQ(text_of(c.control), c.text);
        }
    }
    // The label sizes itself to its text, which fits the width the layout gives it.
    const RECT meter = place_of(f.socket_data);
    EXPECT_EQ(meter.left, 0);
    EXPECT_EQ(meter.top, 182);
    EXPECT_LE(meter.right - meter.left, 166);
    EXPECT_EQ(text_of(f.socket_data), L"sent: 0 b/sec     ---     recv: 0 b/sec");

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

TEST(Win32Window, UsesMsSansSerifOrAFaceThatFitsTheSameTextWidths) {
    ShownWindow w;
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(w.form.btn_cast, WM_GETFONT, 0, 0));
    ASSERT_EQ(font, w.form.font());
    LOGFONTW chosen{};
    GetObjectW(font, sizeof chosen, &chosen);
    const std::wstring face = win32::font_face(font);
    std::wcout << L"window font: " << face << L", height " << chosen.lfHeight << std::endl;
    if (face == win32::kLayoutFace) {
        EXPECT_EQ(chosen.lfHeight, -11);
    }
    for (const auto& t : win32::kLayoutTexts) {
        SCOPED_TRACE(std::wstring(t.text));
        EXPECT_LE(win32::text_width(font, t.text), t.width);
        EXPECT_GE(win32::text_width(font, t.text), t.width * 3 / 4);  // not shrunk to nothing
    }
    // The grid's header text fits its 64-pixel column.
    EXPECT_LT(win32::text_width(font, L"Packet time"), 64 - 2);
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
