// The watcher's replay file: the header the relay forwards starts it afresh, each data message
// is appended, and the log says when the replay can be played. What the file does not take (a
// folder made read-only, a player holding the file without write sharing) is held in order and
// written when the file takes writes again, so the file never has a hole.
#pragma once

#include <cstdint>
#include <deque>
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

    // `file` is normally "../data/mpr/kavro.mpr"; `log` receives the lines for the window's log.
    ReplayWriter(std::filesystem::path file, Log log);

    // On an accepted registration: creates the file empty or truncates it, dropping anything
    // held. False when it can't.
    bool empty_file();

    // SRH: logs "Received a replay header." and starts the file afresh with `payload`; data held
    // for the previous header is dropped. The next data written announces the replay as ready.
    void write_header(std::span<const std::uint8_t> payload);

    // SRD: appends `payload` after what was written (creating the file if missing). The first
    // data written while the file holds a header logs "Replay ready to watch.".
    void append_data(std::span<const std::uint8_t> payload);

    // Writes what is held, in order, as far as the file takes it (at every poll tick).
    void flush();

    // The file can no longer be made whole by writing what is held: more than kMaxHeldBytes
    // waited, or the file lost what was written to it. The replay must come again from its
    // header (a new connection); until restart() every message is dropped.
    bool restart_needed() const { return restart_needed_; }
    // Drops everything held; the next header starts the file again.
    void restart();

    bool replay_ready_announced() const { return replay_ready_announced_; }
    std::size_t held_bytes() const { return held_bytes_; }

  private:
    struct Piece {
        bool header = false;
        std::vector<std::uint8_t> bytes;
    };

    // Writes one piece where it belongs; false when the file did not take it.
    bool write_piece(bool header, std::span<const std::uint8_t> bytes);
    bool write_data(std::span<const std::uint8_t> bytes);
    void hold(bool header, std::span<const std::uint8_t> bytes);
    void written(bool header);
    void give_up(const std::string& why);

    std::filesystem::path file_;
    Log log_;
    FailureNotice write_notice_;
    std::deque<Piece> held_;
    std::size_t held_bytes_ = 0;
    // How many bytes at the file's start are ours (the header and the data after it); unknown
    // until something was written or the file was emptied.
    std::optional<std::uint64_t> written_;
    bool header_in_file_ = false;
    bool replay_ready_announced_ = false;
    bool restart_needed_ = false;
};

}  // namespace kavro
