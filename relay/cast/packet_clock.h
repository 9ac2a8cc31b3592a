// The packet time shown in the cast list: the mean interval between a cast's last data blocks
// (up to 16 of them), in tenths of a second.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kavro::relay {

class PacketClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::size_t kWindow = 16;

    void block_arrived(TimePoint when);
    void reset() { count_ = 0; }
    // 0 until two blocks have arrived. A mean that rounds to zero tenths is given as 1, since
    // 0 means "not available" to the client.
    std::uint16_t tenths() const;

  private:
    std::array<TimePoint, kWindow> arrivals_{};
    std::size_t next_ = 0;   // slot for the next arrival
    std::size_t count_ = 0;  // arrivals held, at most kWindow
};

}  // namespace kavro::relay
