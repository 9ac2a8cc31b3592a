// The relay under test as a child process: started with options, its port read from the first
// line it prints, its CPU time and resident memory read from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavro::bench {

// User and system CPU time process `pid` has used so far, in seconds.
double cpu_seconds_of(pid_t pid);
// Resident set size of process `pid` now, in KiB.
std::uint64_t rss_kib_of(pid_t pid);
// A "kB" field of /proc/PID/status (VmRSS, RssAnon, RssFile), in KiB.
std::uint64_t status_kib_of(pid_t pid, const std::string& field);
// SIGTERM, then waits for the exit; returns the exit status.
int stop_process(pid_t pid);

class RelayProcess {
  public:
    // Starts `program` with `arguments`; its log goes to `log_path` ("/dev/null" by default).
    RelayProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& log_path);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    std::uint16_t port() const { return port_; }
    // The HTTP side's port when the arguments give one with --http, else 0.
    std::uint16_t http_port() const { return http_port_; }
    pid_t pid() const { return pid_; }
    double cpu_seconds() const { return cpu_seconds_of(pid_); }
    std::uint64_t rss_kib() const { return rss_kib_of(pid_); }
    // SIGTERM, then waits for the exit; returns the exit status.
    int stop();

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t http_port_ = 0;
};

}  // namespace kavro::bench
