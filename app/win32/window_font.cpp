#include "app/win32/window_font.h"

#include <algorithm>
#include <cstdint>

#include "app/win32/dpi_scale.h"
#include "app/win32/wide_text.h"

namespace kavro::win32 {
namespace {

// Tried in this order after the layout's face: Windows' own successors of it first, then faces a
// Linux system running Wine usually has, narrow ones before wide ones.
constexpr const wchar_t* kFallbackFaces[] = {
    L"Microsoft Sans Serif",
    L"Tahoma",
    L"Liberation Sans Narrow",
    L"DejaVu Sans Condensed",
    L"Liberation Sans",
    L"DejaVu Sans",
    L"Arial",
};

HFONT create_font(const wchar_t* face, int height) {
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, face);
}

bool fits_layout(HFONT font, int dpi) {
    for (const auto& t : kLayoutTexts) {
        if (ink_width(font, widen(t.text)) > scaled(t.width, dpi)) return false;
    }
    return true;
}

SIZE advance(HFONT font, const std::wstring& text) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size;
}

// `face` exists (the system did not substitute another) and its texts fit the layout.
HFONT usable_font(const wchar_t* face, int height, int dpi) {
    HFONT font = create_font(face, height);
    if (font == nullptr) return nullptr;
    if (_wcsicmp(font_face(font).c_str(), face) == 0 && fits_layout(font, dpi)) return font;
    DeleteObject(font);
    return nullptr;
}

}  // namespace

std::wstring font_face(HFONT font) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return face;
}

int ink_width(HFONT font, const std::wstring& text) {
    const SIZE size = advance(font, text);
    // Room past the advance for letters drawn beyond it.
    const int width = size.cx + 2 * size.cy + 8;
    const int height = size.cy + 4;
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP canvas = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (canvas == nullptr) return size.cx;
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old_canvas = SelectObject(dc, canvas);
    HGDIOBJ old_font = SelectObject(dc, font);
    PatBlt(dc, 0, 0, width, height, WHITENESS);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    TextOutW(dc, 0, 0, text.c_str(), static_cast<int>(text.size()));
    GdiFlush();
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    int reach = 0;
    for (int x = width - 1; x >= 0 && reach == 0; --x) {
        for (int y = 0; y < height; ++y) {
            if ((pixels[y * width + x] & 0xFFFFFFu) != 0xFFFFFFu) {
                reach = x + 1;
                break;
            }
        }
    }
    SelectObject(dc, old_font);
    SelectObject(dc, old_canvas);
    DeleteDC(dc);
    DeleteObject(canvas);
    return reach;
}

int text_width(HFONT font, const std::wstring& text) {
    return std::max<int>(advance(font, text).cx, ink_width(font, text));
}

int layout_font_height(int dpi) { return -MulDiv(kLayoutFontPoints, dpi, 72); }

HFONT create_window_font(int dpi) {
    const int height = layout_font_height(dpi);
    if (HFONT font = usable_font(kLayoutFace, height, dpi)) return font;
    // A fallback face may be a little wider than the layout's: the first size down that fits,
    // trying as many sizes at every DPI (one pixel at 96 is one and a half at 144).
    for (int step = 0; step <= 2; ++step) {
        for (const wchar_t* face : kFallbackFaces) {
            if (HFONT font = usable_font(face, height + scaled(step, dpi), dpi)) return font;
        }
    }
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

}  // namespace kavro::win32
