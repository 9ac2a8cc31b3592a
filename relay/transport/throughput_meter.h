// Bytes in and out per second over the last few seconds, from the relay's running byte
// counters sampled by the event loop's periodic tick.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace kavro::relay {

class ThroughputMeter {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Takes a sample at most once a second; calling it more often costs nothing.
    void sample(TimePoint now, std::uint64_t bytes_received, std::uint64_t bytes_sent);
    // Rates over the samples kept (about five seconds); 0 until a second has been seen.
    double received_per_second() const;
    double sent_per_second() const;

  private:
    struct Sample {
        TimePoint when;
        std::uint64_t received = 0;
        std::uint64_t sent = 0;
    };
    double rate(std::uint64_t Sample::*field) const;

    std::deque<Sample> samples_;
};

}  // namespace kavro::relay
