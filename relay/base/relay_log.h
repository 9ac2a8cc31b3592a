// The operator's log: one plain line per event (connections accepted or refused, casts started,
// resumed or ended, watchers joining or leaving, protocol errors with the peer's address).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "relay/base/relay_options.h"

namespace kavro::relay {

using LogSink = std::function<void(const std::string& line)>;

// Writes each line to standard error, at once, on the caller's thread (tools and tests).
LogSink stderr_log();

// The relay's log: lines are queued and written by a thread of its own, so a log that nobody
// reads (a full pipe) never holds up an event loop, the disk's thread or a lock. The queue is
// bounded: past `capacity` lines a line is dropped and counted, and once the writer gets on
// again one line says how many were dropped.
class AsyncLog {
  public:
    explicit AsyncLog(int fd = 2, std::size_t capacity = 8192);
    // Gives the writer up to a second to write what is queued, then leaves it (a log nobody
    // reads must not keep the relay from exiting).
    ~AsyncLog();
    AsyncLog(const AsyncLog&) = delete;
    AsyncLog& operator=(const AsyncLog&) = delete;

    // Queues `line`; never waits for the writer.
    void write(std::string line);
    // A sink that queues here; it must not outlive this log.
    LogSink sink();
    // Lines dropped because the queue was full, since the start.
    std::uint64_t dropped() const;

  private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;  // shared with the writer, which may outlive this object
};

// "1.2.3.4:5678", or "[::1]:5678" for IPv6.
std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint);
// `text` from a client with every control byte shown as '?', so it cannot break a log line
// or the text a client shows.
std::string printable(std::string_view text);
// "60 s", "0.25 s".
std::string seconds_text(Duration duration);

}  // namespace kavro::relay
