#include "app/qt/client_run.h"

#include <cstdlib>

#include "app/qt/application.h"
#include "link/socket_api.h"

namespace kavro {

int run_client(int& argc, char** argv,
               const std::function<void(TForm1&, const RelayAddress&)>& prepare) {
    const bool sockets_started = net::start_sockets();
    Application app(argc, argv);
    if (!sockets_started) {
        show_error(QStringLiteral("WSAStartup"));  // the program ends before its window opens
        return 1;
    }
    int status = 0;
    {
        const auto relay = relay_address_from(std::getenv("KAVRO_RELAY"), built_in_relay_address());
        TForm1 form(relay);
        if (prepare) prepare(form, relay);
        form.FormCreate();  // before the window shows, so its message stands alone
        form.show();
        status = app.exec();
    }
    if (!net::stop_sockets()) show_error(QStringLiteral("WSACleanup"));
    return status;
}

}  // namespace kavro
