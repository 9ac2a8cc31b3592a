// The listening side of the relay: accepts connections and hands them to the relay, and runs
// the periodic checks (idle time-out, keep-alive, stalled writes). Runs on the io_context it is
// given, on that context's one thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "relay/relay.h"
#include "relay/relay_log.h"
#include "relay/relay_options.h"

namespace kavro::relay {

class RelayServer {
  public:
    RelayServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log);

    // Binds and listens on the configured address; throws boost::system::system_error when it cannot.
    void start();
    // The address actually bound (the port the OS chose when 0 was asked for).
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    // Stops accepting, ends every cast and closes every connection; io_context::run() then
    // returns once nothing is left to do.
    void stop();

    Relay& relay() { return relay_; }

  private:
    void accept();
    void arm_tick();

    Relay relay_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer tick_timer_;
    boost::asio::steady_timer accept_retry_timer_;
    Duration tick_period_;
    bool stopped_ = false;
};

}  // namespace kavro::relay
