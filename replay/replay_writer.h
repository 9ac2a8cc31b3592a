// The watcher's replay file. A header the relay forwards starts the file afresh, unless the file
// already holds that very header (the relay sends the recording again after a reconnect): then
// the file is continued, each piece of data that equals the file's bytes at its offset is
// stepped over, and what lies past the file's end is appended, so the file never shrinks while
// the race goes on. Data gathered in one tick is written in one write at the tick's flush. What
// the file does not take (a folder made read-only, a player holding the file without write
// sharing) is held in order and written back, a bounded amount per tick, when the file takes
// writes again, so the file never has a hole.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "replay/failure_notice.h"

namespace kavro {

class ReplayWriter {
  public:
    using Log = std::function<void(const std::string&)>;

    // Bytes held while the file takes no writes. Past this the replay starts over instead.
    static constexpr std::size_t kMaxHeldBytes = std::size_t{64} << 20;
    // Held bytes one flush writes back at most, beyond what arrived since the last flush.
    static constexpr std::size_t kMaxWriteBackPerFlush = std::size_t{1} << 20;
    // Data gathered since the last flush past which append_data writes without waiting for it.
    static constexpr std::size_t kMaxGathered = std::size_t{8} << 20;
    // Progress lines while catching up: the first once this many bytes arrived, then each time
    // the bytes received have doubled.
    static constexpr std::uint64_t kFirstProgressBytes = std::uint64_t{1} << 20;

    // `file` is normally "../data/mpr/kavro.mpr"; `log` receives the lines for the window's log.
    ReplayWriter(std::filesystem::path file, Log log);

    // After the user's own click was accepted: creates the file empty or truncates it, dropping
    // anything held. False when it can't.
    bool empty_file();

    // SRH: logs "Received a replay header.". A file that holds exactly this header at its start
    // is continued (see above); any other file is started afresh with `payload`. Data held for
    // the previous header is dropped. The next data written announces the replay as ready.
    void write_header(std::span<const std::uint8_t> payload);

    // SRD: gathers `payload` to be written after what came before at the next flush (creating
    // the file if missing). The first data written while the file holds a header logs "Replay
    // ready to watch.".
    void append_data(std::span<const std::uint8_t> payload);

    // Writes what was gathered since the last flush in one write, and at most
    // kMaxWriteBackPerFlush bytes more of what was held, in order (at every poll tick).
    void flush();

    // Told once per tick whether the tick's receive found a backlog (see ReceiveReport). Ticks
    // that keep finding one mean the file is far behind the live race: the log says so and how
    // far it has come, a few times, and once when it has caught up (no backlog for
    // kCaughtUpAfter).
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::seconds kCaughtUpAfter{1};
    void note_receive_tick(bool backlog, TimePoint now);

    // The file can no longer be made whole by writing what is held: more than kMaxHeldBytes
    // waited, or the file lost what was written to it. The replay must come again from its
    // header (a new connection); until restart() every message is dropped.
    bool restart_needed() const { return restart_needed_; }
    // Drops everything held; the next header starts the file again.
    void restart();

    bool replay_ready_announced() const { return replay_ready_announced_; }
    // Bytes received and not yet in the file (a header included).
    std::size_t held_bytes() const { return queue_.size() + pending_header_.size(); }

  private:
    enum class FileState {
        kHeaderWaiting,  // a header the file has not taken yet; data waits behind it
        kMatching,       // the file holds this recording's header: data is compared to it
        kWriting,        // data is written at position_ (after the file's end without a header)
    };

    // Writes or matches at most `budget` bytes of the queue; false when the file did not take
    // them (the rest stays queued).
    bool write_queue(std::size_t budget);
    // Puts the waiting header into the file; false when the file took nothing.
    bool place_header();
    void written_data();
    void give_up(const std::string& why);

    std::filesystem::path file_;
    Log log_;
    FailureNotice write_notice_;
    FileState state_ = FileState::kWriting;
    std::vector<std::uint8_t> pending_header_;
    // Bytes in arrival order, taken from the front without moving the rest each time.
    class ByteQueue {
      public:
        std::size_t size() const { return bytes_.size() - start_; }
        bool empty() const { return size() == 0; }
        const std::uint8_t* data() const { return bytes_.data() + start_; }
        void append(std::span<const std::uint8_t> more) {
            bytes_.insert(bytes_.end(), more.begin(), more.end());
        }
        void drop_front(std::size_t n);
        void clear() {
            bytes_.clear();
            start_ = 0;
        }

      private:
        std::vector<std::uint8_t> bytes_;
        std::size_t start_ = 0;
    };

    // Data not yet in the file; its first byte belongs at position_.
    ByteQueue queue_;
    std::size_t gathered_ = 0;  // bytes appended since the last flush
    // How many bytes at the file's start are ours (the header and the data after it); unknown
    // until something was written or the file was emptied.
    std::optional<std::uint64_t> position_;
    bool header_in_file_ = false;
    bool replay_ready_announced_ = false;
    bool restart_needed_ = false;
    // Catch-up: consecutive ticks that ended with data waiting, whether the log said the file
    // is behind, and the received bytes at which it says how far it has come next.
    int ticks_behind_ = 0;
    bool behind_announced_ = false;
    TimePoint last_backlog_{};
    std::uint64_t next_progress_ = kFirstProgressBytes;
};

}  // namespace kavro
