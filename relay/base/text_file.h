// Reading a small file the relay is given (bans, reserved names, a recording's about file)
// whole, into memory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kavro::relay {

// The file's bytes, or nothing when it cannot be opened.
std::optional<std::string> read_whole_file(const std::filesystem::path& path);

// Replaces the file at `path` with `text` so that a crash or a power cut leaves either the old
// file or the new one, whole: written to PATH.new (readable by the relay's user alone), synced,
// renamed over `path`, and the folder synced. False, with the reason in `problem`, when it
// could not.
bool replace_file_durably(const std::filesystem::path& path, const std::string& text,
                          std::string& problem);

}  // namespace kavro::relay
