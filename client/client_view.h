// What the client core asks of a window. Each front end (Qt on Linux, Win32 on Windows) draws
// these on its own controls; tests use a fake. Texts are the wire's one-byte characters
// (Latin-1), which each front end converts to and from its own strings.
#pragma once

#include <string>
#include <vector>

#include "replay/caster_list.h"

namespace kavro {

enum class Panel { kCast, kWatch };              // bg_cast, bg_watch
enum class ModeButton { kCast, kWatch, kStop };  // btn_cast, btn_watch, btn_stop
enum class WindowTimer { kPoll, kMeter };        // Timer1, Timer2

class ClientView {
  public:
    virtual ~ClientView() = default;

    virtual void set_panel_visible(Panel panel, bool visible) = 0;
    virtual void set_button_enabled(ModeButton button, bool enabled) = 0;
    // Appends one line to the log and scrolls it into view.
    virtual void add_log_line(const std::string& line) = 0;
    // A modal box captioned "kavro" with one OK button and no icon; returns when it is closed.
    // Timers go on firing meanwhile.
    virtual void show_message(const std::string& text) = 0;
    // The caster grid: `header` for row 0, then one row per entry (at least one). A changed row
    // count moves a current row that fell off the end up to the last row and selects just it.
    virtual void show_caster_grid(const CasterRow& header, const std::vector<CasterRow>& rows) = 0;
    virtual void set_meter_text(const std::string& text) = 0;
    // Called only when something changes: a new interval restarts the timer's period.
    virtual void set_timer(WindowTimer timer, bool enabled, int interval_ms) = 0;

    virtual std::string cast_name() const = 0;   // the text of ed_castname
    virtual std::string track_text() const = 0;  // the text of cb_track
    // The top data row (1 and up) of the grid's selection; 0 when no data row is selected.
    virtual int selected_grid_row() const = 0;
    // The user's decimal separator for numbers shown in the window ('.' when it has none).
    virtual char decimal_separator() const = 0;
};

}  // namespace kavro
