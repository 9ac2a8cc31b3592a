// What each client message does in the connection's state: the hello, a cast's registration
// and key, a watch request, the replay's header and blocks, and a connection's end.
#include <algorithm>

#include "relay/cast/connection.h"
#include "relay/cast/relay_core.h"
#include "relay/policy/address_limits.h"
#include "relay/policy/cast_names.h"

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

// The acceptance of an owner who takes over a cast whose recording the relay holds: "ACK0OK"
// and, in the same write, a KAL whose payload tells how much of the recording is held and its
// digest, so the caster uploads only what follows. A client that does not know the offer
// empties its buffer on the KAL, as on every keep-alive; one write keeps it from seeing a part.
SharedBytes accepted_with_offer(const CastStore& store) {
    if (!store.has_header()) return accepted_message();
    const wire::ConstBytes header(store.header_message()->data() + wire::kHeadSize,
                                  wire::kReplayHeaderSize);
    const std::size_t blocks = store.block_count();
    const wire::ConstBytes last = blocks > 0 ? store.block(blocks - 1) : wire::ConstBytes{};
    const wire::ResumeOffer offer{wire::kReplayHeaderSize + blocks * wire::kBlockSize,
                                  wire::resume_digest(header, last)};
    return share(wire::make_accepted_with_offer(offer));
}

bool tag_is(wire::ConstBytes message, std::string_view tag) {
    return std::equal(tag.begin(), tag.end(), message.begin());
}

// How soon after an acceptance the caster gets its first keep-alive, which switches the
// client's poll timer to its fast interval.
constexpr auto kFirstKeepAliveDelay = std::chrono::seconds(1);

}  // namespace

