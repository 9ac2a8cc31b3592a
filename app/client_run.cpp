#include "app/client_run.h"

#include <cstdio>
#include <cstdlib>

#include "app/application.h"
#include "relay/socket_api.h"

namespace kavro {

int run_client(int& argc, char** argv,
               const std::function<void(TForm1&, const RelayAddress&)>& prepare) {
    if (!net::start_sockets()) {
        std::fputs("kavro: the sockets library did not start\n", stderr);
        return 1;
    }
    int status = 0;
    {
        Application app(argc, argv);
        static ProgramState state;
        const auto relay = relay_address_from(std::getenv("KAVRO_RELAY"), built_in_relay_address());
        TForm1 form(state, relay);
        if (prepare) prepare(form, relay);
        form.FormCreate();  // before the window shows, so its message stands alone
        form.show();
        status = app.exec();
    }
    net::stop_sockets();
    return status;
}

}  // namespace kavro
