// The relay's rules: who may connect, what each client message does in the connection's state,
// and the periodic checks. Sessions hand it whole messages; it answers through them and keeps
// the casts in its directory.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "relay/cast_directory.h"
#include "relay/relay_counters.h"
#include "relay/relay_log.h"
#include "relay/relay_options.h"
#include "relay/relay_status.h"
#include "wire/wire_format.h"

namespace kavro::relay {

class Session;

class Relay {
  public:
    using Clock = std::chrono::steady_clock;

    Relay(boost::asio::io_context& io, RelayOptions options, LogSink log);
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // A new connection: becomes a session, or gets ERR and is closed when a limit is reached.
    void admit(boost::asio::ip::tcp::socket socket);
    // Whether a message with `tag` may come from this connection now, judged as soon as the
    // tag is in: the reason it may not, or nothing.
    std::optional<std::string> problem_with(Session& session, std::string_view tag) const;
    // A whole message that problem_with() let through.
    void handle_message(Session& session, wire::ConstBytes message);
    // ERR with `problem`, a log line with the peer's address, and close.
    void protocol_error(Session& session, const std::string& problem);
    // The session is closed: it leaves its cast and the relay.
    void connection_closed(Session& session, const std::string& reason);
    void tick(Clock::time_point now);
    // Ends every cast and closes every connection.
    void stop();

    void log(const std::string& line) { log_(line); }
    const RelayOptions& options() const { return options_; }
    // Relay clients and HTTP connections: both count against --max-connections.
    std::size_t connection_count() const { return sessions_.size() + http_connections_; }
    // An HTTP connection takes a place under --max-connections; false when none is left.
    bool open_http_connection();
    void close_http_connection();

    RelayCounters& counters() { return counters_; }
    // The casts, connections and counters as they stand, for the HTTP side. The caller adds
    // what the relay does not know (version, uptime, rates, whether it is accepting).
    RelayStatus status(Clock::time_point now) const;

  private:
    void handle_hello(Session& session, wire::ConstBytes message);
    void register_cast(Session& session, wire::ConstBytes message);
    void handle_watch_request(Session& session, wire::ConstBytes message);
    void handle_header(Session& session, wire::ConstBytes message);
    void handle_block(Session& session, wire::ConstBytes message);
    void end_for_size(Session& session);
    void refuse(boost::asio::ip::tcp::socket socket, const std::string& peer, Refusal reason,
                const std::string& text);

    boost::asio::io_context& io_;
    RelayOptions options_;
    LogSink log_;
    CastDirectory casts_;
    std::unordered_map<Session*, std::shared_ptr<Session>> sessions_;
    std::map<boost::asio::ip::address, std::size_t> per_address_;
    std::vector<std::shared_ptr<Session>> tick_scratch_;
    std::size_t http_connections_ = 0;
    RelayCounters counters_;
};

}  // namespace kavro::relay
