// Where the window's controls lie, and laying them out again for another DPI: every rectangle of
// the layout (drawn at 96 DPI) scaled by DPI/96, the font made for the DPI, and the grid's rows
// and columns and the track chooser's items scaled alike.
#include <windows.h>

#include "app/win32/caster_grid.h"
#include "app/win32/dpi_scale.h"
#include "app/win32/form.h"
#include "app/win32/track_chooser.h"
#include "app/win32/window_font.h"
#include "app/win32/window_geometry.h"
#include "app/window_layout.h"

namespace kavro {
namespace {

using namespace win32;
namespace layout = window_layout;

// Each control's place in its parent at 96 DPI.
struct Placement {
    HWND TForm1::*control;
    layout::Rect place;
};
constexpr Placement kPlacements[] = {
    {&TForm1::btn_cast, layout::kCastButton},
    {&TForm1::btn_watch, layout::kWatchButton},
    {&TForm1::btn_stop, layout::kStopButton},
    {&TForm1::btn_about, layout::kAboutButton},
    {&TForm1::bg_debug, layout::kPanel},
    {&TForm1::debug, layout::kLog},
    {&TForm1::bg_cast, layout::kPanel},
    {&TForm1::lbl_castname, layout::kCastNameLabel},
    {&TForm1::ed_castname, layout::kCastNameEdit},
    {&TForm1::lbl_track, layout::kTrackLabel},
    {&TForm1::btn_cast1, layout::kCastStartButton},
    {&TForm1::bg_watch, layout::kPanel},
    {&TForm1::sg_serverlist, layout::kCasterGrid},
    {&TForm1::btn_watch1, layout::kWatchStartButton},
    {&TForm1::btn_refresh, layout::kRefreshButton},
};
// The track chooser's place is its closed field (its open list is sized from its items); the
// meter label keeps its place's top left corner and height, and is as wide as its text.

void move(HWND control, const RECT& place) {
    SetWindowPos(control, nullptr, place.left, place.top, place.right - place.left,
                 place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring text_of(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

}  // namespace

void TForm1::place_controls() {
    for (const Placement& p : kPlacements) move(this->*p.control, scaled(p.place, dpi_));
    fit_track_chooser(cb_track, scaled(layout::kTrackChooser, dpi_), dpi_);
    scale_caster_grid(sg_serverlist, dpi_);
    size_meter(text_of(socket_data));
}

void TForm1::size_meter(const std::wstring& text) {
    const RECT place = scaled(layout::kMeter, dpi_);
    SetWindowPos(socket_data, nullptr, place.left, place.top, text_width(font_, text),
                 place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm1::place_window(int left, int top) {
    const int width = scaled(kClientWidth, dpi_);
    const int height = scaled(kClientHeight, dpi_);
    RECT frame = window_rect_for_client(left, top, width, height, kWindowStyle, dpi_);
    SetWindowPos(Form1, nullptr, frame.left, frame.top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame the system drew may differ from the one it predicted (a frame of the old DPI
    // while the window crosses monitors): the client area is what counts.
    RECT client{};
    GetClientRect(Form1, &client);
    if (client.right != width || client.bottom != height) {
        SetWindowPos(Form1, nullptr, 0, 0, frame.right - frame.left + width - client.right,
                     frame.bottom - frame.top + height - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void TForm1::change_dpi(int dpi, const RECT& suggested) {
    dpi_ = dpi;
    HFONT previous = font_;
    font_ = create_window_font(dpi_);
    for (HWND control : {btn_cast, btn_watch, btn_stop, btn_about, bg_debug, debug, bg_cast,
                         lbl_castname, ed_castname, lbl_track, cb_track, btn_cast1, bg_watch,
                         sg_serverlist, btn_watch1, btn_refresh, socket_data}) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
    DeleteObject(previous);
    place_controls();
    // Where the system suggests, so the window stays under the mouse that dragged it across.
    place_window(suggested.left, suggested.top);
    RedrawWindow(Form1, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

}  // namespace kavro
