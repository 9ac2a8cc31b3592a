// How many new recordings a client may make the relay start. Each one is a file, a catalogue
// row and an entry in the archive, so a caster that sends header after differing header (or
// block after differing block) must not make thousands: a cast may start at most
// --cast-recordings-per-minute in any minute, and the casters at one address at most
// --address-recordings-per-hour in any hour, in all. A new cast's first header starts its first
// recording and counts like any other.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

#include "relay/base/relay_options.h"
#include "relay/policy/address_table.h"

namespace kavro::relay {

// When the last few recordings were started, for a limit of `most` in any `window`.
class RecentStarts {
  public:
    using Clock = std::chrono::steady_clock;

    // Whether one more may start at `now` with at most `most` (0: no limit) in any `window`.
    bool allows(Clock::time_point now, std::size_t most, Duration window);
    // One started at `now`; only the last `most` are kept.
    void started(Clock::time_point now, std::size_t most);
    // True once nothing kept counts any more at `now`.
    bool lapsed(Clock::time_point now, Duration window) const {
        return starts_.empty() || now - starts_.back() >= window;
    }

  private:
    std::deque<Clock::time_point> starts_;  // oldest first
};

enum class RecordingLimit { kPerCast, kPerAddress };

class RecordingLimits {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Duration kCastWindow = std::chrono::minutes(1);
    static constexpr Duration kAddressWindow = std::chrono::hours(1);
    static constexpr std::size_t kMostAddresses = 65536;

    // At most `per_cast_minute` starts of one cast in any minute, and `per_address_hour` of
    // the casters at one address in any hour; zero: no limit.
    RecordingLimits(std::size_t per_cast_minute, std::size_t per_address_hour,
                    std::size_t capacity = kMostAddresses)
        : per_cast_minute_(per_cast_minute),
          per_address_hour_(per_address_hour),
          addresses_(capacity) {}

    // Whether the caster at `address` may start a new recording of the cast whose starts are
    // `cast` at `now`: nothing when it may (and then it is counted as started), or the limit
    // it would pass.
    std::optional<RecordingLimit> start(RecentStarts& cast, const boost::asio::ip::address& address,
                                        Clock::time_point now);
    // Forgets the addresses whose starts no longer count.
    void forget_lapsed(Clock::time_point now);
    std::size_t remembered() const { return addresses_.size(); }

  private:
    const std::size_t per_cast_minute_;
    const std::size_t per_address_hour_;
    AddressTable<RecentStarts> addresses_;
};

}  // namespace kavro::relay
