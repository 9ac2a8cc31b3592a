// The client window's layout, shared by the Qt and the Win32 front ends: its size and place, every
// control's rectangle in its parent, the caster grid's columns and rows, the captions and the
// log's opening lines. Lengths are pixels at 96 DPI; the Win32 window scales them to its DPI.
// Nothing here knows a toolkit, so both front ends and their tests read the same numbers.
#pragma once

#include "app/kavro_version.h"

namespace kavro::window_layout {

// A rectangle in its parent's client area: left, top, width and height.
struct Rect {
    int left;
    int top;
    int width;
    int height;

    constexpr int right() const { return left + width; }
    constexpr int bottom() const { return top + height; }
};

// The window: its caption, the size of its client area and its place on the screen.
inline constexpr const char* kCaption = "KAVRO";
inline constexpr int kClientWidth = 316;
inline constexpr int kClientHeight = 197;
inline constexpr int kWindowLeft = 229;
inline constexpr int kWindowTop = 103;

// The mode buttons along the top; About is made but never shown.
inline constexpr Rect kCastButton{0, 8, 75, 25};
inline constexpr Rect kWatchButton{80, 8, 75, 25};
inline constexpr Rect kStopButton{160, 8, 75, 25};
inline constexpr Rect kAboutButton{240, 8, 75, 25};
inline constexpr const char* kCastButtonText = "Cast LFS";
inline constexpr const char* kWatchButtonText = "Watch LFS";
inline constexpr const char* kStopButtonText = "Stop";
inline constexpr const char* kAboutButtonText = "About";

// The log's group box and the cast and watch panels share one rectangle: a shown panel lies over
// the log, and the log shows again when both panels are hidden.
inline constexpr Rect kPanel{0, 40, 315, 140};
inline constexpr const char* kCastPanelText = "Cast LFS";
inline constexpr const char* kWatchPanelText = "Watch LFS";

// The log, inside its group box, and its opening lines.
inline constexpr Rect kLog{4, 14, 305, 120};
inline constexpr const char* kLogLines[] = {"KAVRO v. " KAVRO_VERSION,
                                            "by the Kavro developers",
                                            "Contact: the Kavro project's issue tracker",
                                            "See readme.txt for more information.",
                                            "",
                                            "Have fun!"};

// The cast panel. Labels are as wide as their text in the layout's face; the track label and
// chooser are made but kept hidden. The chooser's rectangle is its closed field.
inline constexpr Rect kCastNameLabel{8, 24, 53, 13};
inline constexpr Rect kCastNameEdit{72, 20, 121, 21};
inline constexpr Rect kTrackLabel{8, 56, 31, 13};
inline constexpr Rect kTrackChooser{72, 52, 124, 22};
inline constexpr Rect kCastStartButton{72, 96, 75, 25};
inline constexpr const char* kCastNameLabelText = "Cast name:";
inline constexpr const char* kTrackLabelText = "Track:";
inline constexpr const char* kCastStartButtonText = "Cast";
inline constexpr int kCastNameMaxLength = 32;
inline constexpr int kTrackItemHeight = 16;
inline constexpr int kTrackItemsVisible = 6;

// The watch panel: the caster grid and its buttons. The name column gives way to a vertical
// scroll bar, so the four columns always fit the grid.
inline constexpr Rect kCasterGrid{6, 16, 305, 89};
inline constexpr Rect kWatchStartButton{8, 110, 75, 25};
inline constexpr Rect kRefreshButton{230, 110, 75, 25};
inline constexpr const char* kWatchStartButtonText = "Watch";
inline constexpr const char* kRefreshButtonText = "Refresh";
inline constexpr int kGridColumns = 4;
inline constexpr int kGridColumnWidths[kGridColumns] = {147, 40, 47, 64};
inline constexpr int kGridRowHeight = 16;

// The throughput meter under the panels, as wide as its text (this first one is the widest the
// layout gives it).
inline constexpr Rect kMeter{0, 182, 166, 13};
inline constexpr const char* kMeterText = "sent: 0 b/sec     ---     recv: 0 b/sec";

// The group boxes that hold other controls. They share kPanel, so they lie on one another.
inline constexpr const char* kPanels[] = {"bg_debug", "bg_cast", "bg_watch"};

// Every control, by the name both front ends give it, with its parent (empty for the window) and
// its place there: what the window tests walk to check that each lies inside its parent and none
// overlaps another.
struct Control {
    const char* name;
    const char* parent;
    Rect place;
};
inline constexpr Control kControls[] = {
    {"btn_cast", "", kCastButton},
    {"btn_watch", "", kWatchButton},
    {"btn_stop", "", kStopButton},
    {"btn_about", "", kAboutButton},
    {"bg_debug", "", kPanel},
    {"debug", "bg_debug", kLog},
    {"bg_cast", "", kPanel},
    {"lbl_castname", "bg_cast", kCastNameLabel},
    {"ed_castname", "bg_cast", kCastNameEdit},
    {"lbl_track", "bg_cast", kTrackLabel},
    {"cb_track", "bg_cast", kTrackChooser},
    {"btn_cast1", "bg_cast", kCastStartButton},
    {"bg_watch", "", kPanel},
    {"sg_serverlist", "bg_watch", kCasterGrid},
    {"btn_watch1", "bg_watch", kWatchStartButton},
    {"btn_refresh", "bg_watch", kRefreshButton},
    {"socket_data", "", kMeter},
};

}  // namespace kavro::window_layout
