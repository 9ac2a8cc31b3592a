#include "relay/http/casts_json.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "relay/http/archive_json.h"
#include "relay/http/client_text.h"

namespace kavro::relay {

namespace {

std::int64_t whole_seconds(Duration duration) {
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

// Rounded up, so a cast shows at least 1 second left until its grace period is over.
std::int64_t seconds_left(Duration duration) {
    return std::chrono::ceil<std::chrono::seconds>(duration).count();
}

nlohmann::ordered_json cast_json(const CastStatus& cast) {
    nlohmann::ordered_json packet_time = nullptr;
    if (cast.packet_time_tenths > 0) packet_time = cast.packet_time_tenths / 10.0;
    nlohmann::ordered_json resume_left = nullptr;
    if (!cast.caster_connected) resume_left = seconds_left(cast.grace_left);
    nlohmann::ordered_json url = nullptr;  // what is stored so far, while it is live
    if (cast.recording_id != 0) url = replay_url(cast.recording_id);
    return {
        {"name", utf8_from_client_text(cast.name)},
        {"track", utf8_from_client_text(cast.track)},
        {"watchers", cast.watchers},
        {"packet_time_seconds", packet_time},
        {"live_seconds", whole_seconds(cast.live_for)},
        {"replay_bytes", cast.replay_bytes},
        {"caster_connected", cast.caster_connected},
        {"resume_seconds_left", resume_left},
        {"replay_url", url},
    };
}

}  // namespace

std::string casts_json(const StatusSnapshot& status) {
    nlohmann::ordered_json casts = nlohmann::ordered_json::array();
    for (const CastStatus& cast : status.casts) casts.push_back(cast_json(cast));
    const nlohmann::ordered_json document = {
        {"version", status.version},
        {"uptime_seconds", whole_seconds(status.uptime)},
        {"accepting_connections", status.accepting},
        {"connections", status.relay_connections},
        {"http_connections", status.http_connections},
        {"watchers", status.watchers()},
        {"received_bytes_per_second", std::llround(status.received_bytes_per_second)},
        {"sent_bytes_per_second", std::llround(status.sent_bytes_per_second)},
        {"casts", std::move(casts)},
    };
    return document.dump() + "\n";
}

}  // namespace kavro::relay
