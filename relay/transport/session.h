// A client connection on an Asio TCP socket: the thin transport beneath Connection, which holds
// the relay's rules for the connection. Each pending read or write keeps the session alive.
#pragma once

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "relay/rules/connection.h"

namespace kavro::relay {

class Relay;

// Hands a newly accepted socket to the relay as a session. The peer's address is read once,
// here, and is the one the relay counts the connection under for as long as it is open; a
// socket whose peer is already gone is dropped.
void start_session(boost::asio::ip::tcp::socket socket, Relay& relay);

class Session final : public Connection {
  public:
    Session(boost::asio::ip::tcp::socket socket, const boost::asio::ip::tcp::endpoint& remote,
            Relay& relay);

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
