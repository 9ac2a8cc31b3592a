// One client connection as the relay's rules see it, with no socket in it. It frames what the
// client sends and hands whole messages to the relay; it writes with one write in flight,
// control messages (ACK, CHL, ERR, KAL) first, then the stored replay from its own cursor when
// it watches a cast; and it keeps the connection's deadlines (the idle and mid-message
// time-outs, stalled writes, keep-alive), checked in tick(now).
//
// Under load it batches. A caster is read into a large buffer, so one read takes whatever it
// has sent, and the relay tells the watchers once for all its blocks. A watcher that is behind
// gets up to four blocks per SRD and up to four SRDs (64 KiB of replay) in one write; one that
// keeps up gets each block in a write of its own, as soon as it is in.
//
// The transport beneath (an Asio socket in Session, a fake in tests and fuzzing) implements the
// four transport hooks and reports each completion through read_done()/read_failed() and
// write_done()/write_failed(). At most one read and one write are asked for at a time. The
// connection owns itself through shared_from_this() while the transport has work pending;
// every way out goes through close() once.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "relay/cast/cast.h"
#include "relay/cast/rule_settings.h"
#include "relay/policy/log_limiter.h"
#include "relay/store/cast_store.h"
#include "wire/client_framer.h"

namespace kavro::relay {

class RelayCore;

// What the connection has said it is, as far as the relay's message rules care.
struct ConnectionRole {
    std::optional<std::uint8_t> hello_mode;  // mode of the last CCN0
    std::shared_ptr<Cast> casting;           // the cast this connection is the caster of
    std::uint64_t seat = 0;                  // its seat as that cast's caster
    // The block of the stored recording that the caster's next upload stands for: the stored
    // end after registering (a caster that sends tails only appends), 0 after a header.
    std::size_t upload_position = 0;
    // The cast has a header: one came on this connection, or it had one when taken over.
    bool cast_has_header = false;
    std::chrono::steady_clock::time_point casting_since{};
    bool counted_as_watcher = false;  // in its address's watcher count
};

// Who is at the other end: the address connections are counted under, and how logs show it.
struct Peer {
    boost::asio::ip::address address;
    std::string text;  // "1.2.3.4:5678"
};

// A caster's read buffer: room for several uploads, so a caster that is ahead is read in one
// go.
inline constexpr std::size_t kCasterReadSize = 64 * 1024;
// Replay messages (SRH, or SRD of up to four blocks) gathered into one write.
inline constexpr std::size_t kReplayMessagesPerWrite = 4;
// Pieces of the largest write: each SRD is its head and its blocks.
inline constexpr std::size_t kMostWritePieces = kReplayMessagesPerWrite * (1 + kBlocksPerMessage);
// A write that takes no byte for --stall-timeout closes the connection: its path is dead, or
// the client stopped reading. The sockets' keep-alive and user time-out catch a dead path
// sooner.
// A refused connection gets this long to take its ERR.
inline constexpr Duration kRefusalLimit = std::chrono::seconds(1);
// A connection that has said goodbye (sent its last byte and shut down its sending side)
// waits this long for the client to close, and so does one whose final ERR does not go out.
inline constexpr Duration kFinishLimit = std::chrono::seconds(5);
// A relay that stops and keeps its casts for the next start gives each watcher this long to
// take what it was released, then closes it: the watcher comes back and catches up from the
// data folder.
inline constexpr Duration kRestartDrainLimit = std::chrono::seconds(3);

class Connection : public CastWatcher, public std::enable_shared_from_this<Connection> {
  public:
    using Clock = std::chrono::steady_clock;

    Connection(RelayCore& relay, Peer peer);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    virtual ~Connection() = default;

    // Starts reading.
    void start();

    const std::string& peer() const { return peer_.text; }
    const boost::asio::ip::address& address() const { return peer_.address; }
    ConnectionRole& role() { return role_; }
    bool closed() const { return closed_; }
    // Closing: nothing more is read, and only what is queued is still written.
    bool finishing() const { return finishing_; }

    // Queues a control message behind those already queued.
    void send(SharedBytes message);
    // Sends ERR with `text`, then closes once it is written.
    void fail(const std::string& text);
    // For a connection the relay will not serve at all: sends ERR with `text` and closes as
    // soon as it is written, or after a short limit when the socket will not take it.
    void refuse(const std::string& text);
    // Closes once everything queued is written (and, after its cast ended, the replay the
    // cast released to this watcher).
    void finish();
    // Closes at once and leaves the relay.
    void close(const std::string& reason);
    // Another connection took this one's cast over (`why` says which): ERR, then close.
    void send_away(const std::string& why);
    // The relay stops and keeps the cast: the watcher takes what its cast released so far for
    // at most kRestartDrainLimit, then closes; any other connection closes at once.
    void leave_for_restart();
    // Closing, but still writing the stream of a cast that ended; it closes itself after.
    bool taking_the_tail() const { return finishing_ && draining_ && !closed_; }
    // Bytes this connection has read and written, for the operator.
    std::uint64_t bytes_received() const { return bytes_received_; }
    std::uint64_t bytes_sent() const { return bytes_sent_; }
    Clock::time_point opened() const { return opened_; }
    // Repeated log lines of one kind on this connection.
    LogLimiter<static_cast<std::size_t>(LogKind::kCount)>& log_limiter() { return log_limiter_; }
    // A keep-alive is due at `when` even if the connection has not been silent long.
    void keepalive_at(Clock::time_point when) { keepalive_due_ = when; }

