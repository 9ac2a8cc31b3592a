#include "relay/relay.h"

#include <boost/asio/write.hpp>

#include "relay/session.h"

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

Relay::Relay(boost::asio::io_context& io, RelayOptions options, LogSink log)
    : io_(io),
      options_(std::move(options)),
      log_(std::move(log)),
      casts_(io.get_executor(), options_, log_) {}

void Relay::admit(boost::asio::ip::tcp::socket socket) {
    boost::system::error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error) return;  // gone before we looked
    const std::string peer = endpoint_text(remote);
    if (connection_count() >= options_.max_connections) {
        refuse(std::move(socket), peer, Refusal::kRelayFull, "The relay is full.");
        return;
    }
    std::size_t& from_address = per_address_[remote.address()];
    if (from_address >= options_.connections_per_address) {
        refuse(std::move(socket), peer, Refusal::kAddressLimit,
               "Too many connections from your address.");
        return;
    }
    ++from_address;
    auto session = std::make_shared<Session>(std::move(socket), *this, Clock::now());
    sessions_.emplace(session.get(), session);
    ++counters_.connections_accepted;
    log_("connection from " + session->peer() + " accepted (" + std::to_string(sessions_.size()) +
         " open)");
    session->start();
}

void Relay::refuse(boost::asio::ip::tcp::socket socket, const std::string& peer, Refusal reason,
                   const std::string& text) {
    counters_.count(reason);
    log_("connection from " + peer + " refused: " + text);
    struct Refusal {
        boost::asio::ip::tcp::socket socket;
        std::vector<std::uint8_t> message;
    };
    auto refusal = std::make_shared<Refusal>(Refusal{std::move(socket), wire::make_error(text)});
    boost::asio::async_write(refusal->socket, boost::asio::buffer(refusal->message),
                             [refusal](const boost::system::error_code&, std::size_t) {
                                 boost::system::error_code ignored;
                                 refusal->socket.shutdown(
                                     boost::asio::ip::tcp::socket::shutdown_both, ignored);
                                 refusal->socket.close(ignored);
                             });
}

