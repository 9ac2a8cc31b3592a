// The window's font: MS Sans Serif 8 pt, height -11 at 96 pixels per inch and -MulDiv(8, DPI, 72)
// at any DPI, as Windows sizes a dialog's font. Where that face is missing (Wine without its own
// fonts, for one), the first of a few common faces whose widths for the window's own texts fit
// the widths the layout was drawn for, scaled to the DPI.
#pragma once

#include <windows.h>

#include <string>

#include "app/window_layout.h"

namespace kavro::win32 {

// The face the layout was drawn for, and its size.
inline constexpr const wchar_t* kLayoutFace = L"MS Sans Serif";
inline constexpr int kLayoutFontPoints = 8;

// The font's height in pixels at `dpi` (negative: the character height); -11 at 96.
int layout_font_height(int dpi);

// Texts whose widths the layout fixes (their labels are as wide as they are in the layout's face
// at 96 DPI); a face fits when the ink of each is no wider.
struct LayoutText {
    const char* text;
    int width;
};
inline constexpr LayoutText kLayoutTexts[] = {
    {window_layout::kCastNameLabelText, window_layout::kCastNameLabel.width},
    {window_layout::kTrackLabelText, window_layout::kTrackLabel.width},
    {window_layout::kMeterText, window_layout::kMeter.width},
};

// The caller owns the font (DeleteObject).
HFONT create_window_font(int dpi);

// The face the system actually gave `font`.
std::wstring font_face(HFONT font);
// How far the letters of `text` drawn in `font` reach from where they start: what a control must
// leave them. Some faces draw past their advance widths at some sizes (Wine's Tahoma at 14
// pixels by six pixels over this window's meter text), others stop short of them.
int ink_width(HFONT font, const std::wstring& text);
// The width `text` takes in `font`: its advance, or its ink where that reaches further.
int text_width(HFONT font, const std::wstring& text);

}  // namespace kavro::win32