    // Subscribes to `cast` from the start of its recording, leaving any cast watched before.
    void watch(std::shared_ptr<Cast> cast);
    void stop_watching();
    const std::shared_ptr<Cast>& watching() const { return watching_; }

    // Called a few times a second: idle and mid-message time-outs, stalled writes, keep-alive.
    void tick(Clock::time_point now, const RuleSettings& settings);

    // CastWatcher
    void cast_has_news() override;
    // The data folder's queue has room again: a caster held back by it is read again.
    void disk_has_room();
    void cast_ended() override;

    // Completions from the transport.
    void read_done(std::size_t count);
    // `end_of_stream`: the client closed its sending side; otherwise the connection broke.
    void read_failed(bool end_of_stream, const std::string& detail);
    void write_done();
    void write_failed(const std::string& detail);
    // Some bytes of the write under way went out; the stall limit counts from here.
    void write_progressed() { write_progress_ = relay_now(); }

  protected:
    // Receive some bytes (at least one) into `into`, which stays valid until the completion.
    virtual void start_read(std::span<std::uint8_t> into) = 0;
    // Send all of `pieces` in order; their bytes stay valid until the completion.
    virtual void start_write(std::span<const wire::ConstBytes> pieces) = 0;
    // No more bytes will be sent; the client sees its end of stream.
    virtual void shutdown_send() = 0;
    // Close now; a pending read or write may still complete (it is then ignored).
    virtual void close_transport() = 0;
    // A refused connection's ERR is written: end it now, before close_transport(). A socket
    // drops what the client sent and the relay never read first, so that closing does not
    // reset the connection before the client has the ERR.
    virtual void hang_up() { shutdown_send(); }

  private:
    void read_more();
    void read_to_end();
    // Frames `count` bytes just put in the framer's space; false once the connection failed.
    bool framed(std::size_t count);
    // Frames `count` bytes read into the caster's buffer.
    void frame_bulk(std::size_t count);
    void say_goodbye();
    void pump();
    std::size_t gather_control();
    std::size_t gather_replay();
    void write(std::size_t piece_count);
    void release_in_flight();
    Clock::time_point relay_now() const;

    RelayCore& relay_;
    Peer peer_;
    ConnectionRole role_;

    wire::ClientFramer framer_;
    bool reading_ = false;
    bool waiting_for_disk_ = false;   // a caster not read while the disk's queue is full
    bool reading_bulk_ = false;       // the read under way goes to bulk_
    std::vector<std::uint8_t> bulk_;  // a caster's read buffer, made when it casts
    bool tag_judged_ = false;         // the relay has allowed the tag of the message being read
    bool got_message_ = false;

    std::vector<SharedBytes> outbox_;  // control messages, oldest first
    bool writing_ = false;
    bool finishing_ = false;
    bool draining_ = false;      // finishing, but still writing the watched replay
    bool said_goodbye_ = false;  // everything written and the sending side shut down
    bool closed_ = false;
    bool hanging_up_ = false;  // refused: closed as soon as the ERR is written
    // What the write under way holds alive, and its pieces.
    std::vector<SharedBytes> control_in_flight_;
    std::array<ReplayChunk, kReplayMessagesPerWrite> chunks_in_flight_;
    std::array<std::array<std::uint8_t, wire::kHeadSize>, kReplayMessagesPerWrite> data_heads_{};
    std::array<wire::ConstBytes, kMostWritePieces> write_pieces_;

    std::shared_ptr<Cast> watching_;
    Cursor cursor_;

    Clock::time_point opened_;
    Clock::time_point message_began_;  // when the first bytes of the message being read came
    Clock::time_point last_output_;
    Clock::time_point write_progress_;   // start of the write under way, or its last progress
    std::size_t write_bytes_ = 0;        // of the write under way, counted once it is done
    Clock::time_point finishing_since_;  // since finish(), then since the goodbye
    std::optional<Clock::time_point> keepalive_due_;
    std::uint64_t bytes_received_ = 0;
    std::uint64_t bytes_sent_ = 0;
    LogLimiter<static_cast<std::size_t>(LogKind::kCount)> log_limiter_;
    std::optional<Clock::time_point> drain_ends_;  // when the relay stops keeping its casts
};

}  // namespace kavro::relay
