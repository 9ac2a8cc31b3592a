// Tab and Shift+Tab, pressed as real keys, walk the window's controls in the layout's order; the
// log and the grid let Tab go on instead of keeping it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "window_test_support.h"

using namespace kavro;
using namespace kavro::test;

namespace {

// Names the control that has the focus, for readable failures.
std::string focused(const TForm1& f) {
    const HWND focus = GetFocus();
    const std::pair<HWND, const char*> names[] = {
        {f.btn_cast, "btn_cast"},
        {f.btn_watch, "btn_watch"},
        {f.debug, "debug"},
        {f.btn_stop, "btn_stop"},
        {f.btn_about, "btn_about"},
        {f.ed_castname, "ed_castname"},
        {f.cb_track, "cb_track"},
        {f.btn_cast1, "btn_cast1"},
        {f.btn_watch1, "btn_watch1"},
        {f.btn_refresh, "btn_refresh"},
        {f.sg_serverlist, "sg_serverlist"},
    };
    for (const auto& [control, name] : names) {
        if (focus == control) return name;
    }
    return focus == nullptr ? "nothing" : "another window";
}

// Presses Tab (or Shift+Tab) once per expected name and records where the focus went.
std::vector<std::string> walk(TForm1& f, std::size_t presses, bool backwards = false) {
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < presses; ++i) {
        press(f, VK_TAB, backwards);
        seen.push_back(focused(f));
    }
    return seen;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(Win32WindowKeys, TabWalksTheIdleWindowAndLeavesTheLogUnchanged) {
    ShownWindow w;
    TForm1& f = w.form;
    ASSERT_EQ(focused(f), "btn_cast");
    const std::wstring log_before = text_of(f.debug);

    // Stop is disabled and About hidden: both are passed over.
    EXPECT_EQ(walk(f, 3), (Names{"btn_watch", "debug", "btn_cast"}));
    EXPECT_EQ(text_of(f.debug), log_before);  // Tab in the log put no tab into it

    // With Stop enabled it takes its place after the log.
    f.set_button_enabled(ModeButton::kStop, true);
    EXPECT_EQ(walk(f, 4), (Names{"btn_watch", "debug", "btn_stop", "btn_cast"}));
    EXPECT_EQ(walk(f, 4, true), (Names{"btn_stop", "debug", "btn_watch", "btn_cast"}));
    EXPECT_EQ(text_of(f.debug), log_before);

    // The log still takes typing.
    walk(f, 2);
    ASSERT_EQ(focused(f), "debug");
    SendMessageW(f.debug, EM_SETSEL, 0, 0);
    send_key('K', false);
    send_key('K', true);
    EXPECT_TRUE(pump_until(f, [&] { return text_of(f.debug) != log_before; }));
    EXPECT_EQ(text_of(f.debug), L"k" + log_before);
}

TEST(Win32WindowKeys, TabWalksTheCastPanelInOrder) {
    ShownWindow w;
    TForm1& f = w.form;
    click_middle(f, f.btn_cast);  // nothing listens: the panel opens all the same
    ASSERT_TRUE(pump_until(f, [&] { return IsWindowVisible(f.bg_cast) != FALSE; }));
    SetFocus(f.btn_cast);
    // The log lies beneath the panel, out of reach; the track chooser is hidden.
    EXPECT_EQ(walk(f, 4), (Names{"btn_watch", "ed_castname", "btn_cast1", "btn_cast"}));
    EXPECT_EQ(walk(f, 2, true), (Names{"btn_cast1", "ed_castname"}));
}

TEST(Win32WindowKeys, TabWalksTheWatchPanelAndLeavesTheGrid) {
    ShownWindow w;
    TForm1& f = w.form;
    click_middle(f, f.btn_watch);
    ASSERT_TRUE(pump_until(f, [&] { return IsWindowVisible(f.bg_watch) != FALSE; }));
    SetFocus(f.btn_cast);
    EXPECT_EQ(walk(f, 5),
              (Names{"btn_watch", "btn_watch1", "btn_refresh", "sg_serverlist", "btn_cast"}));
    EXPECT_EQ(walk(f, 1, true), (Names{"sg_serverlist"}));
    EXPECT_EQ(walk(f, 1, true), (Names{"btn_refresh"}));
}
