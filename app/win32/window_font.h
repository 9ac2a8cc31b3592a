// The window's font: MS Sans Serif 8 pt, height -11 at 96 pixels per inch. Where that face is
// missing (Wine without its own fonts, for one), the first of a few common faces whose widths for
// the window's own texts fit the widths the layout was drawn for.
#pragma once

#include <windows.h>

#include <string>

namespace kavro::win32 {

// The face the layout was drawn for, and its height in pixels (negative: the character height).
inline constexpr const wchar_t* kLayoutFace = L"MS Sans Serif";
inline constexpr int kLayoutFontHeight = -11;

// Texts whose widths the layout fixes, with the width each has in the layout's face.
struct LayoutText {
    const wchar_t* text;
    int width;
};
inline constexpr LayoutText kLayoutTexts[] = {
    {L"Cast name:", 53},
    {L"Track:", 31},
    {L"sent: 0 b/sec     ---     recv: 0 b/sec", 166},
};

// The caller owns the font (DeleteObject).
HFONT create_window_font();

// The face the system actually gave `font`, and the width of `text` drawn in it.
std::wstring font_face(HFONT font);
int text_width(HFONT font, const std::wstring& text);

}  // namespace kavro::win32
