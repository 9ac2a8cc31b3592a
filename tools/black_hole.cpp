// kavro-black-hole: a relay address that answers nothing, the way a relay behind a firewall that
// drops packets looks to a client: a connect to it neither succeeds nor fails, it just waits.
//
//   kavro-black-hole
//
// It listens on 127.0.0.1 with the smallest backlog, fills that backlog with connections of its
// own and never accepts, so the kernel drops every further SYN. It prints one line,
//   listening on 127.0.0.1:PORT
// and stays until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void request_stop(int) { stop_requested = 1; }

}  // namespace

int main() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 0) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("kavro-black-hole");
        return 1;
    }
    // A backlog of 0 still queues a connection or two; these take those places for good.
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (filler < 0) break;
        ::fcntl(filler, F_SETFL, O_NONBLOCK);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(filler);
    }
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fflush(stdout);
    while (stop_requested == 0) ::pause();
    for (const int filler : fillers) ::close(filler);
    ::close(listener);
    return 0;
}
