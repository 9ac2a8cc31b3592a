// Builds the CHL the relay sends to a watcher: every live cast, most watchers first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavro::relay {

struct ListedCast {
    std::string name;
    std::string track;
    std::size_t watchers = 0;
    std::uint16_t packet_time = 0;
    std::uint64_t sequence = 0;  // creation order: among equal counts, older casts first
};

// The whole CHL message, at most 1,638 entries.
std::vector<std::uint8_t> build_caster_list(std::vector<ListedCast> casts);

}  // namespace kavro::relay
