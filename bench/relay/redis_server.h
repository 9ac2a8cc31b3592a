// A redis-server of the bench's own, as the peer the relay is measured against: on a free
// loopback port, with no persistence, and no output limit on subscribers (the relay drops no
// slow watcher either).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavro::bench {

class RedisServer {
  public:
    // Starts `program` for up to `clients` clients and waits until it answers a PING.
    RedisServer(const std::string& program, std::size_t clients);
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    std::uint16_t port() const { return port_; }
    double cpu_seconds() const;
    std::uint64_t rss_kib() const;
    void stop();

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kavro::bench
