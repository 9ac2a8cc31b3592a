// A client connection on an Asio TCP socket: the thin transport beneath Connection, which holds
// the relay's rules for the connection. Each pending read or write keeps the session alive.
#pragma once

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <vector>

#include "relay/base/trusted_network.h"
#include "relay/cast/connection.h"

namespace kavro::relay {

class RelayCore;

// Hands a newly accepted socket to the relay as a session. The client's address is read once,
// here, and is the one the relay counts the connection under for as long as it is open; a
// socket whose peer is already gone is dropped. A socket from one of `trusted` proxies must
// first send a PROXY protocol header (version 1 or 2), which names the client; without a valid
// one within a few seconds it is closed, with a log line. From anyone else such a header is
// just bytes the relay does not know (a protocol error). `loop_stopped` is the loop's own flag:
// a header that completes once the loop has stopped closes the socket instead.
void start_session(boost::asio::ip::tcp::socket socket, RelayCore& relay,
                   const std::vector<TrustedNetwork>& trusted, const bool& loop_stopped);

// How long a trusted proxy may take to send its PROXY header (haproxy sends it at once).
inline constexpr auto kProxyHeaderTimeout = std::chrono::seconds(3);

class Session final : public Connection {
  public:
    // `client` is the address the relay counts and logs: the socket's peer, or the client a
    // trusted proxy named.
    Session(boost::asio::ip::tcp::socket socket, Peer client, RelayCore& relay);

  private:
    void start_read(std::span<std::uint8_t> into) override;
    void start_write(std::span<const wire::ConstBytes> pieces) override;
    void shutdown_send() override;
    void close_transport() override;
    void hang_up() override;
    std::shared_ptr<Session> self();

    boost::asio::ip::tcp::socket socket_;
    std::array<boost::asio::const_buffer, kMostWritePieces> write_buffers_;
};

}  // namespace kavro::relay
