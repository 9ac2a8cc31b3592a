// Caps on what the kernel holds for a client that does not read. Left to itself, Linux grows a
// socket's send buffer to megabytes, outside every limit of the relay; a watcher is a position
// in the stored replay and HTTP answers are small, so neither needs more than a few writes'
// worth. For HTTP the write of an answer also completes only once most of it has left the
// socket, so the next request is read only after the answer was taken.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio/ip/tcp.hpp>

namespace kavro::relay {

// A few full writes of replay: enough for a watcher catching up over a long path (the kernel
// doubles what is asked, so about 2.5 MiB/s at a 100 ms round trip), small enough that a
// hundred stalled watchers hold tens of MiB, not gigabytes.
inline constexpr int kClientSendBufferBytes = 128 * 1024;
inline constexpr int kHttpSendBufferBytes = 32 * 1024;
// An HTTP write waits while more than this of the answer has not left the socket.
inline constexpr int kHttpUnsentBytes = 16 * 1024;

inline void limit_client_send_buffer(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::send_buffer_size(kClientSendBufferBytes), ignored);
}

inline void limit_http_send_buffer(boost::asio::ip::tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::send_buffer_size(kHttpSendBufferBytes), ignored);
#ifdef TCP_NOTSENT_LOWAT
    using UnsentLowWater =
        boost::asio::detail::socket_option::integer<IPPROTO_TCP, TCP_NOTSENT_LOWAT>;
    socket.set_option(UnsentLowWater(kHttpUnsentBytes), ignored);
#endif
}

}  // namespace kavro::relay
