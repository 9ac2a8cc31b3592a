#include "relay/policy/recording_limits.h"

#include "relay/policy/address_limits.h"

namespace kavro::relay {

bool RecentStarts::allows(Clock::time_point now, std::size_t most, Duration window) {
    if (most == 0) return true;
    while (!starts_.empty() && now - starts_.front() >= window) starts_.pop_front();
    return starts_.size() < most;
}

void RecentStarts::started(Clock::time_point now, std::size_t most) {
    if (most == 0) return;
    starts_.push_back(now);
    while (starts_.size() > most) starts_.pop_front();
}

std::optional<RecordingLimit> RecordingLimits::start(RecentStarts& cast,
                                                     const boost::asio::ip::address& address,
                                                     Clock::time_point now) {
    const std::size_t per_cast = per_cast_minute_;
    const std::size_t per_address = per_address_hour_;
    if (!cast.allows(now, per_cast, kCastWindow)) return RecordingLimit::kPerCast;
    if (per_address > 0) {
        const auto counted = counted_address(address);
        RecentStarts* held = addresses_.find(counted);
        if (held && !held->allows(now, per_address, kAddressWindow)) {
            return RecordingLimit::kPerAddress;
        }
        addresses_.touch(counted).started(now, per_address);
    }
    cast.started(now, per_cast);
    return std::nullopt;
}

void RecordingLimits::forget_lapsed(Clock::time_point now) {
    addresses_.forget_if(
        [&](const RecentStarts& starts) { return starts.lapsed(now, kAddressWindow); });
}

}  // namespace kavro::relay
