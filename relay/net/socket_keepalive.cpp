#include "relay/net/socket_keepalive.h"

#if defined(__linux__)
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace kavro::relay {

void probe_dead_paths(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
#if defined(__linux__)
    const auto set = [&socket](int name, int value) {
        ::setsockopt(socket.native_handle(), IPPROTO_TCP, name, &value, sizeof value);
    };
    set(TCP_KEEPIDLE, static_cast<int>(kKeepAliveIdle.count()));
    set(TCP_KEEPINTVL, static_cast<int>(kKeepAliveInterval.count()));
    set(TCP_KEEPCNT, kKeepAliveProbes);
    set(TCP_USER_TIMEOUT,
        static_cast<int>(std::chrono::milliseconds(kUnacknowledgedLimit).count()));
#endif
}

}  // namespace kavro::relay