std::optional<std::string> Relay::problem_with(Session& session, std::string_view tag) const {
    const ConnectionRole& role = session.role();
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

void Relay::handle_message(Session& session, wire::ConstBytes message) {
    if (tag_is(message, wire::kTagHello)) {
        handle_hello(session, message);
    } else if (tag_is(message, wire::kTagWatchRequest)) {
        handle_watch_request(session, message);
    } else if (tag_is(message, wire::kTagHeaderUpload)) {
        handle_header(session, message);
    } else if (tag_is(message, wire::kTagBlockUpload)) {
        handle_block(session, message);
    } else {
        protocol_error(session, "Unknown message.");
    }
}

void Relay::protocol_error(Session& session, const std::string& problem) {
    ++counters_.protocol_errors;
    log_("protocol error from " + session.peer() + ": " + problem);
    session.fail(problem);
}

void Relay::handle_hello(Session& session, wire::ConstBytes message) {
    const std::string version =
        wire::read_text_field(message, wire::kHelloVersionOffset, wire::kVersionWidth);
    if (version != wire::kClientVersion) {
        log_("connection from " + session.peer() + " refused: client version \"" +
             printable(version) + "\"");
        counters_.count(Refusal::kClientVersion);
        session.fail("This relay needs client version 0.0.2.");
        return;
    }
    if (message[wire::kHelloModeOffset] == wire::kModeCast) {
        register_cast(session, message);
        return;
    }
    session.role().hello_mode = wire::kModeWatch;
    session.send(accepted_message());
    session.send(share(casts_.caster_list()));
}

void Relay::register_cast(Session& session, wire::ConstBytes message) {
    session.role().hello_mode = wire::kModeCast;
    if (const auto& watched = session.watching()) {
        log_("watcher " + session.peer() + " left " + watched->name() + " to cast");
        session.stop_watching();
    }
    const std::string name =
        wire::read_text_field(message, wire::kHelloNameOffset, wire::kNameWidth);
    const std::string track =
        wire::read_text_field(message, wire::kHelloTrackOffset, wire::kTrackWidth);
    if (!acceptable_cast_name(name)) {
        log_("cast refused for " + session.peer() + ": the name is empty or has control bytes");
        counters_.count(Refusal::kBadCastName);
        session.send(refused_message());
        return;
    }
    const auto registration =
        casts_.register_caster(name, track, session.address(), session.peer());
    switch (registration.outcome) {
        case CastDirectory::Outcome::kRefused:
            counters_.count(Refusal::kCastNameTaken);
            session.send(refused_message());
            return;
        case CastDirectory::Outcome::kFull:
            counters_.count(Refusal::kCastsFull);
            session.fail("The relay is full.");
            return;
        case CastDirectory::Outcome::kCreated:
        case CastDirectory::Outcome::kResumed:
            session.role().casting = registration.cast;
            session.send(accepted_message());
            session.keepalive_at(Clock::now() + kFirstKeepAliveDelay);
            return;
    }
}

void Relay::handle_watch_request(Session& session, wire::ConstBytes message) {
    const std::string name =
        wire::read_text_field(message, wire::kWatchRequestNameOffset, wire::kNameWidth);
    const auto cast = casts_.find(name);
    if (!cast) {
        const std::string shown = printable(name);
        log_("watcher " + session.peer() + " asked for " + shown + ", which is not live");
        counters_.count(Refusal::kNoSuchCast);
        session.fail("No cast named " + shown + " is live.");
        return;
    }
    session.watch(cast);
    log_("watcher " + session.peer() + " joined " + name + " (" +
         std::to_string(cast->watcher_count()) + " watchers)");
}

void Relay::handle_header(Session& session, wire::ConstBytes message) {
    const auto& cast = session.role().casting;
    if (wire::kReplayHeaderSize > options_.max_replay_bytes) {
        end_for_size(session);
        return;
    }
    // The upload carries two bytes past the header: they open the first block, which the
    // caster sends again in full as its first ERF0.
    cast->start_recording(message.subspan(wire::kUploadDataOffset, wire::kReplayHeaderSize));
    log_("cast " + cast->name() + " started a new recording");
}

void Relay::handle_block(Session& session, wire::ConstBytes message) {
    const auto& cast = session.role().casting;
    if (!cast->store().has_header()) {
        log_("cast " + cast->name() + ": dropped a data block that came before any header");
        return;
    }
    if (cast->store().stored_bytes() + wire::kBlockSize > options_.max_replay_bytes) {
        end_for_size(session);
        return;
    }
    cast->append_block(message.subspan(wire::kUploadDataOffset, wire::kBlockSize), Clock::now());
}

void Relay::end_for_size(Session& session) {
    const auto cast = std::move(session.role().casting);
    session.role().casting.reset();
    casts_.end_cast(cast,
                    "its replay passed " + std::to_string(options_.max_replay_bytes) + " bytes");
    counters_.count(Refusal::kReplayTooLarge);
    session.fail("The replay is too large for this relay.");
}

void Relay::connection_closed(Session& session, const std::string& reason) {
    const auto it = sessions_.find(&session);
    if (it == sessions_.end()) return;
    const auto keep = it->second;  // alive until this function is done with it
    sessions_.erase(it);
    if (const auto count = per_address_.find(session.address()); count != per_address_.end()) {
        if (--count->second == 0) per_address_.erase(count);
    }
    log_("connection from " + session.peer() + " closed: " + reason);
    if (const auto& watched = session.watching()) {
        log_("watcher " + session.peer() + " left " + watched->name());
        session.stop_watching();
    }
    if (auto cast = std::move(session.role().casting)) {
        session.role().casting.reset();
        casts_.caster_left(cast);
    }
}

bool Relay::open_http_connection() {
    if (connection_count() >= options_.max_connections) return false;
    ++http_connections_;
    return true;
}

void Relay::close_http_connection() {
    if (http_connections_ > 0) --http_connections_;
}

RelayStatus Relay::status(Clock::time_point now) const {
    RelayStatus status;
    status.relay_connections = sessions_.size();
    status.http_connections = http_connections_;
    status.max_connections = options_.max_connections;
    status.casts.reserve(casts_.size());
    for (const auto& [name, cast] : casts_.casts()) status.casts.push_back(cast_status(*cast, now));
    sort_like_the_cast_list(status.casts);
    status.counters = counters_;
    status.cast_counters = casts_.counters();
    return status;
}

void Relay::tick(Clock::time_point now) {
    tick_scratch_.clear();
    for (const auto& [raw, session] : sessions_) tick_scratch_.push_back(session);
    for (const auto& session : tick_scratch_) session->tick(now, options_);
    tick_scratch_.clear();
}

void Relay::stop() {
    casts_.end_all("the relay is stopping");
    std::vector<std::shared_ptr<Session>> all;
    for (const auto& [raw, session] : sessions_) all.push_back(session);
    for (const auto& session : all) session->close("the relay is stopping");
}

}  // namespace kavro::relay
