// Guessing a cast's key, or a reserved name's, costs time. An attempt at a keyed or reserved
// name that is refused (a wrong key, a reserved name without its key) closes the connection and
// makes its address wait: 1 s after the first, twice as long after each further one, up to
// 5 minutes. An attempt during the pause is refused at once, before any key is compared, so it
// tells nothing about the key; it does not lengthen the pause, so whoever shares the address
// (a LAN party behind one router) is kept out no longer than the guesser's own next try. An
// address is forgotten once it has been quiet for kForgetAfter past the end of its pause.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "relay/base/relay_options.h"
#include "relay/policy/address_table.h"

namespace kavro::relay {

class KeyPauses {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Duration kFirstPause = std::chrono::seconds(1);
    static constexpr Duration kLongestPause = std::chrono::minutes(5);
    static constexpr Duration kForgetAfter = std::chrono::minutes(10);
    // Addresses remembered at once; past it the one refused longest ago is forgotten.
    static constexpr std::size_t kMostAddresses = 65536;

    enum class Kind { kWrongKey, kReservedName, kInPause };

    explicit KeyPauses(std::size_t capacity = kMostAddresses) : addresses_(capacity) {}

    // What `address` still has to wait before an attempt of its is looked at, or nothing
    // when it may try now. Addresses are taken as counted_address() counts them.
    std::optional<Duration> pause_left(const boost::asio::ip::address& address,
                                       Clock::time_point now) const;
    // An attempt from `address` was looked at and refused: its next pause, which begins now.
    Duration refused(const boost::asio::ip::address& address, Clock::time_point now, Kind kind);
    // An attempt came during its address's pause and was refused unread.
    void refused_in_pause() { ++since_report_[static_cast<std::size_t>(Kind::kInPause)]; }

    // Addresses waiting a pause at `now`.
    std::size_t paused(Clock::time_point now) const;
    std::size_t remembered() const { return addresses_.size(); }

    // Called once a minute: the line that says how many attempts were refused since the last
    // call, or nothing when none were. Also forgets the addresses quiet long enough.
    std::optional<std::string> minute_report(Clock::time_point now);

  private:
    struct Entry {
        std::uint32_t refusals = 0;  // looked at and refused, since it was last forgotten
        Clock::time_point pause_ends{};
    };
    AddressTable<Entry> addresses_;
    std::uint64_t since_report_[3] = {0, 0, 0};
};

}  // namespace kavro::relay
