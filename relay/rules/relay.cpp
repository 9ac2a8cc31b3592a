#include "relay/rules/relay.h"

#include "relay/rules/connection.h"

namespace kavro::relay {

namespace {

const SharedBytes& accepted_message() {
    static const SharedBytes message =
        share(std::vector<std::uint8_t>(wire::kAckAccepted.begin(), wire::kAckAccepted.end()));
    return message;
}

const SharedBytes& refused_message() {
    static const SharedBytes message =
        share(std::vector<std::uint8_t>(wire::kAckRefused.begin(), wire::kAckRefused.end()));
    return message;
}

bool tag_is(wire::ConstBytes message, std::string_view tag) {
    return std::equal(tag.begin(), tag.end(), message.begin());
}

// How soon after an acceptance the caster gets its first keep-alive, which switches the
// client's poll timer to its fast interval.
constexpr auto kFirstKeepAliveDelay = std::chrono::seconds(1);

}  // namespace

Relay::Relay(RelayOptions options, LogSink log, ClockSource clock)
    : own_loop_(std::make_unique<CallerLoop>()),
      own_shared_(std::make_unique<RelayShared>(std::move(options), std::move(log),
                                                std::move(clock), *own_loop_)),
      shared_(*own_shared_),
      loop_(0),
      options_(shared_.options),
      casts_(shared_.casts) {}

Relay::Relay(RelayShared& shared, std::size_t loop)
    : shared_(shared), loop_(loop), options_(shared_.options), casts_(shared_.casts) {}

void Relay::admit(const std::shared_ptr<Connection>& connection) {
    std::size_t open = 0;
    {
        std::lock_guard lock(shared_.mutex);
        if (shared_.connections + shared_.http_connections >= options_.max_connections) {
            refuse(connection, Refusal::kRelayFull, "The relay is full.");
            return;
        }
        // Counted under the address the connection keeps, so closing it takes the same count
        // off.
        const auto counted = shared_.per_address.find(connection->address());
        if (counted != shared_.per_address.end() &&
            counted->second >= options_.connections_per_address) {
            refuse(connection, Refusal::kAddressLimit, "Too many connections from your address.");
            return;
        }
        ++shared_.per_address[connection->address()];
        open = ++shared_.connections;
    }
    connections_.emplace(connection.get(), connection);
    ++counters_.connections_accepted;
    log_("connection from " + connection->peer() + " accepted (" + std::to_string(open) + " open)");
    connection->start();
}

std::size_t Relay::connection_count() const {
    std::lock_guard lock(shared_.mutex);
    return shared_.connections + shared_.http_connections;
}

bool Relay::open_http_connection() {
    std::lock_guard lock(shared_.mutex);
    if (shared_.connections + shared_.http_connections >= options_.max_connections) return false;
    ++shared_.http_connections;
    return true;
}

void Relay::close_http_connection() {
    std::lock_guard lock(shared_.mutex);
    if (shared_.http_connections > 0) --shared_.http_connections;
}

RelayStatus Relay::status(Clock::time_point now) const {
    RelayStatus status;
    status.max_connections = options_.max_connections;
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
    }
    sort_like_the_cast_list(status.casts);
    return status;
}

void Relay::refuse(const std::shared_ptr<Connection>& connection, Refusal reason,
                   const std::string& text) {
    counters_.count(reason);
    log_("connection from " + connection->peer() + " refused: " + text);
    refused_.emplace(connection.get(), connection);
    connection->fail(text);
}

std::size_t Relay::connections_from(const boost::asio::ip::address& address) const {
    std::lock_guard lock(shared_.mutex);
    const auto it = shared_.per_address.find(address);
    return it == shared_.per_address.end() ? 0 : it->second;
}

std::optional<std::string> Relay::problem_with(Connection& connection, std::string_view tag) const {
    const ConnectionRole& role = connection.role();
    if (tag == wire::kTagHello && role.casting) return "This connection is already casting.";
    if (tag == wire::kTagWatchRequest) {
        if (role.casting) return "A caster cannot watch a cast.";
        if (role.hello_mode != wire::kModeWatch) {
            return "Say hello as a watcher before asking for a cast.";
        }
    }
    if (tag == wire::kTagHeaderUpload && !role.casting) {
        return "Only a caster sends a replay header.";
    }
    if (tag == wire::kTagBlockUpload && !role.casting) return "Only a caster sends replay data.";
    return std::nullopt;
}

