// The kavro-relay program run as a child process, for what only a real process shows: its exit
// status and output at start, and its memory as /proc reports it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavro::relay::testing {

// Its standard error is a pipe that stays open and that nobody reads.
struct UnreadLogPipe {};

class RelayProcess {
  public:
    // Starts kavro-relay with `arguments`; its standard output is kept for first_line(). With
    // `log_to_closed_pipe` its standard error is a pipe whose reading end is closed. Unless the
    // arguments say otherwise it keeps nothing on disk (--data-dir off) and serves no HTTP
    // (--http off), and its admin API, with a token, listens on a port the OS picks.
    explicit RelayProcess(const std::vector<std::string>& arguments,
                          bool log_to_closed_pipe = false);
    // The same, with its log appended to the file at `log_path`.
    RelayProcess(const std::vector<std::string>& arguments, const std::string& log_path);
    // The same, with its log written into a pipe this object holds open and never reads.
    RelayProcess(const std::vector<std::string>& arguments, UnreadLogPipe);
    // Bytes waiting unread in that pipe.
    std::size_t unread_log_bytes() const;
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    // The first line the relay printed, or nothing if it closed its output (or exited) first.
    std::optional<std::string> first_line();
    // The port from "listening on 127.0.0.1:PORT", or 0.
    std::uint16_t port();
    pid_t pid() const { return pid_; }
    // The port from "http on 127.0.0.1:PORT", the line after the listening one, or 0.
    std::uint16_t http_port();
    // The port from "admin on 127.0.0.1:PORT", the line after the HTTP one (with an admin
    // token; unless the arguments say otherwise the OS picks it), or 0.
    std::uint16_t admin_port();
    bool signal(int number) const;
    // Waits for the program to end by itself; its exit status, or nothing if it was killed.
    std::optional<int> exit_status();
    // Kills it with `signal` and waits for it to end; its exit status, or nothing if the
    // signal ended it.
    std::optional<int> end_with(int signal);
    // True once the program has ended, within `deadline` (exit_status() then says how).
    bool ends_within(std::chrono::milliseconds deadline);
    // A "kB" field of /proc/PID/status (VmRSS, VmHWM), in bytes.
    std::size_t memory_field(const std::string& name) const;

  private:
    void start(const std::vector<std::string>& arguments, const std::string& log_path,
               bool log_to_closed_pipe);

    pid_t pid_ = -1;
    int output_ = -1;
    int unread_log_ = -1;  // the reading end of an unread log pipe
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace kavro::relay::testing
