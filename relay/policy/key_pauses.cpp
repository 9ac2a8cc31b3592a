#include "relay/policy/key_pauses.h"

#include <algorithm>

#include "relay/base/relay_log.h"
#include "relay/policy/address_limits.h"

namespace kavro::relay {

std::optional<Duration> KeyPauses::pause_left(const boost::asio::ip::address& address,
                                              Clock::time_point now) const {
    const Entry* entry = addresses_.find(counted_address(address));
    if (!entry || now >= entry->pause_ends) return std::nullopt;
    return entry->pause_ends - now;
}

Duration KeyPauses::refused(const boost::asio::ip::address& address, Clock::time_point now,
                            Kind kind) {
    ++since_report_[static_cast<std::size_t>(kind)];
    Entry& entry = addresses_.touch(counted_address(address));
    // 1 s, 2 s, 4 s, ... : past 2^9 s the longest pause holds, so the shift stays small.
    const std::uint32_t doublings = std::min<std::uint32_t>(entry.refusals, 9);
    ++entry.refusals;
    const Duration pause = std::min<Duration>(kFirstPause * (1u << doublings), kLongestPause);
    entry.pause_ends = now + pause;
    return pause;
}

std::size_t KeyPauses::paused(Clock::time_point now) const {
    std::size_t count = 0;
    addresses_.for_each([&](const auto&, const Entry& entry) {
        if (now < entry.pause_ends) ++count;
    });
    return count;
}

std::optional<std::string> KeyPauses::minute_report(Clock::time_point now) {
    addresses_.forget_if(
        [&](const Entry& entry) { return now >= entry.pause_ends + kForgetAfter; });
    const std::uint64_t wrong = std::exchange(since_report_[0], 0);
    const std::uint64_t reserved = std::exchange(since_report_[1], 0);
    const std::uint64_t in_pause = std::exchange(since_report_[2], 0);
    const std::uint64_t all = wrong + reserved + in_pause;
    if (all == 0) return std::nullopt;
    return "key attempts refused in the last minute: " + std::to_string(all) + " (" +
           std::to_string(wrong) + " wrong keys, " + std::to_string(reserved) +
           " reserved names without their key, " + std::to_string(in_pause) +
           " during their address's pause); " + std::to_string(paused(now)) +
           " addresses wait a pause now";
}

}  // namespace kavro::relay
