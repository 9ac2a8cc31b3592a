// One client connection. It frames what the client sends and hands whole messages to the
// relay; it writes with one write in flight, control messages (ACK, CHL, ERR, KAL) first, then
// the stored replay from its own cursor when it watches a cast. The session owns itself through
// shared_from_this() while any operation is pending; every way out goes through close() once.
#pragma once

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/cast.h"
#include "relay/cast_store.h"
#include "relay/client_framer.h"
#include "relay/relay_options.h"

namespace kavro::relay {

class Relay;

// What the connection has said it is, as far as the relay's message rules care.
struct ConnectionRole {
    std::optional<std::uint8_t> hello_mode;  // mode of the last CCN0
    std::shared_ptr<Cast> casting;           // the cast this connection is the caster of
};

class Session : public CastWatcher, public std::enable_shared_from_this<Session> {
  public:
    using Clock = std::chrono::steady_clock;

    Session(boost::asio::ip::tcp::socket socket, Relay& relay, Clock::time_point now);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start();

    const std::string& peer() const { return peer_; }
    const boost::asio::ip::address& address() const { return address_; }
    ConnectionRole& role() { return role_; }

    // Queues a control message behind those already queued.
    void send(SharedBytes message);
    // Sends ERR with `text`, then closes once it is written.
    void fail(const std::string& text);
    // Closes once everything queued is written (and, after its cast ended, the replay the
    // cast released to this watcher).
    void finish();
    // Closes at once and leaves the relay.
    void close(const std::string& reason);
    // A keep-alive is due at `when` even if the connection has not been silent long.
    void keepalive_at(Clock::time_point when) { keepalive_due_ = when; }

    // Subscribes to `cast` from the start of its recording, leaving any cast watched before.
    void watch(std::shared_ptr<Cast> cast);
    void stop_watching();
    const std::shared_ptr<Cast>& watching() const { return watching_; }

    // Called a few times a second: idle time-out, stalled writes, keep-alive.
    void tick(Clock::time_point now, const RelayOptions& options);

    // CastWatcher
    void cast_has_news() override;
    void cast_ended() override;

  private:
    void read_more();
    void on_read(const boost::system::error_code& error, std::size_t count);
    void read_to_end();
    void say_goodbye();
    void pump();
    void write(std::size_t buffer_count);
    void on_written(const boost::system::error_code& error);

    boost::asio::ip::tcp::socket socket_;
    Relay& relay_;
    std::string peer_;
    boost::asio::ip::address address_;
    ConnectionRole role_;

    ClientFramer framer_;
    bool reading_ = false;
    bool tag_judged_ = false;  // the relay has allowed the tag of the message being read
    bool got_message_ = false;

    std::vector<SharedBytes> outbox_;  // control messages, oldest first
    bool writing_ = false;
    bool finishing_ = false;
    bool draining_ = false;      // finishing, but still writing the watched replay
    bool said_goodbye_ = false;  // everything written and the sending side shut down
    bool closed_ = false;
    SharedBytes control_in_flight_;
    ReplayChunk chunk_in_flight_;
    std::array<std::uint8_t, wire::kHeadSize> data_head_{};
    std::array<boost::asio::const_buffer, 1 + kBlocksPerMessage> write_buffers_;

    std::shared_ptr<Cast> watching_;
    Cursor cursor_;

    Clock::time_point opened_;
    Clock::time_point last_output_;
    Clock::time_point write_started_;
    Clock::time_point finishing_since_;
    std::optional<Clock::time_point> keepalive_due_;
};

}  // namespace kavro::relay
