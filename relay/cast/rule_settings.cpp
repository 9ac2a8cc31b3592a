#include "relay/cast/rule_settings.h"

namespace kavro::relay {

RuleSettings rule_settings(const RelayOptions& options) {
    RuleSettings settings;
    settings.max_connections = options.max_connections;
    settings.connections_per_address = options.connections_per_address;
    settings.max_casts = options.max_casts;
    settings.casts_per_address = options.casts_per_address;
    settings.watchers_per_address = options.watchers_per_address;
    settings.max_replay_bytes = options.max_replay_bytes;
    settings.cast_recordings_per_minute = options.cast_recordings_per_minute;
    settings.address_recordings_per_hour = options.address_recordings_per_hour;
    settings.reserved_only = options.reserved_only;
    settings.idle_timeout = options.idle_timeout;
    settings.resume_grace = options.resume_grace;
    settings.keepalive_interval = options.keepalive_interval;
    settings.stall_timeout = options.stall_timeout;
    settings.broadcast_delay = options.broadcast_delay;
    return settings;
}

}  // namespace kavro::relay
