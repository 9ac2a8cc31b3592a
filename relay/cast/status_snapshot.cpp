#include "relay/cast/status_snapshot.h"

#include <algorithm>

#include "relay/cast/cast.h"

namespace kavro::relay {

std::size_t StatusSnapshot::watchers() const {
    std::size_t total = 0;
    for (const CastStatus& cast : casts) total += cast.watchers;
    return total;
}

std::size_t StatusSnapshot::casts_awaiting_resume() const {
    return static_cast<std::size_t>(std::count_if(
        casts.begin(), casts.end(), [](const CastStatus& cast) { return !cast.caster_connected; }));
}

CastStatus cast_status(const Cast& cast, std::chrono::steady_clock::time_point now) {
    CastStatus status;
    status.name = cast.name();
    status.track = cast.track();
    status.watchers = cast.watcher_count();
    status.packet_time_tenths = cast.packet_time();
    status.live_for = std::max(Duration::zero(), now - cast.started_at());
    status.replay_bytes = cast.released_bytes();
    status.caster_connected = cast.caster_attached();
    if (!status.caster_connected && cast.grace_ends()) {
        status.grace_left = std::max(Duration::zero(), *cast.grace_ends() - now);
    }
    status.sequence = cast.sequence();
    status.recording_id = cast.recording_id();
    return status;
}

void sort_like_the_cast_list(std::vector<CastStatus>& casts) {
    std::sort(casts.begin(), casts.end(), [](const CastStatus& a, const CastStatus& b) {
        if (a.watchers != b.watchers) return a.watchers > b.watchers;
        return a.sequence < b.sequence;
    });
}

}  // namespace kavro::relay
