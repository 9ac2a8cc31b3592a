// The kavro-relay program run as a child process, for what only a real process shows: its exit
// status and output at start, and its memory as /proc reports it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavro::relay::testing {

class RelayProcess {
  public:
    // Starts kavro-relay with `arguments`; its standard output is kept for first_line(). With
    // `log_to_closed_pipe` its standard error is a pipe whose reading end is closed.
    explicit RelayProcess(const std::vector<std::string>& arguments,
                          bool log_to_closed_pipe = false);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    // The first line the relay printed, or nothing if it closed its output (or exited) first.
    std::optional<std::string> first_line();
    // The port from "listening on 127.0.0.1:PORT", or 0.
    std::uint16_t port();
    bool signal(int number) const;
    // Waits for the program to end by itself; its exit status, or nothing if it was killed.
    std::optional<int> exit_status();
    // A "kB" field of /proc/PID/status (VmRSS, VmHWM), in bytes.
    std::size_t memory_field(const std::string& name) const;

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    bool reaped_ = false;
};

}  // namespace kavro::relay::testing
