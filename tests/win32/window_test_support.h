// Drives the real Win32 window in a window test: the message loop the program runs (with the
// dialog keys), real keyboard and mouse input through SendInput, waits with deadlines, and where
// a control sits.
#pragma once

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "app/win32/form.h"
#include "temp_folder.h"

namespace kavro::test {

inline constexpr std::chrono::milliseconds kWindowDeadline{10000};

// The DPI the run's Wine prefix is set to: KAVRO_TEST_DPI, 96 when unset.
inline int run_dpi() {
    const char* text = std::getenv("KAVRO_TEST_DPI");
    return text == nullptr || *text == '\0' ? 96 : std::atoi(text);
}

// A length of the layout (drawn at 96 DPI) at `dpi`, rounded to the nearest pixel, halves up.
inline int px(int length, int dpi = run_dpi()) { return (length * dpi + 48) / 96; }

// A rectangle of the layout (left, top, width, height) at `dpi`.
inline RECT px_rect(int left, int top, int width, int height, int dpi = run_dpi()) {
    return {px(left, dpi), px(top, dpi), px(left, dpi) + px(width, dpi),
            px(top, dpi) + px(height, dpi)};
}

// Runs the window's messages, as the program's loop does, until `done` or the deadline.
inline bool pump_until(TForm1& form, const std::function<bool()>& done,
                       std::chrono::milliseconds within = kWindowDeadline) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (form.dialog_message(message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// Handles whatever is waiting, and what that brings with it.
inline void pump(TForm1& form) {
    int rounds = 0;
    pump_until(form, [&] { return ++rounds > 5; });
}

// How far the letters of `text` reach when drawn in `font` from x = 0: the width a control must
// give the text so that none of it is cut off. (A face's advance widths may say otherwise: Wine's
// Tahoma draws past them at some sizes.) Measured here on its own, not with the window's helper,
// so a fault in that one shows.
inline int ink_width(HFONT font, const std::wstring& text) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old_font = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    const int width = size.cx + 2 * size.cy + 8;
    const int height = size.cy + 4;
    HBITMAP bitmap = CreateBitmap(width, height, 1, 1, nullptr);  // one bit a pixel
    HGDIOBJ old_bitmap = SelectObject(dc, bitmap);
    PatBlt(dc, 0, 0, width, height, WHITENESS);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    TextOutW(dc, 0, 0, text.c_str(), static_cast<int>(text.size()));
    int right = 0;
    for (int x = width - 1; x >= 0 && right == 0; --x) {
        for (int y = 0; y < height; ++y) {
            if (GetPixel(dc, x, y) != RGB(255, 255, 255)) {
                right = x + 1;
                break;
            }
        }
    }
    SelectObject(dc, old_bitmap);
    SelectObject(dc, old_font);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return right;
}

inline HFONT font_of(HWND control) {
    return reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
}

// A control's rectangle in its parent's client coordinates.
inline RECT place_of(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

inline std::wstring text_of(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

inline void send_key(WORD key, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
}

// Presses and releases `key` (with Shift held when asked), then runs the window's messages until
// the focus has moved or the deadline passes.
inline void press(TForm1& form, WORD key, bool shift = false) {
    if (shift) send_key(VK_SHIFT, false);
    send_key(key, false);
    send_key(key, true);
    if (shift) send_key(VK_SHIFT, true);
    const HWND before = GetFocus();
    pump_until(
        form, [&] { return GetFocus() != before; }, std::chrono::milliseconds(1500));
    pump(form);
}

// A left click at a point of the screen.
inline void click_screen(TForm1& form, POINT at) {
    SetCursorPos(at.x, at.y);
    INPUT input[2]{};
    input[0].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].type = INPUT_MOUSE;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof input[0]);
    pump(form);
}

// A left click at a point of `control`'s client area.
inline void click(TForm1& form, HWND control, POINT at) {
    ClientToScreen(control, &at);
    click_screen(form, at);
}

inline void click_middle(TForm1& form, HWND control) {
    RECT r{};
    GetClientRect(control, &r);
    click(form, control, POINT{r.right / 2, r.bottom / 2});
}

// A simulator installation (LFS.exe, data/mpr/) with the client's working folder kavro/ below it,
// made current for the test's lifetime.
class SimulatorInstall {
  public:
    SimulatorInstall() {
        std::filesystem::create_directories(folder_.path() / "data" / "mpr");
        std::filesystem::create_directories(folder_.path() / "kavro");
        write_file(folder_.path() / "LFS.exe", {'M', 'Z'});
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(folder_.path() / "kavro");
    }
    ~SimulatorInstall() { std::filesystem::current_path(previous_); }
    const std::filesystem::path& root() const { return folder_.path(); }

  private:
    TempFolder folder_;
    std::filesystem::path previous_;
};

// The real window, shown and in front, with a relay address where nothing listens unless a
// test says otherwise.
struct ShownWindow {
    explicit ShownWindow(const std::string& port = "1")
        : form(GetModuleHandleW(nullptr), RelayAddress{"127.0.0.1", port}) {
        form.show();
        SetForegroundWindow(form.Form1);
        pump_until(form, [&] { return GetForegroundWindow() == form.Form1; });
        pump(form);
        // Every expectation is scaled to the run's DPI: a prefix at another DPI would pass off
        // one run as the other.
        if (form.dpi() != run_dpi()) {
            ADD_FAILURE() << "the window is laid out for " << form.dpi() << " DPI; this run's Wine "
                          << "prefix should be at " << run_dpi() << " (scripts/setup makes it)";
        }
    }
    SimulatorInstall install;
    TForm1 form;
};

}  // namespace kavro::test
