// A snapshot of the relay for its HTTP side: the live casts, the totals and the counters, handed
// over as a plain value. The casts and connection counts are copied under the lock every loop
// shares them behind; each loop's counters are copied on that loop and added up. Nothing in it
// names a client's address.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/base/relay_options.h"
#include "relay/cast/relay_counters.h"
#include "relay/store/recording_row.h"

namespace kavro::relay {

class Cast;

struct CastStatus {
    std::string name;   // the bytes the caster sent
    std::string track;  // likewise
    std::size_t watchers = 0;
    std::uint16_t packet_time_tenths = 0;  // 0 until two blocks have arrived
    Duration live_for{};                   // since the cast was created
    std::size_t replay_bytes = 0;          // header and blocks released to watchers
    bool caster_connected = false;
    Duration grace_left{};           // while the caster is away: time left for a resume
    std::uint64_t sequence = 0;      // creation order
    std::uint64_t recording_id = 0;  // in the data folder; 0 without one
};

struct StatusSnapshot {
    std::string version;
    Duration uptime{};
    bool accepting = false;  // the relay takes new connections now
    std::size_t relay_connections = 0;
    std::size_t http_connections = 0;
    std::size_t max_connections = 0;
    std::vector<CastStatus> casts;  // most watchers first, older casts first among equals
    RelayCounters counters;
    CastCounters cast_counters;
    double received_bytes_per_second = 0;
    double sent_bytes_per_second = 0;
    std::size_t max_http_connections = 0;
    std::size_t bans_in_force = 0;
    std::size_t key_pauses = 0;  // addresses waiting out a pause before their next key
    AdminCounters admin;
    StoreStatus store;  // the data folder's figures; not enabled without one

    std::size_t watchers() const;
    std::size_t casts_awaiting_resume() const;
};

// One cast as the status shows it at `now`.
CastStatus cast_status(const Cast& cast, std::chrono::steady_clock::time_point now);
// The order of the list watchers get: most watchers first, older casts first among equals.
void sort_like_the_cast_list(std::vector<CastStatus>& casts);

}  // namespace kavro::relay
