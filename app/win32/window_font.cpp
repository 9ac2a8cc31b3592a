#include "app/win32/window_font.h"

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

bool fits_layout(HFONT font) {
    for (const auto& t : kLayoutTexts) {
        if (text_width(font, t.text) > t.width) return false;
    }
    return true;
}

// `face` exists (the system did not substitute another) and its texts fit the layout.
HFONT usable_font(const wchar_t* face, int height) {
    HFONT font = create_font(face, height);
    if (font == nullptr) return nullptr;
    if (_wcsicmp(font_face(font).c_str(), face) == 0 && fits_layout(font)) return font;
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

int text_width(HFONT font, const std::wstring& text) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size.cx;
}

HFONT create_window_font() {
    if (HFONT font = usable_font(kLayoutFace, kLayoutFontHeight)) return font;
    // A fallback face may be a little wider than the layout's: the first size down that fits.
    for (const int height : {kLayoutFontHeight, kLayoutFontHeight + 1, kLayoutFontHeight + 2}) {
        for (const wchar_t* face : kFallbackFaces) {
            if (HFONT font = usable_font(face, height)) return font;
        }
    }
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

}  // namespace kavro::win32
