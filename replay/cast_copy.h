// The caster's copy of the replay the simulator is recording. The cast step reads only the copy,
// never the simulator's file, and keeps the copy current at the cost of what the recording grew.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kavro {

// Brings `copy` up to date with `source`. When source is at least as long as copy and still holds
// copy's last bytes, only the bytes beyond copy's length are appended (the cost follows the
// growth, not the file's size); otherwise (a new recording, or no copy yet) the copy is made
// afresh. Returns the copy's size afterwards; nullopt when the source can't be read or the copy
// can't be written (a missing source is the common case: the simulator is not recording).
std::optional<std::uint64_t> refresh_copy(const std::filesystem::path& source,
                                          const std::filesystem::path& copy);

}  // namespace kavro
