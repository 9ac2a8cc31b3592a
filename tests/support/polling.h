// The one way the non-GUI tests wait for something that happens by itself: `condition` is
// asked again every millisecond until it holds or `within` has passed.
#pragma once

#include <chrono>
#include <thread>

namespace kavro::test {

template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds within = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kavro::test
