// Reading a small file the relay is given (bans, reserved names, a recording's about file)
// whole, into memory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kavro::relay {

// The file's bytes, or nothing when it cannot be opened.
std::optional<std::string> read_whole_file(const std::filesystem::path& path);

}  // namespace kavro::relay
