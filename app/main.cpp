// kavro: broadcast the replay the simulator is recording, or watch someone else's broadcast.
#include <cstdio>
#include <cstdlib>

#include "app/application.h"
#include "app/main_window.h"
#include "relay/socket_api.h"

int main(int argc, char** argv) {
    if (!kavro::net::start_sockets()) {
        std::fputs("kavro: the sockets library did not start\n", stderr);
        return 1;
    }
    int status = 0;
    {
        kavro::Application app(argc, argv);
        static kavro::ProgramState state;
        const auto relay = kavro::relay_address_from(std::getenv("KAVRO_RELAY"),
                                                     kavro::built_in_relay_address());
        kavro::TForm1 form(state, relay);
        form.FormCreate();  // before the window shows, so its message stands alone
        form.show();
        status = app.exec();
    }
    kavro::net::stop_sockets();
    return status;
}
