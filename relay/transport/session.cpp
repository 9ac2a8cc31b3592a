#include "relay/transport/session.h"

#include <boost/asio/write.hpp>

#include "relay/relay_log.h"
#include "relay/rules/relay.h"
#include "relay/transport/socket_buffers.h"
#include "relay/transport/socket_keepalive.h"

namespace kavro::relay {

void start_session(boost::asio::ip::tcp::socket socket, Relay& relay) {
    boost::system::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error) return;  // gone before we looked
    socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
    probe_dead_paths(socket);
    limit_client_send_buffer(socket);
    relay.admit(std::make_shared<Session>(std::move(socket), remote, relay));
}

Session::Session(boost::asio::ip::tcp::socket socket, const boost::asio::ip::tcp::endpoint& remote,
                 Relay& relay)
    : Connection(relay, Peer{remote.address(), endpoint_text(remote)}),
      socket_(std::move(socket)) {}

std::shared_ptr<Session> Session::self() {
    return std::static_pointer_cast<Session>(shared_from_this());
}

void Session::start_read(std::span<std::uint8_t> into) {
    socket_.async_read_some(
        boost::asio::buffer(into.data(), into.size()),
        [self = self()](const boost::system::error_code& error, std::size_t count) {
            if (error) {
                self->read_failed(error == boost::asio::error::eof, error.message());
            } else {
                self->read_done(count);
            }
        });
}

void Session::start_write(std::span<const wire::ConstBytes> pieces) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        write_buffers_[i] = boost::asio::buffer(pieces[i].data(), pieces[i].size());
    }
    // Asked after each piece of the write goes out: every byte taken counts against a stall.
    const auto progress = [this](const boost::system::error_code& error, std::size_t sent) {
        if (sent > 0) write_progressed();
        return boost::asio::transfer_all()(error, sent);
    };
    boost::asio::async_write(socket_, std::span(write_buffers_.data(), pieces.size()), progress,
                             [self = self()](const boost::system::error_code& error, std::size_t) {
                                 if (error) {
                                     self->write_failed(error.message());
                                 } else {
                                     self->write_done();
                                 }
                             });
}

void Session::shutdown_send() {
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

void Session::hang_up() {
    // What the client sent is read and dropped first: closing with unread bytes would reset
    // the connection, and a reset may throw away the ERR before the client reads it.
    boost::system::error_code error;
    socket_.non_blocking(true, error);
    std::array<char, 4096> dropped;
    for (int i = 0; i < 16 && !error; ++i) {
        if (socket_.read_some(boost::asio::buffer(dropped), error) == 0) break;
    }
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
}

void Session::close_transport() {
    boost::system::error_code ignored;
    socket_.close(ignored);
}

}  // namespace kavro::relay
