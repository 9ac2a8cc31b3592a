// kavro-window-ping.exe: looks at a running kavro.exe's window from outside, as Windows and a
// user would.
//
//   kavro-window-ping.exe ping SECONDS LIMIT_MS
//     For SECONDS sends the window WM_NULL every 50 ms and waits for each answer at most LIMIT_MS
//     (what Windows does before it calls a window "not responding"). Prints "pings N slowest-ms M
//     unanswered U"; exits 0 when every ping was answered within LIMIT_MS, 1 when one was not.
//   kavro-window-ping.exe log
//     Prints the window's log, its multi-line edit, one line per line, in UTF-8.
//
// The window is kavro.exe's main window, of class TForm1 (a caption search would not do: it
// ignores case, and the program's hidden owner window is captioned "kavro"); without it the
// program exits 2.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int ping(HWND window, double seconds, UINT limit_ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    int pings = 0, unanswered = 0;
    double slowest_ms = 0;
    while (Clock::now() < end) {
        const auto sent = Clock::now();
        DWORD_PTR result = 0;
        const LRESULT answered = SendMessageTimeoutW(
            window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, limit_ms, &result);
        const double took_ms =
            std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
        ++pings;
        if (answered == 0) ++unanswered;
        if (took_ms > slowest_ms) slowest_ms = took_ms;
        Sleep(50);
    }
    std::printf("pings %d slowest-ms %.1f unanswered %d\n", pings, slowest_ms, unanswered);
    return unanswered == 0 && slowest_ms <= limit_ms ? 0 : 1;
}

BOOL CALLBACK find_log(HWND child, LPARAM found) {
    wchar_t kind[16] = {};
    GetClassNameW(child, kind, 16);
    const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
    if (_wcsicmp(kind, L"Edit") == 0 && (style & ES_MULTILINE) != 0) {
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
    }
    return TRUE;
}

int print_log(HWND window) {
    HWND log = nullptr;
    EnumChildWindows(window, find_log, reinterpret_cast<LPARAM>(&log));
    if (log == nullptr) return 2;
    // GetWindowText does not read another program's controls; WM_GETTEXT does.
    const auto length = static_cast<int>(SendMessageW(log, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(log, WM_GETTEXT, static_cast<WPARAM>(length + 1),
                 reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr,
                                          nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), bytes, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const HWND window = FindWindowW(L"TForm1", nullptr);
    if (argc == 4 && std::strcmp(argv[1], "ping") == 0) {
        if (window == nullptr) return 2;
        return ping(window, std::atof(argv[2]), static_cast<UINT>(std::atoi(argv[3])));
    }
    if (argc == 2 && std::strcmp(argv[1], "log") == 0) {
        if (window == nullptr) return 2;
        return print_log(window);
    }
    std::fprintf(stderr, "usage: kavro-window-ping.exe ping SECONDS LIMIT_MS | log\n");
    return 2;
}
