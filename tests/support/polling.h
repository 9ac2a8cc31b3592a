// The one way the non-GUI tests wait for something that happens by itself: `condition` is
// asked again every `step` (a millisecond unless a check is costly, such as an HTTP request)
// until it holds or `within` has passed; the last time it is asked is after the deadline, so a
// condition that comes true just in time is not missed.
#pragma once

#include <chrono>
#include <thread>

namespace kavro::test {

template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds within = std::chrono::seconds(10),
                std::chrono::milliseconds step = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace kavro::test
