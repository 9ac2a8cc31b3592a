// Which recordings retention deletes: every finished one ended longer ago than the days kept,
// then, while the recordings together pass the bytes kept, the oldest finished ones. Live
// recordings and those awaiting their caster are never deleted.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "relay/store/recording_row.h"

namespace kavro::relay {

struct RetentionLimits {
    WallClock::duration keep_for{};  // zero: no limit by age
    std::uint64_t keep_bytes = 0;    // zero: no limit by size
};

struct Deletion {
    std::uint64_t id = 0;
    bool for_age = false;  // otherwise to bring the total under the bytes kept
};

std::vector<Deletion> choose_deletions(const std::vector<RecordingRow>& rows,
                                       WallClock::time_point now, const RetentionLimits& limits);

}  // namespace kavro::relay
