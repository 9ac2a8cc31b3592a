#include "relay/relay_server.h"

#include <algorithm>

#include "relay/session.h"

namespace kavro::relay {

namespace {

// Often enough that time-outs, keep-alives and delayed blocks land close to when they are due,
// rarely enough to cost nothing with thousands of connections.
Duration tick_period_for(const RelayOptions& options) {
    Duration shortest = std::min(options.idle_timeout, options.keepalive_interval);
    if (options.broadcast_delay > Duration::zero()) {
        shortest = std::min(shortest, options.broadcast_delay);
    }
    return std::clamp<Duration>(shortest / 4, std::chrono::milliseconds(10),
                                std::chrono::milliseconds(250));
}

}  // namespace

RelayServer::RelayServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log)
    : relay_(options, std::move(log)),
      acceptor_(io),
      tick_timer_(io),
      accept_retry_timer_(io),
      tick_period_(tick_period_for(options)) {}

void RelayServer::start() {
    const auto& options = relay_.options();
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(options.listen_host),
                                           options.listen_port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    accept();
    arm_tick();
}

boost::asio::ip::tcp::endpoint RelayServer::local_endpoint() const { return acceptor_.local_endpoint(); }

void RelayServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    tick_timer_.cancel();
    accept_retry_timer_.cancel();
    relay_.stop();
    relay_.log("relay stopped");
}

void RelayServer::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
        if (stopped_) return;
        if (!error) {
            start_session(std::move(socket), relay_);
            accept();
            return;
        }
        // Out of file descriptors, typically: wait a moment rather than spin.
        relay_.log("accepting a connection failed: " + error.message());
        accept_retry_timer_.expires_after(std::chrono::milliseconds(100));
        accept_retry_timer_.async_wait([this](const boost::system::error_code& wait_error) {
            if (!wait_error && !stopped_) accept();
        });
    });
}

void RelayServer::arm_tick() {
    tick_timer_.expires_after(tick_period_);
    tick_timer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopped_) return;
        relay_.tick(std::chrono::steady_clock::now());
        arm_tick();
    });
}

}  // namespace kavro::relay
