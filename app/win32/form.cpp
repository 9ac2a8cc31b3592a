#include "app/win32/form.h"

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include "app/win32/caster_grid.h"
#include "app/win32/control_ids.h"
#include "app/win32/dpi_scale.h"
#include "app/win32/error_box.h"
#include "app/win32/track_chooser.h"
#include "app/win32/wide_text.h"
#include "app/win32/window_font.h"

namespace kavro {
namespace {

using namespace win32;

std::wstring window_text(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

bool is_within(HWND control, HWND ancestor) {
    return control != nullptr && (control == ancestor || IsChild(ancestor, control));
}

}  // namespace

TForm1::TForm1(HINSTANCE instance, const RelayAddress& relay, ClientPaths paths) {
    build_controls(instance);
    tcp1.RemoteHost = relay.host;
    tcp1.RemotePort = relay.port;
    core_ = std::make_unique<ClientCore>(*this, tcp1, std::move(paths));
    tcp1.OnConnect = [this] { tcp1Connect(); };
    tcp1.OnDisconnect = [this] { tcp1Disconnect(); };
}

TForm1::~TForm1() {
    // Closing the window closes the connection; the handlers are not run any more.
    tcp1.OnConnect = nullptr;
    tcp1.OnDisconnect = nullptr;
    tcp1.Disconnect();
    core_.reset();
    if (IsWindow(Form1)) {
        SetWindowLongPtrW(Form1, GWLP_USERDATA, 0);
        DestroyWindow(Form1);
    }
    DeleteObject(font_);
}

void TForm1::show() {
    ShowWindow(Form1, SW_SHOW);
    UpdateWindow(Form1);
    SetFocus(btn_cast);
}

void TForm1::FormCreate() { core_->FormCreate(); }
void TForm1::btn_castClick() { core_->btn_castClick(); }
void TForm1::btn_watchClick() { core_->btn_watchClick(); }
void TForm1::btn_stopClick() { core_->btn_stopClick(); }
void TForm1::btn_cast1Click() { core_->btn_cast1Click(); }
void TForm1::btn_refreshClick() { core_->btn_refreshClick(); }
void TForm1::btn_watch1Click() { core_->btn_watch1Click(); }
void TForm1::tcp1Connect() { core_->tcp1Connect(); }
void TForm1::tcp1Disconnect() { core_->tcp1Disconnect(); }
void TForm1::Timer1Timer() { core_->Timer1Timer(); }
void TForm1::Timer2Timer() { core_->Timer2Timer(); }

LRESULT CALLBACK TForm1::window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr || form->Form1 == nullptr) return DefWindowProcW(window, message, w, l);
    LRESULT result = 0;
    guarded(window, [&] { result = form->handle_message(message, w, l); });
    return result;
}

LRESULT TForm1::handle_message(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(w) == BN_CLICKED && l != 0) on_command(LOWORD(w));
            return 0;
        case WM_TIMER:
            if (w == kTimer1) Timer1Timer();
            if (w == kTimer2) Timer2Timer();
            return 0;
        case WM_NOTIFY: {
            // The header row's columns keep their widths: dragging a divider does nothing.
            const auto code = reinterpret_cast<const NMHDR*>(l)->code;
            if (code == HDN_BEGINTRACKW || code == HDN_BEGINTRACKA ||
                code == HDN_DIVIDERDBLCLICKW || code == HDN_DIVIDERDBLCLICKA) {
                return TRUE;
            }
            return DefWindowProcW(Form1, message, w, l);
        }
        case WM_MEASUREITEM: {
            auto& item = *reinterpret_cast<MEASUREITEMSTRUCT*>(l);
            item.itemHeight = static_cast<UINT>(
                scaled(item.CtlID == kIdServerList ? kGridRowHeight : kTrackItemHeight, dpi_));
            return TRUE;
        }
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(l);
            if (item.CtlID == kIdServerList) draw_grid_row(item, dpi_);
            if (item.CtlID == kIdTrack) draw_track_item(item, dpi_);
            return TRUE;
        }
        case WM_DPICHANGED:
            change_dpi(HIWORD(w), *reinterpret_cast<const RECT*>(l));
            return 0;
        case WM_ACTIVATE:
            // The focus comes back to the control that had it when the window was left.
            if (LOWORD(w) == WA_INACTIVE) {
                focus_before_deactivation_ = GetFocus();
            } else if (IsWindow(focus_before_deactivation_) &&
                       IsChild(Form1, focus_before_deactivation_)) {
                SetFocus(focus_before_deactivation_);
                return 0;
            }
            return DefWindowProcW(Form1, message, w, l);
        case WM_CLOSE:
            DestroyWindow(Form1);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(Form1, message, w, l);
    }
}

