// Calls a function that Windows 7 lacks directly, as kavro.exe must not.
#include <windows.h>

int main() { return static_cast<int>(GetDpiForWindow(GetDesktopWindow())); }
