// Keeps a flood from writing a log line per message: at most one line of each kind a second,
// and the next line that is written says how many were held back since the last one.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace kavro::relay {

enum class LogKind : std::size_t {
    kDroppedBlock,     // a data block before any header
    kRefusedCastName,  // a registration answered ACK0NO
    kCount
};

template <std::size_t Kinds>
class LogLimiter {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kEvery = std::chrono::seconds(1);

    // The note to add to a line of `kind` at `now` (" (and N more since the last one)", or
    // empty), or nothing when the line is to be held back.
    std::optional<std::string> pass(std::size_t kind, Clock::time_point now) {
        Slot& slot = slots_.at(kind);
        if (slot.logged_once && now - slot.last < kEvery) {
            ++slot.held_back;
            return std::nullopt;
        }
        slot.logged_once = true;
        slot.last = now;
        return take_note(kind);
    }
    // The lines of `kind` held back and not yet told of, and forgets them.
    std::uint64_t take_held_back(std::size_t kind) {
        return std::exchange(slots_.at(kind).held_back, 0);
    }
    std::string take_note(std::size_t kind) {
        const std::uint64_t held = take_held_back(kind);
        return held == 0 ? std::string()
                         : " (and " + std::to_string(held) + " more since the last one)";
    }

  private:
    struct Slot {
        bool logged_once = false;
        Clock::time_point last{};
        std::uint64_t held_back = 0;
    };
    std::array<Slot, Kinds> slots_{};
};

}  // namespace kavro::relay
