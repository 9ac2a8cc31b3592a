// The relay's rules: who may connect, what each client message does in the connection's state,
// and the periodic checks. Connections hand it whole messages; it answers through them and
// keeps the casts in its directory. It knows no sockets or timers: every deadline is checked in
// tick(now) against its clock, which a test or fuzzer may replace.
//
// A relay serves the connections of one event loop. With several loops there is one relay per
// loop, all sharing one SharedRelayState (casts and connection counts, behind its lock); every call
// on a relay and on its connections comes from its own loop.
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

#include "relay/base/relay_log.h"
#include "relay/cast/cast_directory.h"
#include "relay/cast/relay_counters.h"
#include "relay/cast/rule_settings.h"
#include "relay/cast/shared_relay_state.h"
#include "relay/cast/status_snapshot.h"
#include "relay/policy/log_limiter.h"
#include "wire/wire_format.h"

namespace kavro::relay {

class Connection;

class RelayCore {
  public:
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    // A relay alone on the caller's loop, with casts and counts of its own. `clock` defaults to
    // the steady clock.
    RelayCore(const RuleSettings& settings, LogSink log, ClockSource clock = {});
    // The relay of loop `loop` among those sharing `shared`. The relay of loop 0 also runs the
    // casts' deadlines.
    RelayCore(SharedRelayState& shared, std::size_t loop);
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    // A new connection: starts reading, or gets ERR and is closed when a limit is reached.
    void admit(const std::shared_ptr<Connection>& connection);
    // Whether a message with `tag` may come from this connection now, judged as soon as the
    // tag is in: the reason it may not, or nothing.
    std::optional<std::string> problem_with(Connection& connection, std::string_view tag) const;
    // A whole message that problem_with() let through.
    void handle_message(Connection& connection, wire::ConstBytes message);
    // Every whole message of one read is handled: a caster's new blocks go to the watchers,
    // once for the lot.
    void read_handled(Connection& connection);
    // ERR with `problem`, a log line with the peer's address, and close.
    void protocol_error(Connection& connection, const std::string& problem);
    // The connection is closed: it leaves its cast and the relay.
    void connection_closed(Connection& connection, const std::string& reason);
    // A caster's cast has had no header for the idle time-out: the cast ends and the
    // connection gets ERR.
    void end_headerless_cast(Connection& connection);
    // Refuses this loop's connections from addresses the ban list now covers.
    void close_banned();
    // The caster of `cast` on this loop, if any, gets ERR `text` and is closed; the cast has
    // been ended already.
    void drop_caster_of(const std::shared_ptr<Cast>& cast, const std::string& text);
    // This loop's connections as the operator sees them.
    struct ConnectionInfo {
        std::string peer;
        std::string role;  // "caster", "watcher" or "client"
        std::string cast;  // the cast it casts or watches, if any
        std::uint64_t bytes_received = 0;
        std::uint64_t bytes_sent = 0;
        Duration open_for{};
    };
    std::vector<ConnectionInfo> connection_infos(Clock::time_point now) const;
    // Runs every deadline due by `now`: this loop's time-outs and keep-alives, and on loop 0 the
    // casts' grace periods and delayed blocks.
    void tick(Clock::time_point now);
    // Ends every cast (on loop 0): each watcher gets the rest of its stream, then closes.
    void end_casts(const std::string& reason);
    // Closes this loop's connections, except watchers still taking the stream of a cast that
    // ended; on loop 0 it first ends every cast. With a data folder the casts are kept for the
    // next start instead, and each watcher has a few seconds to take what it was released.
    void stop();
    // Closes every connection of this loop at once, whatever it is still writing: the end of
    // a stop's time (a watcher that reads nothing must not hold the relay's exit).
    void close_everything(const std::string& reason);
    // Whether the data folder's queue takes more blocks (always, without a data folder).
    bool disk_has_room() const { return !shared_.keeper || shared_.keeper->has_room(); }
    // Reads `connection` again on this loop once the data folder's queue has room.
    void read_when_disk_has_room(const std::shared_ptr<Connection>& connection);
    // Whether this loop still has connections open (or closing).
    bool has_connections() const { return !connections_.empty() || !refused_.empty(); }

    void log(const std::string& line) { shared_.log(line); }
    const RuleSettings& settings() const { return shared_.settings; }
    Clock::time_point now() const { return shared_.clock(); }
    std::size_t loop() const { return loop_; }
    // Open connections on every loop, relay clients and HTTP alike: both count against
    // --max-connections.
    std::size_t connection_count() const;
    // An HTTP connection takes a place under --max-connections; false when none is left.
    bool open_http_connection();
    void close_http_connection();

    // What this loop has done; only this loop touches them.
    RelayCounters& counters() { return counters_; }
    const RelayCounters& counters() const { return counters_; }
    // The casts and connections every loop shares (read under the shared lock, as the rules
    // change them) and this loop's counters, for the HTTP side. The caller adds the other
    // loops' counters and what the relay does not know (version, uptime, rates, whether it is
    // accepting).
    StatusSnapshot status(Clock::time_point now) const;
    // Open connections counted under `address` on every loop (0 once none is left).
    std::size_t connections_from(const boost::asio::ip::address& address) const;
    // For a caller on the only loop; with several loops, read it under shared().mutex.
    const CastDirectory& casts() const { return shared_.casts; }
    SharedRelayState& shared() { return shared_; }

  private:
    using ConnectionMap = std::unordered_map<Connection*, std::shared_ptr<Connection>>;

    void handle_hello(Connection& connection, wire::ConstBytes message);
    void register_cast(Connection& connection, wire::ConstBytes message);
    void handle_watch_request(Connection& connection, wire::ConstBytes message);
    void handle_header(Connection& connection, wire::ConstBytes message);
    void handle_block(Connection& connection, wire::ConstBytes message);
    void end_for_size(Connection& connection);
    // Whether the caster on `connection` may start a new recording of its cast now; when not,
    // it gets ERR and is closed.
    bool may_start_recording(Connection& connection, Cast& cast);
    // A registration at a keyed or reserved name was refused, unread during its address's
    // pause (`refusal` empty) or for its key: ERR, and the connection closes.
    void refuse_key_attempt(Connection& connection, const CastClaim& claim,
                            const std::optional<CastRefusal>& refusal);
    void refuse(const std::shared_ptr<Connection>& connection, Refusal reason,
                const std::string& text);
    // A log line of `kind` for `connection`, unless one of that kind went out within a second.
    void log_limited(Connection& connection, LogKind kind, const std::string& line);
    void stop_counting_watcher(Connection& connection);
    void tick_all(const ConnectionMap& connections, Clock::time_point now);

    void log_(const std::string& line) { shared_.log(line); }

    std::unique_ptr<CallerLoop> own_loop_;
    std::unique_ptr<SharedRelayState> own_shared_;
    SharedRelayState& shared_;
    std::size_t loop_;
    const RuleSettings& settings_;
    CastDirectory& casts_;
    ConnectionMap connections_;  // this loop's
    // Refused connections, kept only while their ERR is written and the client closes.
    ConnectionMap refused_;
    std::vector<std::shared_ptr<Connection>> tick_scratch_;
    RelayCounters counters_;
    // Admission refusals come on new connections each time: limited per loop and reason.
    LogLimiter<kRefusalKinds> refusal_log_;
    // On loop 0: when the key refusals are next told of and the addresses' records swept.
    std::optional<Clock::time_point> next_minute_;
};

}  // namespace kavro::relay