std::optional<std::string> RelayCore::problem_with(Connection& connection,
                                                   std::string_view tag) const {
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

void RelayCore::handle_message(Connection& connection, wire::ConstBytes message) {
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

void RelayCore::read_handled(Connection& connection) {
    if (!connection.role().casting) return;
    std::lock_guard lock(shared_.mutex);
    connection.role().casting->publish();
}

void RelayCore::protocol_error(Connection& connection, const std::string& problem) {
    ++counters_.protocol_errors;
    log_("protocol error from " + connection.peer() + ": " + problem);
    connection.fail(problem);
}

void RelayCore::handle_hello(Connection& connection, wire::ConstBytes message) {
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

void RelayCore::register_cast(Connection& connection, wire::ConstBytes message) {
    connection.role().hello_mode = wire::kModeCast;
    if (const auto& watched = connection.watching()) {
        log_("watcher " + connection.peer() + " left " + printable(watched->name()) + " to cast");
        connection.stop_watching();
    }
    stop_counting_watcher(connection);
    const CastClaim claim{
        split_cast_name(wire::read_text_field(message, wire::kHelloNameOffset, wire::kNameWidth)),
        wire::read_text_field(message, wire::kHelloTrackOffset, wire::kTrackWidth),
        connection.address(), connection.peer()};
    // Should another connection take this cast over, this one is told on its own loop.
    auto send_away = [weak = std::weak_ptr<Connection>(connection.shared_from_this()),
                      &loops = shared_.loops, loop = loop_](const std::string& why) {
        loops.post(loop, [weak, why] {
            if (const auto old = weak.lock()) old->send_away(why);
        });
    };
    // An attempt at a key is not even looked at during its address's pause: refused before
    // any key is compared, it tells nothing about the key.
    const bool key_attempt = tries_a_key(claim, casts_, shared_.reserved_names.get());
    if (key_attempt && shared_.key_pauses.pause_left(claim.address, now())) {
        refuse_key_attempt(connection, claim, std::nullopt);
        return;
    }
    auto registration = CastDirectory::Registration{};
    if (auto refusal =
            name_refusal(claim, casts_, shared_.reserved_names.get(), settings_.reserved_only)) {
        registration.refusal = std::move(refusal);
    } else {
        registration = casts_.register_caster(claim, std::move(send_away));
    }
    switch (registration.outcome) {
        case CastDirectory::Outcome::kRefused:
            if (registration.refusal->reason == Refusal::kWrongKey ||
                registration.refusal->reason == Refusal::kReservedName) {
                refuse_key_attempt(connection, claim, registration.refusal);
                return;
            }
            counters_.count(registration.refusal->reason);
            log_limited(connection, LogKind::kRefusedCastName,
                        "cast " + printable(claim.typed.name) + " refused for " +
                            connection.peer() + ": " + registration.refusal->why);
            connection.send(refused_message());
            return;
        case CastDirectory::Outcome::kFull:
            counters_.count(Refusal::kCastsFull);
            connection.fail("The relay is full.");
            return;
        case CastDirectory::Outcome::kAddressFull:
            counters_.count(Refusal::kCastsPerAddress);
            connection.fail("Too many casts from your address.");
            return;
        case CastDirectory::Outcome::kCreated:
        case CastDirectory::Outcome::kResumed:
            connection.role().casting = registration.cast;
            connection.role().seat = registration.seat;
            connection.role().upload_position = registration.cast->store().block_count();
            connection.role().cast_has_header = registration.cast->store().has_header();
            connection.role().casting_since = now();
            connection.send(registration.outcome == CastDirectory::Outcome::kResumed
                                ? accepted_with_offer(registration.cast->store())
                                : accepted_message());
            connection.keepalive_at(now() + kFirstKeepAliveDelay);
            return;
    }
}

void RelayCore::refuse_key_attempt(Connection& connection, const CastClaim& claim,
                                   const std::optional<CastRefusal>& refusal) {
    const std::string shown = printable(claim.typed.name);
    if (!refusal) {
        counters_.count(Refusal::kKeyPaused);
        shared_.key_pauses.refused_in_pause();
        const auto left = shared_.key_pauses.pause_left(claim.address, now()).value_or(Duration{});
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
        // Counted, and told once a minute in all: a guesser's flood writes no line each.
        connection.fail("Too many wrong keys from your address; try again in " +
                        std::to_string(std::max<long long>(seconds, 1)) + " s.");
        return;
    }
    counters_.count(refusal->reason);
    const bool reserved = refusal->reason == Refusal::kReservedName;
    const Duration pause = shared_.key_pauses.refused(
        claim.address, now(),
        reserved ? KeyPauses::Kind::kReservedName : KeyPauses::Kind::kWrongKey);
    // One line each: the pause keeps them to a few an hour per address.
    log_("cast " + shown + " refused for " + connection.peer() + ": " + refusal->why +
         "; its address waits " + seconds_text(pause) + " before its next key");
    connection.fail(reserved ? "This name is reserved and needs its key."
                             : "Wrong key for this cast.");
}

bool RelayCore::may_start_recording(Connection& connection, Cast& cast) {
    const auto limit =
        shared_.recording_limits.start(cast.recent_recordings(), connection.address(), now());
    if (!limit) return true;
    const bool per_cast = *limit == RecordingLimit::kPerCast;
    const Refusal reason = per_cast ? Refusal::kRecordingsPerCast : Refusal::kRecordingsPerAddress;
    counters_.count(reason);
    if (const auto note = refusal_log_.pass(static_cast<std::size_t>(reason), now())) {
        log_("cast " + printable(cast.name()) + ": a new recording refused for " +
             connection.peer() + ": " +
             (per_cast
                  ? "the cast started " + std::to_string(settings_.cast_recordings_per_minute) +
                        " in the last minute"
                  : "its address started " + std::to_string(settings_.address_recordings_per_hour) +
                        " in the last hour") +
             "; closing it" + *note);
    }
    connection.fail("Too many new recordings; try again later.");
    return false;
}

void RelayCore::handle_watch_request(Connection& connection, wire::ConstBytes message) {
    // Watchers ask by the listed name; whatever follows a '#' is never part of it.
    const std::string name =
        split_cast_name(
            wire::read_text_field(message, wire::kWatchRequestNameOffset, wire::kNameWidth))
            .name;
    const auto cast = casts_.find(name);
    if (!cast) {
        const std::string shown = printable(name);
        log_("watcher " + connection.peer() + " asked for " + shown + ", which is not live");
        counters_.count(Refusal::kNoSuchCast);
        connection.fail("No cast named " + shown + " is live.");
        return;
    }
    if (!connection.role().counted_as_watcher) {
        std::size_t& watchers = shared_.watchers_per_address[counted_address(connection.address())];
        if (watchers >= settings_.watchers_per_address) {
            log_("watcher " + connection.peer() + " refused: its address has its most watchers");
            counters_.count(Refusal::kWatchersPerAddress);
            connection.fail("Too many watchers from your address.");
            return;
        }
        ++watchers;
        connection.role().counted_as_watcher = true;
    }
    connection.watch(cast);
    log_("watcher " + connection.peer() + " joined " + printable(name) + " (" +
         std::to_string(cast->watcher_count()) + " watchers)");
}

void RelayCore::handle_header(Connection& connection, wire::ConstBytes message) {
    ConnectionRole& role = connection.role();
    const auto& cast = role.casting;
    // Taken over, or ended by the operator: this connection is on its way out.
    if (!cast->seated(role.seat) || cast->ended()) return;
    if (wire::kReplayHeaderSize > settings_.max_replay_bytes) {
        end_for_size(connection);
        return;
    }
    // The upload carries two bytes past the header: they open the first block, which the
    // caster sends again in full as its first ERF0.
    const auto header = message.subspan(wire::kUploadDataOffset, wire::kReplayHeaderSize);
    role.upload_position = 0;
    role.cast_has_header = true;
    if (cast->store().header_equals(header)) {
        // The caster uploads its recording again from the start, as it does after every
        // registration: what the relay holds is matched, not stored or sent twice.
        log_("cast " + printable(cast->name()) + ": " + connection.peer() +
             " sent the same header again; matching its blocks against the " +
             std::to_string(cast->store().block_count()) + " held");
        return;
    }
    if (!may_start_recording(connection, *cast)) return;
    cast->start_recording(header);
    log_("cast " + printable(cast->name()) + " started a new recording");
}

void RelayCore::handle_block(Connection& connection, wire::ConstBytes message) {
    ConnectionRole& role = connection.role();
    const auto& cast = role.casting;
    if (!cast->seated(role.seat) || cast->ended()) return;  // on its way out
    if (!cast->store().has_header()) {
        log_limited(connection, LogKind::kDroppedBlock,
                    "cast " + printable(cast->name()) +
                        ": dropped a data block that came before any header");
        return;
    }
    const auto block = message.subspan(wire::kUploadDataOffset, wire::kBlockSize);
    const CastStore& store = cast->store();
    const std::size_t position = role.upload_position;
    if (position < store.block_count()) {
        if (store.block_equals(position, block)) {
            ++role.upload_position;
            return;  // already held
        }
        if (!may_start_recording(connection, *cast)) return;
        ++role.upload_position;
        log_("cast " + printable(cast->name()) + ": block " + std::to_string(position) +
             " differs from the one held; a new recording from the header and the " +
             std::to_string(position) + " blocks before it");
        cast->diverge_at(position, block, now());
        return;
    }
    if (store.stored_bytes() + wire::kBlockSize > settings_.max_replay_bytes) {
        end_for_size(connection);
        return;
    }
    cast->append_block(block, now());
    role.upload_position = store.block_count();
}

void RelayCore::end_for_size(Connection& connection) {
    const auto cast = std::move(connection.role().casting);
    connection.role().casting.reset();
    casts_.end_cast(cast,
                    "its replay passed " + std::to_string(settings_.max_replay_bytes) + " bytes");
    counters_.count(Refusal::kReplayTooLarge);
    connection.fail("The replay is too large for this relay.");
}

void RelayCore::connection_closed(Connection& connection, const std::string& reason) {
    if (refused_.erase(&connection) > 0) return;
    const auto it = connections_.find(&connection);
    if (it == connections_.end()) return;
    const auto keep = it->second;  // alive until this function is done with it
    connections_.erase(it);
    std::lock_guard lock(shared_.mutex);
    --shared_.connections;
    if (const auto count = shared_.per_address.find(counted_address(connection.address()));
        count != shared_.per_address.end()) {
        if (--count->second == 0) shared_.per_address.erase(count);
    }
    stop_counting_watcher(connection);
    if (const auto dropped = connection.log_limiter().take_held_back(
            static_cast<std::size_t>(LogKind::kDroppedBlock))) {
        log_("connection from " + connection.peer() + ": " + std::to_string(dropped) +
             " more data blocks that came before any header were dropped");
    }
    if (const auto refused = connection.log_limiter().take_held_back(
            static_cast<std::size_t>(LogKind::kRefusedCastName))) {
        log_("connection from " + connection.peer() + ": " + std::to_string(refused) +
             " more refusals were not logged");
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

void RelayCore::stop_counting_watcher(Connection& connection) {
    if (!connection.role().counted_as_watcher) return;
    connection.role().counted_as_watcher = false;
    const auto it = shared_.watchers_per_address.find(counted_address(connection.address()));
    if (it != shared_.watchers_per_address.end() && --it->second == 0) {
        shared_.watchers_per_address.erase(it);
    }
}

void RelayCore::end_headerless_cast(Connection& connection) {
    std::lock_guard lock(shared_.mutex);
    const auto cast = std::move(connection.role().casting);
    connection.role().casting.reset();
    if (!cast) return;
    ++counters_.idle_timeouts;
    casts_.end_cast(
        cast, "its caster sent no replay header within " + seconds_text(settings_.idle_timeout));
    connection.fail("No replay header arrived in time.");
}

}  // namespace kavro::relay
