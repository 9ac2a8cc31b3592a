#include "relay/store/retention.h"

#include <algorithm>

namespace kavro::relay {

std::vector<Deletion> choose_deletions(const std::vector<RecordingRow>& rows,
                                       WallClock::time_point now, const RetentionLimits& limits) {
    std::vector<const RecordingRow*> closed;
    std::uint64_t total = 0;
    for (const RecordingRow& row : rows) {
        total += row.bytes;
        if (!state_is_open(row.state) && row.ended) closed.push_back(&row);
    }
    std::sort(closed.begin(), closed.end(), [](const RecordingRow* a, const RecordingRow* b) {
        return a->started != b->started ? a->started < b->started : a->id < b->id;
    });
    std::vector<Deletion> deletions;
    for (const RecordingRow* row : closed) {
        const auto ended = *row->ended;
        const bool too_old =
            limits.keep_for > WallClock::duration::zero() && now - ended >= limits.keep_for;
        const bool too_much = limits.keep_bytes > 0 && total > limits.keep_bytes;
        if (!too_old && !too_much) continue;
        deletions.push_back(Deletion{row->id, too_old});
        total -= row->bytes;
    }
    return deletions;
}

}  // namespace kavro::relay
