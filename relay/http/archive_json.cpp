#include "relay/http/archive_json.h"

#include <nlohmann/json.hpp>

#include "relay/http/client_text.h"

namespace kavro::relay {

std::string replay_url(std::uint64_t id) { return "replays/" + std::to_string(id) + ".mpr"; }

std::string archive_json(const ArchivePage& page, bool keeping) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RecordingRow& row : page.rows) {
        nlohmann::ordered_json ended = nullptr;
        if (row.ended) ended = utc_text(*row.ended);
        list.push_back({
            {"id", row.id},
            {"name", utf8_from_client_text(row.name)},
            {"track", utf8_from_client_text(row.track)},
            {"started", utc_text(row.started)},
            {"ended", ended},
            {"bytes", row.bytes},
            {"watchers_peak", row.watchers_peak},
            {"state", state_text(row.state)},
            {"url", replay_url(row.id)},
        });
    }
    const nlohmann::ordered_json document = {
        {"keeping_recordings", keeping},
        {"recordings", std::move(list)},
        {"next_before",
         page.next_before ? nlohmann::ordered_json(*page.next_before) : nlohmann::ordered_json()},
    };
    return document.dump() + "\n";
}

}  // namespace kavro::relay
