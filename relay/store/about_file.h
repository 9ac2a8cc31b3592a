// What the catalogue says of a recording when it begins, kept beside its replay file as well,
// so the archive can be built again from the files when the catalogue is lost or damaged.
// Names and tracks are the caster's bytes, kept in hex so no byte is lost.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "relay/store/recording_row.h"

namespace kavro::relay {

// The JSON text for `row`'s id, name, track, owner and start, and whether it is still open
// (no end yet): a recording is durable from its first block even when the catalogue could not
// list it, since a restart reads this.
std::string about_text(const RecordingRow& row);
// The row an about file describes (its bytes unset; its state awaiting its caster when the
// file says the recording was open, else finished); nothing when it cannot be read or is not
// one.
std::optional<RecordingRow> read_about(const std::filesystem::path& path);

}  // namespace kavro::relay