void TForm1::on_command(int id) {
    switch (id) {
        case kIdCast:
            btn_castClick();
            break;
        case kIdWatch:
            btn_watchClick();
            break;
        case kIdStop:
            btn_stopClick();
            break;
        case kIdCast1:
            btn_cast1Click();
            break;
        case kIdWatch1:
            btn_watch1Click();
            break;
        case kIdRefresh:
            btn_refreshClick();
            break;
        default:
            break;
    }
}

void TForm1::keep_focus() {
    HWND focus = GetFocus();
    if (focus != nullptr && IsWindowVisible(focus) && IsWindowEnabled(focus)) return;
    if (GetActiveWindow() != Form1) return;
    if (HWND next = GetNextDlgTabItem(Form1, nullptr, FALSE)) SetFocus(next);
}

void TForm1::set_panel_visible(Panel panel, bool visible) {
    ShowWindow(panel == Panel::kCast ? bg_cast : bg_watch, visible ? SW_SHOW : SW_HIDE);
    // The log shows when neither panel covers it; covered, it is out of the tab order too.
    const bool log_covered = IsWindowVisible(bg_cast) || IsWindowVisible(bg_watch);
    ShowWindow(bg_debug, log_covered ? SW_HIDE : SW_SHOW);
    keep_focus();
}

void TForm1::set_button_enabled(ModeButton button, bool enabled) {
    HWND control = button == ModeButton::kCast    ? btn_cast
                   : button == ModeButton::kWatch ? btn_watch
                                                  : btn_stop;
    const bool had_focus = is_within(GetFocus(), control);
    EnableWindow(control, enabled ? TRUE : FALSE);
    if (had_focus && !enabled) keep_focus();
}

void TForm1::add_log_line(const std::string& line) {
    const std::wstring text = L"\r\n" + widen(line);
    const auto end = static_cast<WPARAM>(GetWindowTextLengthW(debug));
    SendMessageW(debug, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageW(debug, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageW(debug, EM_SCROLLCARET, 0, 0);
}

void TForm1::show_message(const std::string& text) {
    // Modal: the window is disabled meanwhile, but the box's loop still delivers the timers.
    MessageBoxW(Form1, widen(text).c_str(), kApplicationTitle, MB_OK | MB_APPLMODAL);
}

void TForm1::show_caster_grid(const CasterRow& header, const std::vector<CasterRow>& rows) {
    show_grid_rows(sg_serverlist, header, rows, dpi_);
}

void TForm1::set_meter_text(const std::string& text) {
    const std::wstring wide = widen(text);
    SetWindowTextW(socket_data, wide.c_str());
    size_meter(wide);  // the label sizes itself to its text
    InvalidateRect(Form1, nullptr, TRUE);
}

void TForm1::set_timer(WindowTimer timer, bool enabled, int interval_ms) {
    const UINT_PTR id = timer == WindowTimer::kPoll ? kTimer1 : kTimer2;
    if (enabled) {
        SetTimer(Form1, id, static_cast<UINT>(interval_ms), nullptr);  // restarts the period
    } else {
        KillTimer(Form1, id);
    }
}

std::string TForm1::cast_name() const { return narrow(window_text(ed_castname)); }

std::string TForm1::track_text() const { return narrow(window_text(cb_track)); }

int TForm1::selected_grid_row() const { return win32::selected_grid_row(sg_serverlist); }

char TForm1::decimal_separator() const {
    wchar_t separator[8] = {};
    const int length = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8);
    if (length == 2 && separator[0] > 0 && separator[0] < 0x80) {
        return static_cast<char>(separator[0]);
    }
    return '.';
}

}  // namespace kavro
