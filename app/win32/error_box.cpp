#include "app/win32/error_box.h"

namespace kavro::win32 {

std::wstring error_box_text(const std::wstring& message) {
    if (!message.empty() && message.back() > L'.') return message + L'.';
    return message;
}

void show_error(HWND owner, const std::wstring& message) {
    MessageBoxW(owner, error_box_text(message).c_str(), kApplicationTitle,
                MB_OK | MB_ICONERROR | MB_APPLMODAL);
}

}  // namespace kavro::win32
