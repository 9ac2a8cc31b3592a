// Start-up and the event loop of kavro.exe.
#pragma once

#include <windows.h>

namespace kavro::win32 {

// Starts WinSock (a start that fails ends the program with "WSAStartup" in the error box), makes
// the window with the relay the core chooses (the first argument, KAVRO_RELAY, relay.txt beside
// kavro.exe, or the built-in one), runs the installation check and says which relay it uses
// before the window first shows, then runs the message loop until the window is closed.
// A WinSock that fails to stop is reported as "WSACleanup". Returns the program's exit status.
int run_client(HINSTANCE instance);

}  // namespace kavro::win32
