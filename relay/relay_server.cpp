#include "relay/relay_server.h"

#include <algorithm>
#include <stdexcept>

namespace kavro::relay {

namespace {

// Often enough that time-outs and keep-alives land close to when they are due, rarely enough
// to cost nothing with thousands of connections.
Duration tick_period_for(const RelayOptions& options) {
    const Duration shortest = std::min(options.idle_timeout, options.keepalive_interval);
    return std::clamp<Duration>(shortest / 4, std::chrono::milliseconds(10),
                                std::chrono::milliseconds(250));
}

}  // namespace

RelayServer::RelayServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log)
    : io_(io),
      relay_(io, options, std::move(log)),
      acceptor_(io),
      tick_timer_(io),
      accept_retry_timer_(io),
      tick_period_(tick_period_for(options)) {}

void RelayServer::start() {
    const auto& options = relay_.options();
    try {
        const boost::asio::ip::tcp::endpoint endpoint(
            boost::asio::ip::make_address(options.listen_host), options.listen_port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen on " + options.listen_host + ":" +
                                 std::to_string(options.listen_port) + ": " + e.what());
    }
    if (options.http_enabled) {
        try {
            http_ = std::make_unique<HttpServer>(
                io_, static_cast<HttpHost&>(*this), options.http_request_timeout,
                [this](const std::string& line) { relay_.log(line); });
            http_->start({boost::asio::ip::make_address(options.http_host), options.http_port});
        } catch (const boost::system::system_error& e) {
            throw std::runtime_error("cannot serve HTTP on " + options.http_host + ":" +
                                     std::to_string(options.http_port) + ": " + e.what() +
                                     " (--http off runs the relay without it)");
        }
    }
    accept();
    arm_tick();
}

boost::asio::ip::tcp::endpoint RelayServer::http_endpoint() const {
    return http_ ? http_->local_endpoint() : boost::asio::ip::tcp::endpoint{};
}

RelayStatus RelayServer::status() {
    const auto now = std::chrono::steady_clock::now();
    RelayStatus status = relay_.status(now);
    status.version = KAVRO_RELAY_VERSION;
    status.uptime = now - started_;
    status.accepting = !stopped_ && !accept_failing_ &&
                       relay_.connection_count() < relay_.options().max_connections;
    status.received_bytes_per_second = throughput_.received_per_second();
    status.sent_bytes_per_second = throughput_.sent_per_second();
    return status;
}

void RelayServer::request_status(std::function<void(RelayStatus)> done) { done(status()); }

bool RelayServer::open_http_connection() { return relay_.open_http_connection(); }

void RelayServer::close_http_connection() { relay_.close_http_connection(); }

boost::asio::ip::tcp::endpoint RelayServer::local_endpoint() const {
    return acceptor_.local_endpoint();
}

void RelayServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    tick_timer_.cancel();
    accept_retry_timer_.cancel();
    if (http_) http_->stop();
    relay_.stop();
    relay_.log("relay stopped");
}

void RelayServer::accept() {
    acceptor_.async_accept(
        [this](const boost::system::error_code& error, boost::asio::ip::tcp::socket socket) {
            if (stopped_) return;
            if (!error) {
                accept_failing_ = false;
                relay_.admit(std::move(socket));
                accept();
                return;
            }
            // Out of file descriptors, typically: wait a moment rather than spin.
            accept_failing_ = true;
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
        const auto now = std::chrono::steady_clock::now();
        relay_.tick(now);
        throughput_.sample(now, relay_.counters().bytes_received, relay_.counters().bytes_sent);
        arm_tick();
    });
}

}  // namespace kavro::relay
