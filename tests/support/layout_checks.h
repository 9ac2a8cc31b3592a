// The rules a window's controls keep wherever they are placed: each lies inside its parent, and no
// two in one parent overlap, except the panels, which share one rectangle by design. Knows no
// toolkit: the Qt and the Win32 window tests hand it what they read from their real controls, and
// the layout's own test hands it the layout.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/window_layout.h"

namespace kavro::test {

struct PlacedControl {
    std::string name;
    std::string parent;         // empty for the window itself
    window_layout::Rect place;  // in the parent's client area
};

// The window's controls by the names the layout gives them, as `Handle`s: the same member names
// in the Qt form (widgets) and the Win32 form (window handles).
template <class Handle, class Form>
std::vector<std::pair<std::string, Handle>> controls_of(Form& f) {
    return {{"btn_cast", f.btn_cast},       {"btn_watch", f.btn_watch},
            {"btn_stop", f.btn_stop},       {"btn_about", f.btn_about},
            {"bg_debug", f.bg_debug},       {"debug", f.debug},
            {"bg_cast", f.bg_cast},         {"lbl_castname", f.lbl_castname},
            {"ed_castname", f.ed_castname}, {"lbl_track", f.lbl_track},
            {"cb_track", f.cb_track},       {"btn_cast1", f.btn_cast1},
            {"bg_watch", f.bg_watch},       {"sg_serverlist", f.sg_serverlist},
            {"btn_watch1", f.btn_watch1},   {"btn_refresh", f.btn_refresh},
            {"socket_data", f.socket_data}};
}

inline std::string describe(const window_layout::Rect& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.width) +
           "x" + std::to_string(r.height);
}

inline bool is_panel(const std::string& name) {
    for (const char* panel : window_layout::kPanels) {
        if (name == panel) return true;
    }
    return false;
}

inline bool overlap(const window_layout::Rect& a, const window_layout::Rect& b) {
    return a.left < b.right() && b.left < a.right() && a.top < b.bottom() && b.top < a.bottom();
}

// Every broken rule, one sentence each; none when the controls keep them all. The window's client
// area is `window_width` x `window_height`; a panel's is its own size.
inline std::vector<std::string> layout_faults(const std::vector<PlacedControl>& controls,
                                              int window_width, int window_height) {
    std::vector<std::string> faults;
    for (const PlacedControl& c : controls) {
        int width = window_width;
        int height = window_height;
        if (!c.parent.empty()) {
            const PlacedControl* parent = nullptr;
            for (const PlacedControl& p : controls) {
                if (p.name == c.parent) parent = &p;
            }
            if (parent == nullptr) {
                faults.push_back(c.name + "'s parent " + c.parent + " is not among the controls");
                continue;
            }
            width = parent->place.width;
            height = parent->place.height;
        }
        const window_layout::Rect& r = c.place;
        if (r.left < 0 || r.top < 0 || r.right() > width || r.bottom() > height) {
            faults.push_back(c.name + " at " + describe(r) + " reaches outside its parent's " +
                             std::to_string(width) + "x" + std::to_string(height));
        }
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            const PlacedControl& a = controls[i];
            const PlacedControl& b = controls[j];
            if (a.parent != b.parent || !overlap(a.place, b.place)) continue;
            if (is_panel(a.name) && is_panel(b.name)) continue;
            faults.push_back(a.name + " at " + describe(a.place) + " overlaps " + b.name + " at " +
                             describe(b.place));
        }
    }
    return faults;
}

// The layout itself, as drawn at 96 DPI.
inline std::vector<PlacedControl> layout_controls() {
    std::vector<PlacedControl> controls;
    for (const auto& c : window_layout::kControls) controls.push_back({c.name, c.parent, c.place});
    return controls;
}

}  // namespace kavro::test
