#include "relay/policy/ban_list.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "relay/base/text_file.h"
#include "relay/policy/address_limits.h"

namespace kavro::relay {

namespace {

using boost::asio::ip::address;

// The address with its bits past `prefix` cleared, as bytes of its own family.
template <typename Bytes>
Bytes masked(Bytes bytes, unsigned prefix) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned first_bit = static_cast<unsigned>(i) * 8;
        if (first_bit >= prefix) {
            bytes[i] = 0;
        } else if (prefix - first_bit < 8) {
            bytes[i] &= static_cast<unsigned char>(0xFF << (8 - (prefix - first_bit)));
        }
    }
    return bytes;
}

address network_of(const address& a, unsigned prefix) {
    if (a.is_v4()) return boost::asio::ip::address_v4(masked(a.to_v4().to_bytes(), prefix));
    return boost::asio::ip::address_v6(masked(a.to_v6().to_bytes(), prefix));
}

// An IPv4 client on a dual-stack socket is its IPv4 address.
address plain(const address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6());
    }
    return a;
}

std::int64_t seconds_since_epoch(Ban::WallClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::string Ban::text() const { return network.to_string() + "/" + std::to_string(prefix); }

bool Ban::covers(const address& client) const {
    const address a = plain(client);
    if (a.is_v4() != network.is_v4()) return false;
    return network_of(a, prefix) == network;
}

std::optional<Ban> parse_ban_target(std::string_view text, std::string& problem) {
    const auto slash = text.find('/');
    boost::system::error_code error;
    const address a =
        plain(boost::asio::ip::make_address(std::string(text.substr(0, slash)), error));
    if (error) {
        problem = "not an IP address: " + std::string(text.substr(0, slash));
        return std::nullopt;
    }
    const unsigned widest = a.is_v4() ? 32 : 128;
    Ban ban;
    if (slash == std::string_view::npos) {
        // A bare address is banned as the limits count it: an IPv6 address by its /64.
        ban.prefix = a.is_v4() ? 32 : 64;
        ban.network = counted_address(a);
        return ban;
    }
    const std::string_view digits = text.substr(slash + 1);
    unsigned prefix = 0;
    const auto [end, parse_error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (digits.empty() || parse_error != std::errc() || end != digits.data() + digits.size() ||
        prefix > widest) {
        problem = "the prefix must be a number from 0 to " + std::to_string(widest);
        return std::nullopt;
    }
    ban.prefix = prefix;
    ban.network = network_of(a, prefix);
    return ban;
}

void BanList::add(const Ban& ban) {
    for (Ban& existing : bans_) {
        if (existing.network == ban.network && existing.prefix == ban.prefix) {
            existing.until = ban.until;
            return;
        }
    }
    bans_.push_back(ban);
}

template <typename Match>
std::vector<Ban> lift_where(std::vector<Ban>& bans, Match match) {
    std::vector<Ban> lifted;
    const auto goes = [&](const Ban& ban) {
        if (!match(ban)) return false;
        lifted.push_back(ban);
        return true;
    };
    bans.erase(std::remove_if(bans.begin(), bans.end(), goes), bans.end());
    return lifted;
}

std::vector<Ban> BanList::lift_exact(const Ban& target) {
    return lift_where(bans_, [&](const Ban& ban) {
        return ban.network == target.network && ban.prefix == target.prefix;
    });
}

std::vector<Ban> BanList::lift_covering(const address& client) {
    return lift_where(bans_, [&](const Ban& ban) { return ban.covers(client); });
}

bool BanList::bans(const address& client, WallClock::time_point now) const {
    return std::any_of(bans_.begin(), bans_.end(), [&](const Ban& ban) {
        return (!ban.until || now < *ban.until) && ban.covers(client);
    });
}

const std::vector<Ban>& BanList::in_force(WallClock::time_point now) {
    bans_.erase(std::remove_if(bans_.begin(), bans_.end(),
                               [&](const Ban& ban) { return ban.until && now >= *ban.until; }),
                bans_.end());
    return bans_;
}

std::size_t BanList::count_in_force(WallClock::time_point now) const {
    return static_cast<std::size_t>(std::count_if(bans_.begin(), bans_.end(), [&](const Ban& ban) {
        return !ban.until || now < *ban.until;
    }));
}

std::string BanList::to_json() const {
    nlohmann::json list = nlohmann::json::array();
    for (const Ban& ban : bans_) {
        nlohmann::json entry{{"network", ban.text()}};
        entry["until_unix_seconds"] =
            ban.until ? nlohmann::json(seconds_since_epoch(*ban.until)) : nlohmann::json(nullptr);
        list.push_back(std::move(entry));
    }
    return nlohmann::json{{"bans", list}}.dump(1) + "\n";
}

std::optional<BanList> BanList::from_json(std::string_view text, std::string& problem) {
    const auto document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("bans") ||
        !document["bans"].is_array()) {
        problem = "not a list of bans";
        return std::nullopt;
    }
    BanList list;
    for (const auto& entry : document["bans"]) {
        if (!entry.is_object() || !entry.contains("network") || !entry["network"].is_string()) {
            problem = "a ban without its network";
            return std::nullopt;
        }
        const std::string network = entry["network"].get<std::string>();
        auto ban = parse_ban_target(network, problem);
        if (!ban) return std::nullopt;
        if (const auto until = entry.find("until_unix_seconds");
            until != entry.end() && until->is_number_integer()) {
            ban->until = WallClock::time_point(std::chrono::seconds(until->get<std::int64_t>()));
        }
        list.add(*ban);
    }
    return list;
}

bool BanList::save(const std::filesystem::path& path, std::string& problem) const {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    // Synced, file and folder: a ban the operator made outlives a power cut.
    return replace_file_durably(path, to_json(), problem);
}

std::optional<BanList> BanList::load(const std::filesystem::path& path, std::string& problem) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return BanList{};
    const auto text = read_whole_file(path);
    if (!text) {
        problem = "cannot read " + path.string();
        return std::nullopt;
    }
    auto list = from_json(*text, problem);
    if (!list) problem = path.string() + ": " + problem;
    return list;
}

}  // namespace kavro::relay
