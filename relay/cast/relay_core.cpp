#include "relay/cast/relay_core.h"

#include "relay/cast/connection.h"
#include "relay/policy/address_limits.h"
#include "relay/policy/cast_names.h"

namespace kavro::relay {

namespace {

// Refused connections kept while their ERR is written, per loop; past this a refused
// connection is closed at once, so a flood of them cannot hold descriptors.
constexpr std::size_t kMostRefusedAtOnce = 64;

}  // namespace

RelayCore::RelayCore(const RuleSettings& settings, LogSink log, ClockSource clock)
    : own_loop_(std::make_unique<CallerLoop>()),
      own_shared_(std::make_unique<SharedRelayState>(settings, std::move(log), std::move(clock),
                                                     *own_loop_)),
      shared_(*own_shared_),
      loop_(0),
      settings_(shared_.settings),
      casts_(shared_.casts) {}

RelayCore::RelayCore(SharedRelayState& shared, std::size_t loop)
    : shared_(shared), loop_(loop), settings_(shared_.settings), casts_(shared_.casts) {}

void RelayCore::admit(const std::shared_ptr<Connection>& connection) {
    std::size_t open = 0;
    {
        std::lock_guard lock(shared_.mutex);
        if (shared_.bans.bans(connection->address(), std::chrono::system_clock::now())) {
            refuse(connection, Refusal::kBanned, "This relay does not accept your address.");
            return;
        }
        if (shared_.connections >= settings_.max_connections) {
            refuse(connection, Refusal::kRelayFull, "The relay is full.");
            return;
        }
        // Counted under the address the connection keeps, so closing it takes the same count
        // off.
        const auto address = counted_address(connection->address());
        const auto counted = shared_.per_address.find(address);
        if (counted != shared_.per_address.end() &&
            counted->second >= settings_.connections_per_address) {
            refuse(connection, Refusal::kAddressLimit, "Too many connections from your address.");
            return;
        }
        ++shared_.per_address[address];
        open = ++shared_.connections;
    }
    connections_.emplace(connection.get(), connection);
    ++counters_.connections_accepted;
    log_("connection from " + connection->peer() + " accepted (" + std::to_string(open) + " open)");
    connection->start();
}

std::size_t RelayCore::connection_count() const {
    std::lock_guard lock(shared_.mutex);
    return shared_.connections + shared_.http_connections;
}

bool RelayCore::open_http_connection() {
    // HTTP has its own budget, kept by the HTTP side; here it is only counted.
    std::lock_guard lock(shared_.mutex);
    ++shared_.http_connections;
    return true;
}

void RelayCore::close_http_connection() {
    std::lock_guard lock(shared_.mutex);
    if (shared_.http_connections > 0) --shared_.http_connections;
}

StatusSnapshot RelayCore::status(Clock::time_point now) const {
    StatusSnapshot status;
    status.max_connections = settings_.max_connections;
    status.counters = counters_;
    {
        // Plain copies under the lock; the casts' names and numbers are turned into text
        // after it is let go.
        std::lock_guard lock(shared_.mutex);
        status.relay_connections = shared_.connections;
        status.http_connections = shared_.http_connections;
        status.casts.reserve(casts_.size());
        for (const auto& [name, cast] : casts_.casts()) {
            status.casts.push_back(cast_status(*cast, now));
        }
        status.cast_counters = casts_.counters();
        status.bans_in_force = shared_.bans.count_in_force(std::chrono::system_clock::now());
        status.key_pauses = shared_.key_pauses.paused(now);
    }
    sort_like_the_cast_list(status.casts);
    return status;
}

void RelayCore::refuse(const std::shared_ptr<Connection>& connection, Refusal reason,
                       const std::string& text) {
    counters_.count(reason);
    if (const auto note = refusal_log_.pass(static_cast<std::size_t>(reason), now())) {
        log_("connection from " + connection->peer() + " refused: " + text + *note);
    }
    if (refused_.size() >= kMostRefusedAtOnce) {
        connection->close("refused while too many others were");
        return;
    }
    refused_.emplace(connection.get(), connection);
    connection->refuse(text);
}

void RelayCore::log_limited(Connection& connection, LogKind kind, const std::string& line) {
    if (const auto note = connection.log_limiter().pass(static_cast<std::size_t>(kind), now())) {
        log_(line + *note);
    }
}

std::size_t RelayCore::connections_from(const boost::asio::ip::address& address) const {
    std::lock_guard lock(shared_.mutex);
    const auto it = shared_.per_address.find(counted_address(address));
    return it == shared_.per_address.end() ? 0 : it->second;
}

void RelayCore::close_banned() {
    std::vector<std::shared_ptr<Connection>> banned;
    {
        std::lock_guard lock(shared_.mutex);
        const auto now = std::chrono::system_clock::now();
        for (const auto& [raw, connection] : connections_) {
            if (shared_.bans.bans(connection->address(), now)) banned.push_back(connection);
        }
    }
    for (const auto& connection : banned) {
        log_("connection from " + connection->peer() + " closed: its address is banned");
        connection->fail("This relay does not accept your address.");
    }
}

void RelayCore::drop_caster_of(const std::shared_ptr<Cast>& cast, const std::string& text) {
    std::shared_ptr<Connection> caster;
    {
        std::lock_guard lock(shared_.mutex);
        for (const auto& [raw, connection] : connections_) {
            if (connection->role().casting == cast) {
                caster = connection;
                connection->role().casting.reset();
            }
        }
    }
    if (caster) caster->fail(text);
}

std::vector<RelayCore::ConnectionInfo> RelayCore::connection_infos(Clock::time_point now) const {
    std::vector<ConnectionInfo> infos;
    std::lock_guard lock(shared_.mutex);
    for (const auto& [raw, connection] : connections_) {
        ConnectionInfo info;
        info.peer = connection->peer();
        if (const auto& cast = connection->role().casting) {
            info.role = "caster";
            info.cast = cast->name();
        } else if (const auto& watched = connection->watching()) {
            info.role = "watcher";
            info.cast = watched->name();
        } else {
            info.role = "client";
        }
        info.bytes_received = connection->bytes_received();
        info.bytes_sent = connection->bytes_sent();
        info.open_for = now - connection->opened();
        infos.push_back(std::move(info));
    }
    return infos;
}

void RelayCore::tick(Clock::time_point now) {
    if (loop_ == 0) {
        std::lock_guard lock(shared_.mutex);
        casts_.tick(now);
        if (!next_minute_) {
            next_minute_ = now + std::chrono::minutes(1);
        } else if (now >= *next_minute_) {
            next_minute_ = now + std::chrono::minutes(1);
            if (const auto line = shared_.key_pauses.minute_report(now)) log_(*line);
            shared_.recording_limits.forget_lapsed(now);
        }
    }
    tick_all(connections_, now);
    tick_all(refused_, now);
}

void RelayCore::tick_all(const ConnectionMap& connections, Clock::time_point now) {
    // A tick may close connections, which takes them out of the map: walk a copy.
    tick_scratch_.clear();
    for (const auto& [raw, connection] : connections) tick_scratch_.push_back(connection);
    for (const auto& connection : tick_scratch_) connection->tick(now, settings_);
    tick_scratch_.clear();
}

void RelayCore::end_casts(const std::string& reason) {
    std::lock_guard lock(shared_.mutex);
    casts_.end_all(reason);
}

void RelayCore::stop() {
    const bool keeping = casts_.keeps_recordings();
    if (loop_ == 0 && !keeping) end_casts("the relay is stopping");
    std::vector<std::shared_ptr<Connection>> all;
    for (const auto& [raw, connection] : connections_) all.push_back(connection);
    for (const auto& [raw, connection] : refused_) all.push_back(connection);
    for (const auto& connection : all) {
        if (keeping) {
            connection->leave_for_restart();
        } else if (!connection->taking_the_tail()) {
            connection->close("the relay is stopping");
        }
    }
}

void RelayCore::close_everything(const std::string& reason) {
    std::vector<std::shared_ptr<Connection>> all;
    for (const auto& [raw, connection] : connections_) all.push_back(connection);
    for (const auto& [raw, connection] : refused_) all.push_back(connection);
    for (const auto& connection : all) connection->close(reason);
}

void RelayCore::read_when_disk_has_room(const std::shared_ptr<Connection>& connection) {
    if (!shared_.keeper) return;
    std::weak_ptr<Connection> weak = connection;
    EventLoops& loops = shared_.loops;
    const std::size_t loop = loop_;
    shared_.keeper->when_room([weak, &loops, loop] {
        loops.post(loop, [weak] {
            if (const auto waiting = weak.lock()) waiting->disk_has_room();
        });
    });
}

}  // namespace kavro::relay
