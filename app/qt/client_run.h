// Start-up and the event loop of the client, shared by the program and the demo's scripted
// client, so both run the very same window the same way.
#pragma once

#include <functional>

#include "app/qt/main_window.h"

namespace kavro {

// Starts the sockets library and the application (a sockets library that fails to start or stop
// is reported in an error box), makes the window with the relay the core chooses (the first
// argument, KAVRO_RELAY, relay.txt beside the program, or the built-in one), lets `prepare` see
// the window, runs the installation check and says which relay it uses before the window first
// shows, then runs the event loop. Returns the loop's exit status.
int run_client(int& argc, char** argv,
               const std::function<void(TForm1&, const RelayAddress&)>& prepare = {});

}  // namespace kavro
