#include "relay/store/recording_row.h"

#include <ctime>

namespace kavro::relay {

std::string_view state_text(RecordingState state) {
    switch (state) {
        case RecordingState::kLive:
            return "live";
        case RecordingState::kAwaitingResume:
            return "awaiting_resume";
        case RecordingState::kFinished:
            return "finished";
        case RecordingState::kIncomplete:
            return "incomplete";
    }
    return "incomplete";
}

std::optional<RecordingState> state_from_text(std::string_view text) {
    for (const auto state : {RecordingState::kLive, RecordingState::kAwaitingResume,
                             RecordingState::kFinished, RecordingState::kIncomplete}) {
        if (state_text(state) == text) return state;
    }
    return std::nullopt;
}

}  // namespace kavro::relay

namespace kavro::relay {

std::string utc_text(WallClock::time_point when) {
    const std::time_t seconds =
        WallClock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(when));
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace kavro::relay
