// A ClientView with no window: it remembers what the core asked of it, and answers the
// questions the core asks with values a test sets.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "client/client_view.h"

namespace kavro::test {

class FakeClientView : public ClientView {
  public:
    struct TimerCall {
        WindowTimer timer;
        bool enabled;
        int interval_ms;
    };

    // What the window shows, as the core last set it; the initial states are the window's.
    std::map<Panel, bool> panel_visible{{Panel::kCast, false}, {Panel::kWatch, false}};
    std::map<ModeButton, bool> button_enabled{
        {ModeButton::kCast, true}, {ModeButton::kWatch, true}, {ModeButton::kStop, false}};
    std::vector<std::string> log;
    std::vector<std::string> messages;
    CasterRow grid_header;
    std::vector<CasterRow> grid_rows{CasterRow{}};
    std::string meter_text;
    std::vector<TimerCall> timer_calls;

    // What the user typed and picked.
    std::string typed_cast_name;
    std::string chosen_track;
    int selected_row = 1;
    char separator = '.';

    // Run inside a message box, as the window's timers would while it is open.
    std::function<void()> while_message_shows;
    // Run for each log line before it is kept; may throw, as a failing window would.
    std::function<void(const std::string&)> on_log_line;

    void set_panel_visible(Panel panel, bool visible) override { panel_visible[panel] = visible; }
    void set_button_enabled(ModeButton button, bool enabled) override {
        button_enabled[button] = enabled;
    }
    void add_log_line(const std::string& line) override {
        if (on_log_line) on_log_line(line);
        log.push_back(line);
    }
    void show_message(const std::string& text) override {
        messages.push_back(text);
        if (while_message_shows) while_message_shows();
    }
    void show_caster_grid(const CasterRow& header, const std::vector<CasterRow>& rows) override {
        grid_header = header;
        grid_rows = rows;
    }
    void set_meter_text(const std::string& text) override { meter_text = text; }
    void set_timer(WindowTimer timer, bool enabled, int interval_ms) override {
        timer_calls.push_back({timer, enabled, interval_ms});
    }

    std::string cast_name() const override { return typed_cast_name; }
    std::string track_text() const override { return chosen_track; }
    int selected_grid_row() const override { return selected_row; }
    char decimal_separator() const override { return separator; }

    bool idle() const {
        return button_enabled.at(ModeButton::kCast) && button_enabled.at(ModeButton::kWatch) &&
               !button_enabled.at(ModeButton::kStop) && !panel_visible.at(Panel::kCast) &&
               !panel_visible.at(Panel::kWatch);
    }
    bool logged(const std::string& line) const {
        for (const auto& l : log) {
            if (l == line) return true;
        }
        return false;
    }
    int log_count(const std::string& line) const {
        int n = 0;
        for (const auto& l : log) n += l == line;
        return n;
    }
};

}  // namespace kavro::test
