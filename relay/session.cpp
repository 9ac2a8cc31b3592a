#include "relay/session.h"

#include <boost/asio/write.hpp>
#include <span>

#include "relay/relay.h"
#include "relay/relay_log.h"

namespace kavro::relay {

namespace {

// A connection being closed gets this long to take what is queued for it.
constexpr auto kFinishLimit = std::chrono::seconds(5);

const SharedBytes& keepalive_message() {
    static const SharedBytes message = share(wire::make_message(wire::kTagKeepAlive, {}));
    return message;
}

}  // namespace

Session::Session(boost::asio::ip::tcp::socket socket, Relay& relay, Clock::time_point now)
    : socket_(std::move(socket)), relay_(relay), opened_(now), last_output_(now) {
    boost::system::error_code error;
    const auto remote = socket_.remote_endpoint(error);
    if (!error) {
        peer_ = endpoint_text(remote);
        address_ = remote.address();
    } else {
        peer_ = "unknown peer";
    }
    socket_.set_option(boost::asio::ip::tcp::no_delay(true), error);
}

void Session::start() { read_more(); }

void Session::send(SharedBytes message) {
    if (closed_ || finishing_) return;
    outbox_.push_back(std::move(message));
    pump();
}

void Session::fail(const std::string& text) {
    draining_ = false;  // nothing more after the error
    send(share(wire::make_error(text)));
    finish();
}

void Session::finish() {
    if (closed_ || finishing_) return;
    finishing_ = true;
    finishing_since_ = Clock::now();
    pump();
}

void Session::close(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
    outbox_.clear();
    // The relay may drop its reference here; the caller's keeps the session alive.
    relay_.connection_closed(*this, reason);
}

void Session::watch(std::shared_ptr<Cast> cast) {
    stop_watching();
    watching_ = std::move(cast);
    cursor_ = Cursor{};
    watching_->add_watcher(*this);
    pump();
}

void Session::stop_watching() {
    if (!watching_) return;
    watching_->remove_watcher(*this);
    watching_.reset();
}

void Session::cast_has_news() {
    const auto self = shared_from_this();  // pump() may close the session
    pump();
}

void Session::cast_ended() {
    // The watcher still takes what the cast released to it (the ended cast's store lives as
    // long as someone points into it), then the connection closes.
    const auto self = shared_from_this();
    draining_ = true;
    finish();
}

void Session::tick(Clock::time_point now, const RelayOptions& options) {
    if (closed_) return;
    if (!got_message_ && !finishing_ && now - opened_ >= options.idle_timeout) {
        relay_.log("connection from " + peer_ + " sent no message in time; closing it");
        ++relay_.counters().idle_timeouts;
        fail("No message arrived in time.");
        return;
    }
    if (writing_ && now - write_started_ >= options.idle_timeout) {
        close("it took nothing the relay wrote for the idle time-out");
        return;
    }
    if (finishing_) {
        if (now - finishing_since_ >= kFinishLimit) close("it did not finish closing in time");
        return;
    }
    if (writing_ || !outbox_.empty()) return;
    if ((keepalive_due_ && now >= *keepalive_due_) ||
        now - last_output_ >= options.keepalive_interval) {
        keepalive_due_.reset();
        send(keepalive_message());
    }
}

void Session::read_more() {
    // Reading waits while control answers are queued, so a client that sends requests and
    // never reads the answers cannot make the relay queue without bound.
    if (reading_ || closed_ || finishing_ || !outbox_.empty()) return;
    reading_ = true;
    const std::span<std::uint8_t> space = framer_.space();
    socket_.async_read_some(
        boost::asio::buffer(space.data(), space.size()),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            self->on_read(error, count);
        });
}

void Session::read_to_end() {
    if (reading_ || closed_) return;
    reading_ = true;
    static std::array<std::uint8_t, 512> discarded;  // never looked at
    socket_.async_read_some(
        boost::asio::buffer(discarded),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            self->on_read(error, count);
        });
}

void Session::on_read(const boost::system::error_code& error, std::size_t count) {
    reading_ = false;
    relay_.counters().bytes_received += count;
    if (closed_) return;
    if (finishing_) {
        // Whatever the client still sends is dropped; its closing ends the connection.
        if (error) {
            close(said_goodbye_ ? "closed by the relay" : "the client left first");
        } else if (said_goodbye_) {
            read_to_end();
        }
        return;
    }
    if (error) {
        if (error == boost::asio::error::eof) {
            close(framer_.mid_message() ? "the client left in the middle of a message"
                                        : "closed by the client");
        } else {
            close("connection lost (" + error.message() + ")");
        }
        return;
    }
    const ClientFramer::Status status = framer_.commit(count);
    if (status == ClientFramer::Status::kBad) {
        relay_.protocol_error(*this, std::string(framer_.problem()));
        return;
    }
    if (!tag_judged_ && !framer_.tag().empty()) {
        // A message this connection may not send is refused at its tag, before the relay
        // reads (or makes room for) the rest of it.
        tag_judged_ = true;
        if (const auto problem = relay_.problem_with(*this, framer_.tag())) {
            relay_.protocol_error(*this, *problem);
            return;
        }
    }
    if (status == ClientFramer::Status::kComplete) {
        got_message_ = true;
        tag_judged_ = false;
        relay_.handle_message(*this, framer_.message());
        framer_.next();
    }
    read_more();
}

void Session::pump() {
    if (writing_ || closed_) return;
    if (!outbox_.empty()) {
        control_in_flight_ = std::move(outbox_.front());
        outbox_.erase(outbox_.begin());
        write_buffers_[0] = boost::asio::buffer(*control_in_flight_);
        write(1);
        return;
    }
    const bool may_send_data = !finishing_ || draining_;
    if (!may_send_data || !watching_ || !watching_->next_chunk(cursor_, chunk_in_flight_)) {
        if (finishing_) say_goodbye();
        return;
    }
    if (chunk_in_flight_.header_message) {
        write_buffers_[0] = boost::asio::buffer(*chunk_in_flight_.header_message);
        write(1);
        return;
    }
    wire::put_head(data_head_, wire::kTagReplayData,
                   static_cast<std::uint16_t>(chunk_in_flight_.block_count * wire::kBlockSize));
    write_buffers_[0] = boost::asio::buffer(data_head_);
    for (std::size_t i = 0; i < chunk_in_flight_.block_count; ++i) {
        write_buffers_[1 + i] = boost::asio::buffer(*chunk_in_flight_.blocks[i]);
    }
    write(1 + chunk_in_flight_.block_count);
}

void Session::say_goodbye() {
    // Shut down the sending side and read until the client closes: closing at once with its
    // bytes unread would reset the connection, and the client could lose the last message.
    if (said_goodbye_) return;
    said_goodbye_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    read_to_end();
}

void Session::write(std::size_t buffer_count) {
    writing_ = true;
    write_started_ = Clock::now();
    boost::asio::async_write(
        socket_, std::span(write_buffers_.data(), buffer_count),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
            self->relay_.counters().bytes_sent += count;
            self->on_written(error);
        });
}

void Session::on_written(const boost::system::error_code& error) {
    writing_ = false;
    control_in_flight_.reset();
    chunk_in_flight_.clear();
    if (closed_) return;
    if (error) {
        close("connection lost while writing (" + error.message() + ")");
        return;
    }
    last_output_ = Clock::now();
    pump();
    read_more();
}

}  // namespace kavro::relay
