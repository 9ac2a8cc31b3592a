// kavro.exe: broadcast the replay the simulator is recording, or watch someone else's broadcast.
#include <windows.h>

#include "app/win32/client_run.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return kavro::win32::run_client(instance);
}
