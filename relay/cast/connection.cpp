#include "relay/cast/connection.h"

#include "relay/base/relay_log.h"
#include "relay/cast/relay_core.h"

namespace kavro::relay {

namespace {

const SharedBytes& keepalive_message() {
    static const SharedBytes message = share(wire::make_message(wire::kTagKeepAlive, {}));
    return message;
}

}  // namespace

Connection::Connection(RelayCore& relay, Peer peer)
    : relay_(relay),
      peer_(std::move(peer)),
      opened_(relay.now()),
      message_began_(opened_),
      last_output_(opened_) {}

void Connection::start() { read_more(); }

void Connection::send(SharedBytes message) {
    if (closed_ || finishing_) return;
    outbox_.push_back(std::move(message));
    pump();
}

void Connection::fail(const std::string& text) {
    draining_ = false;  // nothing more after the error
    send(share(wire::make_error(text)));
    finish();
}

void Connection::refuse(const std::string& text) {
    hanging_up_ = true;
    fail(text);
}

void Connection::finish() {
    if (closed_ || finishing_) return;
    finishing_ = true;
    finishing_since_ = relay_.now();
    pump();
}

void Connection::close(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    close_transport();
    outbox_.clear();
    // The relay may drop its reference here; the caller's keeps the connection alive.
    relay_.connection_closed(*this, reason);
}

void Connection::leave_for_restart() {
    if (closed_ || taking_the_tail()) return;  // the tail of an ended cast goes out whole
    if (!watching_ || finishing_) {
        close("the relay is stopping");
        return;
    }
    drain_ends_ = relay_.now() + kRestartDrainLimit;
    draining_ = true;
    finish();
}

void Connection::send_away(const std::string& why) {
    if (closed_ || finishing_) return;
    relay_.log("connection from " + peer() + ": " + why + "; closing it");
    fail("This cast was taken over by a new connection.");
}

Connection::Clock::time_point Connection::relay_now() const { return relay_.now(); }

void Connection::watch(std::shared_ptr<Cast> cast) {
    stop_watching();
    watching_ = std::move(cast);
    cursor_ = Cursor{};
    watching_->add_watcher(*this, relay_.loop());
    pump();
}

void Connection::stop_watching() {
    if (!watching_) return;
    watching_->remove_watcher(*this, relay_.loop());
    watching_.reset();
}

void Connection::cast_has_news() {
    const auto self = shared_from_this();  // pump() may close the connection
    pump();
}

void Connection::cast_ended() {
    // The watcher still takes what the cast released to it (the ended cast's store lives as
    // long as someone points into it), then the connection closes.
    const auto self = shared_from_this();
    draining_ = true;
    finish();
}

void Connection::tick(Clock::time_point now, const RuleSettings& settings) {
    if (closed_) return;
    if (!finishing_) {
        // A first message, and any message once begun, must be whole within the idle
        // time-out: otherwise one byte an hour would hold a connection (and its address's
        // slot) for ever.
        const bool first_late = !got_message_ && now - opened_ >= settings.idle_timeout;
        const bool begun_late =
            framer_.mid_message() && now - message_began_ >= settings.idle_timeout;
        if (first_late || begun_late) {
            relay_.log("connection from " + peer() +
                       (first_late
                            ? " sent no message in time; closing it"
                            : " left a message unfinished for the idle time-out; closing it"));
            ++relay_.counters().idle_timeouts;
            fail("No message arrived in time.");
            return;
        }
    }
    if (hanging_up_ && now - finishing_since_ >= kRefusalLimit) {
        close("refused, and it did not take its error in time");
        return;
    }
    if (writing_ && now - write_progress_ >= settings.stall_timeout) {
        ++relay_.counters().stalled_writes;
        close("it took nothing the relay wrote for " + seconds_text(settings.stall_timeout));
        return;
    }
    if (!finishing_ && role_.casting && !role_.cast_has_header &&
        now - role_.casting_since >= settings.idle_timeout) {
        relay_.end_headerless_cast(*this);
        return;
    }
    if (drain_ends_ && now >= *drain_ends_) {
        close("the relay is stopping; the watcher catches up after the restart");
        return;
    }
    if (finishing_) {
        // A watcher taking the rest of an ended cast has as long as it keeps taking bytes.
        const bool draining_stream = draining_ && !said_goodbye_;
        if (!draining_stream && now - finishing_since_ >= kFinishLimit) {
            close("it did not finish closing in time");
        }
        return;
    }
    if (writing_ || !outbox_.empty()) return;
    if ((keepalive_due_ && now >= *keepalive_due_) ||
        now - last_output_ >= settings.keepalive_interval) {
        keepalive_due_.reset();
        send(keepalive_message());
    }
}

void Connection::read_more() {
    // Reading waits while control answers are queued, so a client that sends requests and
    // never reads the answers cannot make the relay queue without bound.
    if (reading_ || closed_ || finishing_ || !outbox_.empty() || waiting_for_disk_) return;
    // A caster is not read while the data folder's queue is full: its blocks wait in its
    // socket and its client's, not in the relay's memory.
    if (role_.casting && !relay_.disk_has_room()) {
        waiting_for_disk_ = true;
        relay_.read_when_disk_has_room(shared_from_this());
        return;
    }
    reading_ = true;
    reading_bulk_ = role_.casting != nullptr;
    if (reading_bulk_) {
        if (bulk_.empty()) bulk_.resize(kCasterReadSize);
        start_read(bulk_);
    } else {
        start_read(framer_.space());
    }
}

void Connection::disk_has_room() {
    waiting_for_disk_ = false;
    read_more();
}

void Connection::read_to_end() {
    if (reading_ || closed_) return;
    reading_ = true;
    reading_bulk_ = false;
    // Never looked at; one per thread, so event loops on several threads do not share it. Large
    // enough that a client flooding a connection the relay is closing costs few reads.
    thread_local std::array<std::uint8_t, 64 * 1024> discarded;
    start_read(discarded);
}

void Connection::read_failed(bool end_of_stream, const std::string& detail) {
    reading_ = false;
    if (closed_) return;
    if (finishing_) {
        close(said_goodbye_ ? "closed by the relay" : "the client left first");
        return;
    }
    if (end_of_stream) {
        close(framer_.mid_message() ? "the client left in the middle of a message"
                                    : "closed by the client");
    } else {
        close("connection lost (" + detail + ")");
    }
}

void Connection::read_done(std::size_t count) {
    reading_ = false;
    relay_.counters().bytes_received += count;
    bytes_received_ += count;
    if (closed_) return;
    if (finishing_) {
        // Whatever the client still sends is dropped; its closing ends the connection.
        if (said_goodbye_) read_to_end();
        return;
    }
    if (reading_bulk_) {
        frame_bulk(count);
    } else {
        framed(count);
    }
    if (closed_) return;
    relay_.read_handled(*this);
    read_more();
}

void Connection::frame_bulk(std::size_t count) {
    // The framer takes at most the rest of one message at a time, so each tag is judged
    // before the bytes behind it are.
    const std::uint8_t* from = bulk_.data();
    while (count > 0 && !closed_ && !finishing_) {
        const auto space = framer_.space();
        const std::size_t n = std::min(space.size(), count);
        std::copy_n(from, n, space.begin());
        from += n;
        count -= n;
        if (!framed(n)) return;
    }
}

bool Connection::framed(std::size_t count) {
    // The framer's space never reaches past the message being read, so these bytes begin a
    // message exactly when none was under way.
    if (!framer_.mid_message()) message_began_ = relay_.now();
    const wire::ClientFramer::Status status = framer_.commit(count);
    if (status == wire::ClientFramer::Status::kBad) {
        relay_.protocol_error(*this, std::string(framer_.problem()));
        return false;
    }
    if (!tag_judged_ && !framer_.tag().empty()) {
        // A message this connection may not send is refused at its tag, before the relay
        // reads (or makes room for) the rest of it.
        tag_judged_ = true;
        if (const auto problem = relay_.problem_with(*this, framer_.tag())) {
            relay_.protocol_error(*this, *problem);
            return false;
        }
    }
    if (status == wire::ClientFramer::Status::kComplete) {
        got_message_ = true;
        tag_judged_ = false;
        relay_.handle_message(*this, framer_.message());
        framer_.next();
    }
    return !closed_;
}

void Connection::pump() {
    if (writing_ || closed_) return;
    // Control messages go first, all that are queued in one write; replay only after them.
    std::size_t pieces = gather_control();
    if (pieces == 0) pieces = gather_replay();
    if (pieces > 0) {
        write(pieces);
    } else if (hanging_up_) {
        const auto self = shared_from_this();  // close() may let the relay's reference go
        hang_up();
        close("refused");
    } else if (finishing_) {
        say_goodbye();
    }
}

std::size_t Connection::gather_control() {
    std::size_t pieces = 0;
    while (pieces < outbox_.size() && pieces < write_pieces_.size()) {
        control_in_flight_.push_back(std::move(outbox_[pieces]));
        write_pieces_[pieces] = *control_in_flight_.back();
        ++pieces;
    }
    outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<std::ptrdiff_t>(pieces));
    return pieces;
}

