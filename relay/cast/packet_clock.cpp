#include "relay/cast/packet_clock.h"

#include <algorithm>
#include <cmath>

namespace kavro::relay {

void PacketClock::block_arrived(TimePoint when) {
    arrivals_[next_] = when;
    next_ = (next_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);
}

std::uint16_t PacketClock::tenths() const {
    if (count_ < 2) return 0;
    const TimePoint newest = arrivals_[(next_ + kWindow - 1) % kWindow];
    const TimePoint oldest = arrivals_[(next_ + kWindow - count_) % kWindow];
    const double seconds = std::chrono::duration<double>(newest - oldest).count();
    const double mean_tenths = std::round(seconds * 10.0 / static_cast<double>(count_ - 1));
    return static_cast<std::uint16_t>(std::clamp(mean_tenths, 1.0, 65535.0));
}

}  // namespace kavro::relay
