#include "app/win32/client_run.h"

#include <shellapi.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app/win32/error_box.h"
#include "app/win32/form.h"
#include "app/win32/wide_text.h"
#include "link/socket_api.h"

namespace kavro::win32 {
namespace {

// The first argument after the program's name, split as Windows splits a command line.
std::optional<std::string> first_argument() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::optional<std::string> first;
    if (arguments != nullptr && count > 1) first = narrow(arguments[1]);
    LocalFree(arguments);
    return first;
}

// The folder kavro.exe lies in, wherever it was started from.
std::filesystem::path program_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return std::filesystem::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace

int run_client(HINSTANCE instance) {
    if (!net::start_sockets()) {
        show_error(nullptr, L"WSAStartup");  // the program ends before its window opens
        return 1;
    }
    int status = 0;
    {
        const RelayChoice relay = choose_relay(relay_sources(first_argument(), program_folder()));
        TForm1 form(instance, relay.address);
        guarded(form.Form1, [&] {
            form.FormCreate();  // its message stands alone
            form.core().show_relay_choice(relay);
        });
        form.show();
        MSG message{};
        BOOL got = FALSE;
        while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
            if (form.dialog_message(message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        status = got == 0 ? static_cast<int>(message.wParam) : 1;
    }
    if (!net::stop_sockets()) show_error(nullptr, L"WSACleanup");
    return status;
}

}  // namespace kavro::win32
