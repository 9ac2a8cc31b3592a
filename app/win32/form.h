// The client's one window on Windows, in plain Win32. It owns every control, both timers and the
// relay connection `tcp1`; each handler forwards to the client core of the same name, and the
// core draws on the controls through the ClientView calls below. Nothing else lives here.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "client/client_core.h"
#include "client/client_view.h"
#include "client/relay_address.h"
#include "link/tcp_connection.h"

namespace kavro {

class TForm1 : public ClientView {
  public:
    // Makes the window (hidden) with every control at its place.
    TForm1(HINSTANCE instance, const RelayAddress& relay, ClientPaths paths = {});
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    HWND handle() const { return Form1; }
    // Shows the window and gives the first control the focus.
    void show();
    // The message loop's keyboard step: Tab, Shift+Tab, Enter and the arrows between controls.
    bool dialog_message(MSG& message) { return IsDialogMessageW(Form1, &message) != FALSE; }

    // Controls, named by kind: btn_ buttons, bg_ group boxes, lbl_ labels, ed_ edits,
    // cb_ combo boxes, sg_ string grids.
    HWND Form1 = nullptr;
    HWND btn_cast = nullptr;
    HWND btn_watch = nullptr;
    HWND btn_stop = nullptr;
    HWND btn_about = nullptr;
    HWND bg_debug = nullptr;
    HWND debug = nullptr;
    HWND bg_cast = nullptr;
    HWND lbl_castname = nullptr;
    HWND ed_castname = nullptr;
    HWND lbl_track = nullptr;
    HWND cb_track = nullptr;
    HWND btn_cast1 = nullptr;
    HWND bg_watch = nullptr;
    HWND sg_serverlist = nullptr;
    HWND btn_watch1 = nullptr;
    HWND btn_refresh = nullptr;
    HWND socket_data = nullptr;
    TcpConnection tcp1;

    // Handlers, each forwarding to the core.
    void FormCreate();
    void btn_castClick();
    void btn_watchClick();
    void btn_stopClick();
    void btn_cast1Click();
    void btn_refreshClick();
    void btn_watch1Click();
    void tcp1Connect();
    void tcp1Disconnect();
    void Timer1Timer();
    void Timer2Timer();

    ClientCore& core() { return *core_; }

    // ClientView.
    void set_panel_visible(Panel panel, bool visible) override;
    void set_button_enabled(ModeButton button, bool enabled) override;
    void add_log_line(const std::string& line) override;
    void show_message(const std::string& text) override;
    void show_caster_grid(const CasterRow& header, const std::vector<CasterRow>& rows) override;
    void set_meter_text(const std::string& text) override;
    void set_timer(WindowTimer timer, bool enabled, int interval_ms) override;
    std::string cast_name() const override;
    std::string track_text() const override;
    int selected_grid_row() const override;
    char decimal_separator() const override;

    // The window's font, as chosen for this system and the window's DPI.
    HFONT font() const { return font_; }
    // The DPI the window is laid out for: its monitor's.
    int dpi() const { return dpi_; }

  private:
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT handle_message(UINT message, WPARAM w, LPARAM l);
    void build_controls(HINSTANCE instance);
    // Every control at its place for dpi_, the meter label as wide as its text.
    void place_controls();
    void size_meter(const std::wstring& text);
    // The window at `left`, `top` with the layout's client area at dpi_.
    void place_window(int left, int top);
    // The window moved to a monitor of another DPI: a new font, and everything laid out again.
    void change_dpi(int dpi, const RECT& suggested);
    void on_command(int id);
    // A control that loses its place (hidden or disabled) while focused passes the focus on.
    void keep_focus();

    HFONT font_ = nullptr;
    int dpi_ = 96;
    HWND focus_before_deactivation_ = nullptr;
    std::unique_ptr<ClientCore> core_;
};

}  // namespace kavro
