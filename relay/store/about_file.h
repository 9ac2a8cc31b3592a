// What the catalogue says of a recording when it begins, kept beside its replay file as well,
// so the archive can be built again from the files when the catalogue is lost or damaged.
// Names and tracks are the caster's bytes, kept in hex so no byte is lost.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "relay/store/recording_row.h"

namespace kavro::relay {

// The JSON text for `row`'s id, name, track, owner and start.
std::string about_text(const RecordingRow& row);
// The row an about file describes (its state and bytes unset); nothing when it cannot be read
// or is not one.
std::optional<RecordingRow> read_about(const std::filesystem::path& path);

}  // namespace kavro::relay
