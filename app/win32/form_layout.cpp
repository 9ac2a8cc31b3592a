// The window's controls: kinds, initial states and tab order. Their texts come from the shared
// layout (app/window_layout.h), and form_placement.cpp puts them where it says. Creation order
// is the tab order: the dialog keys walk the controls in their z-order.
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <string>

#include "app/win32/caster_grid.h"
#include "app/win32/control_ids.h"
#include "app/win32/dpi_scale.h"
#include "app/win32/form.h"
#include "app/win32/track_chooser.h"
#include "app/win32/wide_text.h"
#include "app/win32/window_font.h"
#include "app/win32/window_geometry.h"
#include "app/window_layout.h"

namespace kavro {
namespace {

using namespace win32;
using namespace window_layout;

// A control at no place yet: the window's layout places and sizes it.
HWND make(HWND parent, const wchar_t* kind, const std::string& text, DWORD style, DWORD ex_style,
          int id, HFONT font) {
    HWND control = CreateWindowExW(ex_style, kind, widen(text).c_str(), WS_CHILD | style, 0, 0, 0,
                                   0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

HWND make_button(HWND parent, const char* text, int id, HFONT font, bool visible = true) {
    return make(parent, L"BUTTON", text, WS_TABSTOP | BS_PUSHBUTTON | (visible ? WS_VISIBLE : 0u),
                0, id, font);
}

// Group boxes hold controls of their own: the dialog keys step into them, and what their
// controls report reaches the window.
LRESULT CALLBACK forward_to_window(HWND group, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                                   DWORD_PTR window) {
    switch (message) {
        case WM_ERASEBKGND: {
            // A group box draws only its frame: its face, over the log when it covers it, is ours.
            RECT face{};
            GetClientRect(group, &face);
            FillRect(reinterpret_cast<HDC>(w), &face, GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_DRAWITEM:
        case WM_MEASUREITEM:
            return SendMessageW(reinterpret_cast<HWND>(window), message, w, l);
        default:
            return DefSubclassProc(group, message, w, l);
    }
}

HWND make_group(HWND window, const char* caption, int id, HFONT font, bool visible) {
    HWND group = make(window, L"BUTTON", caption,
                      BS_GROUPBOX | WS_CLIPCHILDREN | (visible ? WS_VISIBLE : 0u),
                      WS_EX_CONTROLPARENT, id, font);
    SetWindowSubclass(group, forward_to_window, 0, reinterpret_cast<DWORD_PTR>(window));
    return group;
}

// The log takes text but not Tab: Tab and Shift+Tab move the focus on, as in a text control
// that does not take tabs.
LRESULT CALLBACK log_keys(HWND log, UINT message, WPARAM w, LPARAM l, UINT_PTR, DWORD_PTR) {
    LRESULT result = DefSubclassProc(log, message, w, l);
    if (message == WM_GETDLGCODE && l != 0) {
        const MSG& key = *reinterpret_cast<const MSG*>(l);
        if (key.message == WM_KEYDOWN && key.wParam == VK_TAB) {
            result &= ~(DLGC_WANTALLKEYS | DLGC_WANTTAB);
        }
    }
    return result;
}

std::string initial_log_text() {
    std::string text;
    for (const char* line : kLogLines) {
        if (line != kLogLines[0]) text += "\r\n";
        text += line;
    }
    return text;
}

void register_window_class(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, L"IDI_ICON1");
    window_class.hIconSm = static_cast<HICON>(
        LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);  // the dialog face
    window_class.lpszClassName = L"TForm1";
    RegisterClassExW(&window_class);  // fails harmlessly when a second form registers again
}

}  // namespace

void TForm1::build_controls(HINSTANCE instance) {
    const INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&common);
    register_window_class(instance, window_proc);

    // Opened where it will show, so it gets that monitor's DPI, for which the controls are made.
    Form1 =
        CreateWindowExW(0, L"TForm1", widen(kCaption).c_str(), kWindowStyle, kWindowLeft,
                        kWindowTop, kClientWidth, kClientHeight, nullptr, nullptr, instance, this);
    dpi_ = window_dpi(Form1);
    font_ = create_window_font(dpi_);
    HFONT f = font_;

    btn_cast = make_button(Form1, kCastButtonText, kIdCast, f);
    btn_watch = make_button(Form1, kWatchButtonText, kIdWatch, f);

    bg_debug = make_group(Form1, "", kIdDebugGroup, f, true);
    debug = make(bg_debug, L"EDIT", initial_log_text(),
                 WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
                 WS_EX_CLIENTEDGE, kIdDebug, f);
    SendMessageW(debug, EM_SETLIMITTEXT, 0, 0);  // the log has no length limit
    SetWindowSubclass(debug, log_keys, 0, 0);

    btn_stop = make_button(Form1, kStopButtonText, kIdStop, f);
    EnableWindow(btn_stop, FALSE);
    btn_about = make_button(Form1, kAboutButtonText, kIdAbout, f, false);

    bg_cast = make_group(Form1, kCastPanelText, kIdCastGroup, f, false);
    lbl_castname =
        make(bg_cast, L"STATIC", kCastNameLabelText, WS_VISIBLE | SS_LEFT, 0, kIdCastNameLabel, f);
    ed_castname = make(bg_cast, L"EDIT", "", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                       WS_EX_CLIENTEDGE, kIdCastName, f);
    SendMessageW(ed_castname, EM_SETLIMITTEXT, kCastNameMaxLength, 0);
    lbl_track = make(bg_cast, L"STATIC", kTrackLabelText, SS_LEFT, 0, kIdTrackLabel, f);
    cb_track = create_track_chooser(bg_cast, kIdTrack, f);
    btn_cast1 = make_button(bg_cast, kCastStartButtonText, kIdCast1, f);

    bg_watch = make_group(Form1, kWatchPanelText, kIdWatchGroup, f, false);
    btn_watch1 = make_button(bg_watch, kWatchStartButtonText, kIdWatch1, f);
    btn_refresh = make_button(bg_watch, kRefreshButtonText, kIdRefresh, f);
    sg_serverlist = create_caster_grid(bg_watch, kIdServerList, f, dpi_);

    socket_data =
        make(Form1, L"STATIC", kMeterText, WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, kIdSocketData, f);

    place_controls();
    place_window(scaled(kWindowLeft, dpi_), scaled(kWindowTop, dpi_));
}

}  // namespace kavro
