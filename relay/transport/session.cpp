#include "relay/transport/session.h"

#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "relay/base/relay_log.h"
#include "relay/cast/relay_core.h"
#include "relay/net/proxy_header.h"
#include "relay/net/socket_buffers.h"
#include "relay/net/socket_keepalive.h"

namespace kavro::relay {

namespace {

using boost::asio::ip::tcp;

// Reads a trusted proxy's PROXY header, exactly its bytes and no more, then hands the socket to
// the relay under the client the header names.
class ProxyHandshake : public std::enable_shared_from_this<ProxyHandshake> {
  public:
    ProxyHandshake(tcp::socket socket, const tcp::endpoint& proxy, RelayCore& relay,
                   const bool& loop_stopped)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          proxy_(proxy),
          relay_(relay),
          loop_stopped_(loop_stopped) {}

    void start() {
        timer_.expires_after(kProxyHeaderTimeout);
        timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
            const auto self = weak.lock();
            if (error || !self) return;
            self->give_up("no PROXY header within " + std::to_string(kProxyHeaderTimeout.count()) +
                          " s");
        });
        read_more();
    }

  private:
    void read_more() {
        boost::asio::async_read(
            socket_, boost::asio::buffer(buffer_.data(), reader_.wanted()),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t got) {
                if (error) return self->give_up("it closed before its PROXY header ended");
                const auto state = self->reader_.take({self->buffer_.data(), got});
                if (state == ProxyHeaderReader::State::kReading) return self->read_more();
                if (state == ProxyHeaderReader::State::kBad) {
                    return self->give_up(self->reader_.problem());
                }
                self->done();
            });
    }

    void done() {
        timer_.cancel();
        if (loop_stopped_) return give_up("the relay is stopping");
        Peer client{proxy_.address(), endpoint_text(proxy_)};
        if (const auto& source = reader_.source()) {
            client =
                Peer{source->address, endpoint_text(tcp::endpoint(source->address, source->port))};
        }
        relay_.admit(std::make_shared<Session>(std::move(socket_), std::move(client), relay_));
    }

    void give_up(const std::string& why) {
        if (given_up_ || !socket_.is_open()) return;
        given_up_ = true;
        timer_.cancel();
        relay_.log("connection from trusted proxy " + endpoint_text(proxy_) + " closed: " + why);
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

    tcp::socket socket_;
    boost::asio::steady_timer timer_;
    tcp::endpoint proxy_;
    RelayCore& relay_;
    const bool& loop_stopped_;
    ProxyHeaderReader reader_;
    std::array<std::uint8_t, kMostProxyHeaderBytes> buffer_{};
    bool given_up_ = false;
};

}  // namespace

void start_session(boost::asio::ip::tcp::socket socket, RelayCore& relay,
                   const std::vector<TrustedNetwork>& trusted, const bool& loop_stopped) {
    boost::system::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error) return;  // gone before we looked
    socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
    probe_dead_paths(socket);
    limit_client_send_buffer(socket);
    if (is_trusted(trusted, remote.address())) {
        std::make_shared<ProxyHandshake>(std::move(socket), remote, relay, loop_stopped)->start();
        return;
    }
    relay.admit(std::make_shared<Session>(std::move(socket),
                                          Peer{remote.address(), endpoint_text(remote)}, relay));
}

Session::Session(boost::asio::ip::tcp::socket socket, Peer client, RelayCore& relay)
    : Connection(relay, std::move(client)), socket_(std::move(socket)) {}

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
