// Addresses the operator has banned, each for a time or until it is lifted. A ban covers an
// address or a network (ADDRESS/PREFIX); a bare address is banned as it is counted for the
// limits, so an IPv6 address bans its /64. Times are wall-clock times: bans are kept on disk
// and outlive the relay.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavro::relay {

struct Ban {
    using WallClock = std::chrono::system_clock;
    boost::asio::ip::address network;  // its bits past `prefix` are zero
    unsigned prefix = 32;
    std::optional<WallClock::time_point> until;  // nothing: until it is lifted

    // "192.0.2.0/24", "2001:db8::/64".
    std::string text() const;
    bool covers(const boost::asio::ip::address& address) const;
};

// Reads "ADDRESS" or "ADDRESS/PREFIX"; nothing (and `problem`) when it is neither.
std::optional<Ban> parse_ban_target(std::string_view text, std::string& problem);

class BanList {
  public:
    using WallClock = Ban::WallClock;

    // Adds `ban`, or changes the time of the ban of the same network.
    void add(const Ban& ban);
    // Lifts the ban of exactly `target`'s network and prefix; returns the bans lifted.
    std::vector<Ban> lift_exact(const Ban& target);
    // Lifts every ban that covers `address`; returns them.
    std::vector<Ban> lift_covering(const boost::asio::ip::address& address);
    // Whether a ban in force at `now` covers `address`.
    bool bans(const boost::asio::ip::address& address, WallClock::time_point now) const;
    // The bans in force at `now`; those that have run out are dropped.
    const std::vector<Ban>& in_force(WallClock::time_point now);
    std::size_t count_in_force(WallClock::time_point now) const;

    // The bans as JSON, and back. A file that does not exist holds no bans.
    std::string to_json() const;
    static std::optional<BanList> from_json(std::string_view text, std::string& problem);
    // Writes the list to `path` by way of a temporary file renamed over it, so a crash leaves
    // either the old list or the new one.
    bool save(const std::filesystem::path& path, std::string& problem) const;
    static std::optional<BanList> load(const std::filesystem::path& path, std::string& problem);

  private:
    std::vector<Ban> bans_;
};

}  // namespace kavro::relay
