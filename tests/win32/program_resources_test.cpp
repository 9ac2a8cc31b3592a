// kavro.exe as built: its icon and its version record, read from the file as Windows reads them.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

// The program's path as Windows sees it: under Wine a Unix path lies on drive Z:.
std::wstring program_path() {
    std::wstring path;
    for (const char c : std::string(KAVRO_EXE_PATH)) path += c == '/' ? L'\\' : wchar_t(c);
    return path.rfind(L"\\", 0) == 0 ? L"Z:" + path : path;
}

}  // namespace

TEST(Win32Program, KavroExeCarriesItsIconAndTheVersionRecord) {
    const std::wstring path = program_path();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version record in " << KAVRO_EXE_PATH;
    std::vector<BYTE> record(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, record.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    // 0.0.2.0, file and product alike.
    EXPECT_EQ(fixed->dwFileVersionMS, 0u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00020000u);
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(text), L"0.0.2.0");

    HMODULE program = LoadLibraryExW(path.c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr);
    HANDLE icon = LoadImageW(program, L"IDI_ICON1", IMAGE_ICON, 32, 32, 0);
    EXPECT_NE(icon, nullptr);
    if (icon != nullptr) DestroyIcon(static_cast<HICON>(icon));
    FreeLibrary(program);
}
