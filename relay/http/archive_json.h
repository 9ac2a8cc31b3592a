// GET /archive.json: one page of the recordings in the data folder, newest first, for people
// and league websites. Each gives its id, name, track, start and end (ISO 8601, UTC; the end is
// null while the recording is open), bytes stored, peak watchers, state and the url it downloads
// from, relative to archive.json; then `next_before`, the id that asks for the next page (null
// on the last). No address of any client is in it.
#pragma once

#include <string>
#include <vector>

#include "relay/store/recording_row.h"

namespace kavro::relay {

std::string archive_json(const ArchivePage& page, bool keeping);
// "replays/17.mpr": where recording `id` downloads from, relative to the relay's root.
std::string replay_url(std::uint64_t id);

}  // namespace kavro::relay
