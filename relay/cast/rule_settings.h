// What the relay's rules are set by: the limits and time-outs the casts, connections and
// policies are kept to. Made from the operator's options; the rules see nothing else of them
// (not the ports, the data folder or the HTTP side).
#pragma once

#include <chrono>
#include <cstddef>

#include "relay/base/relay_options.h"

namespace kavro::relay {

struct RuleSettings {
    // Relay clients at once, and from one address (IPv6: one /64).
    std::size_t max_connections = 0;
    std::size_t connections_per_address = 0;
    // Casts live at once, and whose caster is at one address.
    std::size_t max_casts = 0;
    std::size_t casts_per_address = 0;
    // Watchers at once from one address.
    std::size_t watchers_per_address = 0;
    // Header and blocks kept per recording.
    std::size_t max_replay_bytes = 0;
    // New recordings a cast may start in any minute, and the casters at one address in any
    // hour. Zero: no limit.
    std::size_t cast_recordings_per_minute = 0;
    std::size_t address_recordings_per_hour = 0;
    // Only reserved names may cast.
    bool reserved_only = false;
    // For the first complete message, a message once begun, and a cast's first header.
    Duration idle_timeout{};
    // How long a cast whose caster left waits for it.
    Duration resume_grace{};
    // Silence after which a connection is sent a keep-alive.
    Duration keepalive_interval{};
    // A connection whose socket takes nothing for this long is closed.
    Duration stall_timeout{};
    // How long blocks wait before watchers get them.
    Duration broadcast_delay{};
};

RuleSettings rule_settings(const RelayOptions& options);

}  // namespace kavro::relay
