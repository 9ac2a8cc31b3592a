// Errors that escape an event handler: shown in the system's error box (error icon, caption
// "kavro", one OK button), after which the event loop goes on with the next event.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "app/win32/wide_text.h"

namespace kavro::win32 {

inline constexpr const wchar_t* kApplicationTitle = L"kavro";

// The error's message, with a full stop added when it is not empty and its last character sorts
// after the full stop.
std::wstring error_box_text(const std::wstring& message);

void show_error(HWND owner, const std::wstring& message);

// Runs `handler`; whatever it throws is shown in the error box and goes no further, since an
// exception must not unwind through the system's window procedures.
template <class Handler>
void guarded(HWND owner, Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        show_error(owner, widen(e.what()));
    } catch (...) {
        show_error(owner, std::wstring());
    }
}

}  // namespace kavro::win32
