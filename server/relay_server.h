// The listening side of the relay: accepts connections and hands them to the relay, and runs
// the periodic checks (idle time-out, keep-alive, stalled writes). Runs on the io_context it is
// given, on that context's one thread.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "server/relay.h"
#include "server/relay_log.h"
#include "server/relay_options.h"

namespace kavro::relay {

class RelayServer {
  public:
    RelayServer(asio::io_context& io, const RelayOptions& options, LogSink log);

    // Binds and listens on the configured address; throws std::system_error when it cannot.
    void start();
    // The address actually bound (the port the OS chose when 0 was asked for).
    asio::ip::tcp::endpoint local_endpoint() const;
    // Stops accepting, ends every cast and closes every connection; io_context::run() then
    // returns once nothing is left to do.
    void stop();

  private:
    void accept();
    void arm_tick();

    asio::io_context& io_;
    Relay relay_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer tick_timer_;
    asio::steady_timer accept_retry_timer_;
    Duration tick_period_;
    bool stopped_ = false;
};

}  // namespace kavro::relay
