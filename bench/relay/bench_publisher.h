// Whoever uploads the bench's blocks (the cast to kavro-relay, or PUBLISH to Redis), as the
// watchers see it: when each block went out, so they can time its delivery.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kavro::bench {

using Clock = std::chrono::steady_clock;

class BenchPublisher {
  public:
    virtual ~BenchPublisher() = default;
    // Uploads the blocks at `per_second` on a thread of the publisher's own.
    virtual void start_blocks(double per_second) = 0;
    virtual bool done() const = 0;
    // When block `index` went to the socket, in nanoseconds of the steady clock (0: not yet).
    virtual std::int64_t sent_at(std::size_t index) const = 0;
};

}  // namespace kavro::bench
