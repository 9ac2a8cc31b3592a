// kavro: broadcast the replay the simulator is recording, or watch someone else's broadcast.
#include "app/qt/client_run.h"

int main(int argc, char** argv) { return kavro::run_client(argc, argv); }
