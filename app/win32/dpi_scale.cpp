#include "app/win32/dpi_scale.h"

namespace kavro::win32 {
namespace {

template <class Function>
Function* user32_function(const char* name) {
    return reinterpret_cast<Function*>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

}  // namespace

int scaled(int length, int dpi) { return MulDiv(length, dpi, kLayoutDpi); }

RECT scaled(const RECT& at, int dpi) {
    const int left = scaled(at.left, dpi);
    const int top = scaled(at.top, dpi);
    return {left, top, left + scaled(at.right - at.left, dpi),
            top + scaled(at.bottom - at.top, dpi)};
}

RECT scaled(const window_layout::Rect& at, int dpi) {
    return scaled(RECT{at.left, at.top, at.right(), at.bottom()}, dpi);
}

int window_dpi(HWND window) {
    using GetDpiForWindow = UINT WINAPI(HWND);
    static GetDpiForWindow* const for_window = user32_function<GetDpiForWindow>("GetDpiForWindow");
    if (for_window != nullptr) {
        if (const UINT dpi = for_window(window); dpi != 0) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kLayoutDpi;
}

RECT window_rect_for_client(int left, int top, int width, int height, DWORD style, int dpi) {
    using AdjustForDpi = BOOL WINAPI(RECT*, DWORD, BOOL, DWORD, UINT);
    static AdjustForDpi* const adjust_for_dpi =
        user32_function<AdjustForDpi>("AdjustWindowRectExForDpi");
    RECT frame{0, 0, width, height};
    if (adjust_for_dpi == nullptr ||
        !adjust_for_dpi(&frame, style, FALSE, 0, static_cast<UINT>(dpi))) {
        AdjustWindowRectEx(&frame, style, FALSE, 0);
    }
    return {left, top, left + (frame.right - frame.left), top + (frame.bottom - frame.top)};
}

}  // namespace kavro::win32
