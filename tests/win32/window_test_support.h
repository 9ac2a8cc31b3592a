// Drives the real Win32 window in a window test: the message loop the program runs (with the
// dialog keys), real keyboard and mouse input through SendInput, waits with deadlines, and where
// a control sits.
#pragma once

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "app/win32/form.h"
#include "temp_folder.h"

namespace kavro::test {

inline constexpr std::chrono::milliseconds kWindowDeadline{10000};

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
    }
    SimulatorInstall install;
    TForm1 form;
};

}  // namespace kavro::test
