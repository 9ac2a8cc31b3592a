// The listening side of the relay: accepts connections and hands them to the relay, and runs
// the periodic checks (idle time-out, keep-alive, stalled writes). Runs on the io_context it is
// given, on that context's one thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>

#include "relay/http_server.h"
#include "relay/relay.h"
#include "relay/relay_log.h"
#include "relay/relay_options.h"
#include "relay/relay_status.h"
#include "relay/throughput_meter.h"

namespace kavro::relay {

class RelayServer : private HttpHost {
  public:
    RelayServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log);

    // Binds and listens on the configured address, and on the HTTP address unless HTTP is off;
    // throws std::runtime_error saying which address when it cannot.
    void start();
    // The address actually bound (the port the OS chose when 0 was asked for).
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    bool serves_http() const { return http_ != nullptr; }
    boost::asio::ip::tcp::endpoint http_endpoint() const;
    // The relay as the HTTP side shows it; taken on this server's loop.
    RelayStatus status();
    // Stops accepting, ends every cast and closes every connection; io_context::run() then
    // returns once nothing is left to do.
    void stop();

  private:
    void accept();
    void arm_tick();

    // HttpHost
    void request_status(std::function<void(RelayStatus)> done) override;
    bool open_http_connection() override;
    void close_http_connection() override;

    boost::asio::io_context& io_;
    Relay relay_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer tick_timer_;
    boost::asio::steady_timer accept_retry_timer_;
    Duration tick_period_;
    bool stopped_ = false;
    bool accept_failing_ = false;  // the last accept failed (out of file descriptors, say)
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    ThroughputMeter throughput_;
    std::unique_ptr<HttpServer> http_;
};

}  // namespace kavro::relay
