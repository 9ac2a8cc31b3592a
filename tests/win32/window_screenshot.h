// Saves what a window shows, as a BMP file, when KAVRO_SCREENSHOT_DIR names a folder; otherwise
// does nothing. The user's guide's pictures of kavro.exe at each DPI are taken this way.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kavro::test {

inline void save_screenshot(HWND window, const std::string& name) {
    const char* folder = std::getenv("KAVRO_SCREENSHOT_DIR");
    if (folder == nullptr || *folder == '\0') return;
    RECT client{};
    GetClientRect(window, &client);
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = client.right;
    header.biHeight = -client.bottom;  // top row first
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(client.right) * client.bottom * 4);
    // From the screen, as shown: the window's own DC leaves out what its children draw.
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, client.right, client.bottom, screen, origin.x, origin.y, SRCCOPY);
    SelectObject(memory, old);
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(client.bottom), pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    std::ofstream out(std::filesystem::path(folder) / (name + ".bmp"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(reinterpret_cast<const char*>(pixels.data()),
              static_cast<std::streamsize>(pixels.size()));
}

}  // namespace kavro::test
