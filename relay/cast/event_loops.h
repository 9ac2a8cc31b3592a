// The event loops a relay's connections are spread over, as the relay's rules see them: how
// many there are, which one the caller runs on, and a way to hand work to one of them. A cast
// tells the watchers on each loop its news by posting to that loop, so nothing a watcher reads
// while it writes is ever touched by another thread.
#pragma once

#include <cstddef>
#include <functional>

namespace kavro::relay {

class EventLoops {
  public:
    virtual ~EventLoops() = default;
    virtual std::size_t count() const = 0;
    // Runs `work` on loop `index`, after the work posted to that loop before it.
    virtual void post(std::size_t index, std::function<void()> work) = 0;
};

// One loop, the caller's own: work posted to it runs at once. A single-loop relay driven by a
// test or fuzzer (with its own clock and fake connections) stays synchronous this way.
class CallerLoop final : public EventLoops {
  public:
    std::size_t count() const override { return 1; }
    void post(std::size_t, std::function<void()> work) override { work(); }
};

}  // namespace kavro::relay
