// One recording as the catalogue lists it, and what the store reports of itself for the
// status page and the metrics.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay/store/recording_map.h"

namespace kavro::relay {

enum class RecordingState { kLive, kAwaitingResume, kFinished, kIncomplete };

// "live", "awaiting_resume", "finished", "incomplete": as the catalogue and archive.json say.
std::string_view state_text(RecordingState state);
std::optional<RecordingState> state_from_text(std::string_view text);
// Live or awaiting resume: never deleted, and its cast comes back after a restart.
inline bool state_is_open(RecordingState state) {
    return state == RecordingState::kLive || state == RecordingState::kAwaitingResume;
}

using WallClock = std::chrono::system_clock;

struct RecordingRow {
    std::uint64_t id = 0;
    std::string name;                // the bytes the caster sent
    std::string track;               // likewise
    std::string owner;               // the caster's address; never shown
    std::optional<std::string> key;  // the cast's key, when it has one; never shown
    WallClock::time_point started;
    std::optional<WallClock::time_point> ended;  // none while open
    std::uint64_t bytes = 0;                     // header and whole blocks in the file, synced
    std::uint64_t watchers_peak = 0;
    RecordingState state = RecordingState::kLive;
};

// One page of the catalogue, newest first (highest id first: ids are given in the order
// recordings begin, and never again).
struct ArchivePage {
    std::vector<RecordingRow> rows;
    // The id to ask for the next page with (`before`), when there are older recordings.
    std::optional<std::uint64_t> next_before;
};

// A recording to download: its file mapped, and the bytes of it that are stored.
struct ReplayFile {
    RecordingRow row;
    std::shared_ptr<const RecordingMap> file;
};

// Sync-time histogram buckets, in seconds (the last bucket, +Inf, is implied).
inline constexpr std::array<double, 8> kSyncBuckets{0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1.0, 5.0};

struct StoreStatus {
    bool enabled = false;
    std::uint64_t bytes = 0;       // in the recordings' files
    std::uint64_t recordings = 0;  // listed in the catalogue
    std::uint64_t write_errors = 0;
    std::uint64_t deleted_by_retention = 0;
    std::array<std::uint64_t, kSyncBuckets.size()> sync_buckets{};  // each counts syncs <= le
    std::uint64_t syncs = 0;
    double sync_seconds = 0;
};

}  // namespace kavro::relay

namespace kavro::relay {

// "2026-12-09T20:15:03Z": ISO 8601, UTC, whole seconds.
std::string utc_text(WallClock::time_point when);

}  // namespace kavro::relay