std::size_t Connection::gather_replay() {
    const bool may_send_data = !finishing_ || draining_;
    if (!may_send_data || !watching_) return 0;
    // A watcher that keeps up finds one block here; one that is behind, up to a full write.
    std::size_t pieces = 0;
    for (std::size_t m = 0; m < kReplayMessagesPerWrite; ++m) {
        ReplayChunk& chunk = chunks_in_flight_[m];
        if (!watching_->next_chunk(relay_.loop(), cursor_, chunk)) break;
        if (chunk.header_message) {
            write_pieces_[pieces++] = *chunk.header_message;
            continue;
        }
        wire::put_head(data_heads_[m], wire::kTagReplayData,
                       static_cast<std::uint16_t>(chunk.block_count * wire::kBlockSize));
        write_pieces_[pieces++] = data_heads_[m];
        for (std::size_t i = 0; i < chunk.block_count; ++i) {
            write_pieces_[pieces++] = wire::ConstBytes(chunk.blocks[i], wire::kBlockSize);
        }
    }
    return pieces;
}

void Connection::say_goodbye() {
    // Shut down the sending side and read until the client closes: closing at once with its
    // bytes unread would reset the connection, and the client could lose the last message.
    if (said_goodbye_) return;
    said_goodbye_ = true;
    finishing_since_ = relay_.now();
    shutdown_send();
    read_to_end();
}

void Connection::write(std::size_t piece_count) {
    writing_ = true;
    write_progress_ = relay_.now();
    write_bytes_ = 0;
    for (std::size_t i = 0; i < piece_count; ++i) write_bytes_ += write_pieces_[i].size();
    start_write(std::span(write_pieces_.data(), piece_count));
}

void Connection::release_in_flight() {
    control_in_flight_.clear();
    for (auto& chunk : chunks_in_flight_) chunk.clear();
}

void Connection::write_failed(const std::string& detail) {
    writing_ = false;
    release_in_flight();
    if (closed_) return;
    close("connection lost while writing (" + detail + ")");
}

void Connection::write_done() {
    writing_ = false;
    relay_.counters().bytes_sent += write_bytes_;
    bytes_sent_ += write_bytes_;
    release_in_flight();
    if (closed_) return;
    last_output_ = relay_.now();
    pump();
    read_more();
}

}  // namespace kavro::relay