void Relay::handle_message(Connection& connection, wire::ConstBytes message) {
    std::lock_guard lock(shared_.mutex);
    if (tag_is(message, wire::kTagHello)) {
        handle_hello(connection, message);
    } else if (tag_is(message, wire::kTagWatchRequest)) {
        handle_watch_request(connection, message);
    } else if (tag_is(message, wire::kTagHeaderUpload)) {
        handle_header(connection, message);
    } else if (tag_is(message, wire::kTagBlockUpload)) {
        handle_block(connection, message);
    } else {
        protocol_error(connection, "Unknown message.");
    }
}

void Relay::read_handled(Connection& connection) {
    if (!connection.role().casting) return;
    std::lock_guard lock(shared_.mutex);
    connection.role().casting->publish();
}

void Relay::protocol_error(Connection& connection, const std::string& problem) {
    ++counters_.protocol_errors;
    log_("protocol error from " + connection.peer() + ": " + problem);
    connection.fail(problem);
}

void Relay::handle_hello(Connection& connection, wire::ConstBytes message) {
    const std::string version =
        wire::read_text_field(message, wire::kHelloVersionOffset, wire::kVersionWidth);
    if (version != wire::kClientVersion) {
        log_("connection from " + connection.peer() + " refused: client version \"" +
             printable(version) + "\"");
        counters_.count(Refusal::kClientVersion);
        connection.fail("This relay needs client version 0.0.2.");
        return;
    }
    if (message[wire::kHelloModeOffset] == wire::kModeCast) {
        register_cast(connection, message);
        return;
    }
    connection.role().hello_mode = wire::kModeWatch;
    connection.send(accepted_message());
    connection.send(share(casts_.caster_list()));
}

void Relay::register_cast(Connection& connection, wire::ConstBytes message) {
    connection.role().hello_mode = wire::kModeCast;
    if (const auto& watched = connection.watching()) {
        log_("watcher " + connection.peer() + " left " + printable(watched->name()) + " to cast");
        connection.stop_watching();
    }
    const std::string name =
        wire::read_text_field(message, wire::kHelloNameOffset, wire::kNameWidth);
    const std::string track =
        wire::read_text_field(message, wire::kHelloTrackOffset, wire::kTrackWidth);
    if (!acceptable_cast_name(name)) {
        log_("cast refused for " + connection.peer() + ": the name is empty or has control bytes");
        counters_.count(Refusal::kBadCastName);
        connection.send(refused_message());
        return;
    }
    // Should another connection take this cast over, this one is told on its own loop.
    auto send_away = [weak = std::weak_ptr<Connection>(connection.shared_from_this()),
                      &loops = shared_.loops, loop = loop_](const std::string& why) {
        loops.post(loop, [weak, why] {
            if (const auto old = weak.lock()) old->send_away(why);
        });
    };
    const auto registration = casts_.register_caster(name, track, connection.address(),
                                                     connection.peer(), std::move(send_away));
    switch (registration.outcome) {
        case CastDirectory::Outcome::kRefused:
            counters_.count(Refusal::kCastNameTaken);
            connection.send(refused_message());
            return;
        case CastDirectory::Outcome::kFull:
            counters_.count(Refusal::kCastsFull);
            connection.fail("The relay is full.");
            return;
        case CastDirectory::Outcome::kCreated:
        case CastDirectory::Outcome::kResumed:
            connection.role().casting = registration.cast;
            connection.role().seat = registration.seat;
            connection.role().upload_position = registration.cast->store().block_count();
            connection.send(accepted_message());
            connection.keepalive_at(now() + kFirstKeepAliveDelay);
            return;
    }
}

void Relay::handle_watch_request(Connection& connection, wire::ConstBytes message) {
    const std::string name =
        wire::read_text_field(message, wire::kWatchRequestNameOffset, wire::kNameWidth);
    const auto cast = casts_.find(name);
    if (!cast) {
        const std::string shown = printable(name);
        log_("watcher " + connection.peer() + " asked for " + shown + ", which is not live");
        counters_.count(Refusal::kNoSuchCast);
        connection.fail("No cast named " + shown + " is live.");
        return;
    }
    connection.watch(cast);
    log_("watcher " + connection.peer() + " joined " + printable(name) + " (" +
         std::to_string(cast->watcher_count()) + " watchers)");
}

