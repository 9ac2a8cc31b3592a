// The watcher's replay file: the header the relay forwards starts it afresh, each data message
// is appended, and the log says when the replay can be played.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

namespace kavro {

class ReplayWriter {
  public:
    using Log = std::function<void(const std::string&)>;

    // `file` is normally "../data/mpr/kavro.mpr"; `log` receives the lines for the window's log.
    ReplayWriter(std::filesystem::path file, Log log);

    // On an accepted registration: creates the file empty or truncates it. False when it can't.
    bool empty_file();

    // SRH: starts the file afresh with `payload` and logs "Received a replay header.". The next
    // data written announces the replay as ready again.
    void write_header(std::span<const std::uint8_t> payload);

    // SRD: appends `payload` (creating the file if missing). The first data written after a
    // header, or since the start, logs "Replay ready to watch.".
    void append_data(std::span<const std::uint8_t> payload);

    bool replay_ready_announced() const { return replay_ready_announced_; }

  private:
    // Writes `payload` to the file opened with `mode`; false if it could not be written.
    bool write(const char* mode, std::span<const std::uint8_t> payload);
    // Logs "Cannot write <file>." unless it was logged since the last header.
    void report_write_failure();

    std::filesystem::path file_;
    Log log_;
    bool replay_ready_announced_ = false;
    bool write_failure_reported_ = false;
};

}  // namespace kavro
