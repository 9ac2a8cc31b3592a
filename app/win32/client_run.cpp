#include "app/win32/client_run.h"

#include <cstdlib>

#include "app/win32/error_box.h"
#include "app/win32/form.h"
#include "link/socket_api.h"

namespace kavro::win32 {

int run_client(HINSTANCE instance) {
    if (!net::start_sockets()) {
        show_error(nullptr, L"WSAStartup");  // the program ends before its window opens
        return 1;
    }
    int status = 0;
    {
        const auto relay = relay_address_from(std::getenv("KAVRO_RELAY"), built_in_relay_address());
        TForm1 form(instance, relay);
        guarded(form.Form1, [&] { form.FormCreate(); });  // its message stands alone
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
