// The relay's rules: who may connect, what each client message does in the connection's state,
// and the periodic checks. Connections hand it whole messages; it answers through them and
// keeps the casts in its directory. It knows no sockets or timers: every deadline is checked in
// tick(now) against its clock, which a test or fuzzer may replace.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "relay/cast_directory.h"
#include "relay/relay_log.h"
#include "relay/relay_options.h"
#include "wire/wire_format.h"

namespace kavro::relay {

class Connection;

class Relay {
  public:
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    // `clock` defaults to the steady clock.
    Relay(RelayOptions options, LogSink log, ClockSource clock = {});
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // A new connection: starts reading, or gets ERR and is closed when a limit is reached.
    void admit(const std::shared_ptr<Connection>& connection);
    // Whether a message with `tag` may come from this connection now, judged as soon as the
    // tag is in: the reason it may not, or nothing.
    std::optional<std::string> problem_with(Connection& connection, std::string_view tag) const;
    // A whole message that problem_with() let through.
    void handle_message(Connection& connection, wire::ConstBytes message);
    // ERR with `problem`, a log line with the peer's address, and close.
    void protocol_error(Connection& connection, const std::string& problem);
    // The connection is closed: it leaves its cast and the relay.
    void connection_closed(Connection& connection, const std::string& reason);
    // Runs every deadline due by `now`: grace periods, delayed blocks, time-outs, keep-alives.
    void tick(Clock::time_point now);
    // Ends every cast and closes every connection.
    void stop();

    void log(const std::string& line) { log_(line); }
    const RelayOptions& options() const { return options_; }
    Clock::time_point now() const { return clock_(); }
    std::size_t connection_count() const { return connections_.size(); }
    // Open connections counted under `address` (0 once none is left).
    std::size_t connections_from(const boost::asio::ip::address& address) const;
    const CastDirectory& casts() const { return casts_; }

  private:
    using ConnectionMap = std::unordered_map<Connection*, std::shared_ptr<Connection>>;

    void handle_hello(Connection& connection, wire::ConstBytes message);
    void register_cast(Connection& connection, wire::ConstBytes message);
    void handle_watch_request(Connection& connection, wire::ConstBytes message);
    void handle_header(Connection& connection, wire::ConstBytes message);
    void handle_block(Connection& connection, wire::ConstBytes message);
    void end_for_size(Connection& connection);
    void refuse(const std::shared_ptr<Connection>& connection, const std::string& text);
    void tick_all(const ConnectionMap& connections, Clock::time_point now);

    RelayOptions options_;
    LogSink log_;
    ClockSource clock_;
    CastDirectory casts_;
    ConnectionMap connections_;
    // Refused connections, kept only while their ERR is written and the client closes.
    ConnectionMap refused_;
    std::map<boost::asio::ip::address, std::size_t> per_address_;
    std::vector<std::shared_ptr<Connection>> tick_scratch_;
};

}  // namespace kavro::relay
