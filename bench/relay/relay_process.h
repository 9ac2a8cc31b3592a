// The relay under test as a child process: started with options, its port read from the first
// line it prints, its CPU time and resident memory read from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavro::bench {

class RelayProcess {
  public:
    // Starts `program` with `arguments`; its log goes to `log_path` ("/dev/null" by default).
    RelayProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& log_path);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    std::uint16_t port() const { return port_; }
    // User and system CPU time used so far, in seconds.
    double cpu_seconds() const;
    // Resident set size now, in KiB.
    std::uint64_t rss_kib() const;
    // SIGTERM, then waits for the exit; returns the exit status.
    int stop();

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kavro::bench