void Relay::handle_header(Connection& connection, wire::ConstBytes message) {
    ConnectionRole& role = connection.role();
    const auto& cast = role.casting;
    if (!cast->seated(role.seat)) return;  // taken over: this connection is on its way out
    if (wire::kReplayHeaderSize > options_.max_replay_bytes) {
        end_for_size(connection);
        return;
    }
    // The upload carries two bytes past the header: they open the first block, which the
    // caster sends again in full as its first ERF0.
    const auto header = message.subspan(wire::kUploadDataOffset, wire::kReplayHeaderSize);
    role.upload_position = 0;
    if (cast->store().header_equals(header)) {
        // The caster uploads its recording again from the start, as it does after every
        // registration: what the relay holds is matched, not stored or sent twice.
        log_("cast " + printable(cast->name()) + ": " + connection.peer() +
             " sent the same header again; matching its blocks against the " +
             std::to_string(cast->store().block_count()) + " held");
        return;
    }
    cast->start_recording(header);
    log_("cast " + printable(cast->name()) + " started a new recording");
}

void Relay::handle_block(Connection& connection, wire::ConstBytes message) {
    ConnectionRole& role = connection.role();
    const auto& cast = role.casting;
    if (!cast->seated(role.seat)) return;  // taken over: this connection is on its way out
    if (!cast->store().has_header()) {
        log_("cast " + printable(cast->name()) +
             ": dropped a data block that came before any header");
        return;
    }
    const auto block = message.subspan(wire::kUploadDataOffset, wire::kBlockSize);
    const CastStore& store = cast->store();
    const std::size_t position = role.upload_position;
    if (position < store.block_count()) {
        ++role.upload_position;
        if (store.block_equals(position, block)) return;  // already held
        log_("cast " + printable(cast->name()) + ": block " + std::to_string(position) +
             " differs from the one held; a new recording from the header and the " +
             std::to_string(position) + " blocks before it");
        cast->diverge_at(position, block, now());
        return;
    }
    if (store.stored_bytes() + wire::kBlockSize > options_.max_replay_bytes) {
        end_for_size(connection);
        return;
    }
    cast->append_block(block, now());
    role.upload_position = store.block_count();
}

void Relay::end_for_size(Connection& connection) {
    const auto cast = std::move(connection.role().casting);
    connection.role().casting.reset();
    casts_.end_cast(cast,
                    "its replay passed " + std::to_string(options_.max_replay_bytes) + " bytes");
    counters_.count(Refusal::kReplayTooLarge);
    connection.fail("The replay is too large for this relay.");
}

void Relay::connection_closed(Connection& connection, const std::string& reason) {
    if (refused_.erase(&connection) > 0) return;
    const auto it = connections_.find(&connection);
    if (it == connections_.end()) return;
    const auto keep = it->second;  // alive until this function is done with it
    connections_.erase(it);
    std::lock_guard lock(shared_.mutex);
    --shared_.connections;
    if (const auto count = shared_.per_address.find(connection.address());
        count != shared_.per_address.end()) {
        if (--count->second == 0) shared_.per_address.erase(count);
    }
    log_("connection from " + connection.peer() + " closed: " + reason);
    if (const auto& watched = connection.watching()) {
        log_("watcher " + connection.peer() + " left " + printable(watched->name()));
        connection.stop_watching();
    }
    if (auto cast = std::move(connection.role().casting)) {
        connection.role().casting.reset();
        casts_.caster_left(cast, connection.role().seat, now());
    }
}

void Relay::tick(Clock::time_point now) {
    if (loop_ == 0) {
        std::lock_guard lock(shared_.mutex);
        casts_.tick(now);
    }
    tick_all(connections_, now);
    tick_all(refused_, now);
}

void Relay::tick_all(const ConnectionMap& connections, Clock::time_point now) {
    // A tick may close connections, which takes them out of the map: walk a copy.
    tick_scratch_.clear();
    for (const auto& [raw, connection] : connections) tick_scratch_.push_back(connection);
    for (const auto& connection : tick_scratch_) connection->tick(now, options_);
    tick_scratch_.clear();
}

void Relay::end_casts(const std::string& reason) {
    std::lock_guard lock(shared_.mutex);
    casts_.end_all(reason);
}

void Relay::stop() {
    if (loop_ == 0) end_casts("the relay is stopping");
    std::vector<std::shared_ptr<Connection>> all;
    for (const auto& [raw, connection] : connections_) all.push_back(connection);
    for (const auto& [raw, connection] : refused_) all.push_back(connection);
    for (const auto& connection : all) {
        if (!connection->taking_the_tail()) connection->close("the relay is stopping");
    }
}

}  // namespace kavro::relay
