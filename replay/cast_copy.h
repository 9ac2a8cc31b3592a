// The caster's copy of the replay the simulator is recording. The cast step reads only the copy,
// never the simulator's file, and keeps the copy current at the cost of what the recording grew.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>

namespace kavro {

// What a refresh left: the copy's size, and whether the copy was made afresh rather than
// extended (then it may hold another recording than before, and nothing sent of the old one
// applies to it).
struct RefreshedCopy {
    std::uint64_t size = 0;
    bool made_afresh = false;

    bool operator==(const RefreshedCopy&) const = default;
};

// Brings `copy` up to date with `source`. When source is at least as long as copy and still holds
// copy's last bytes, only the bytes beyond copy's length are appended (the cost follows the
// growth, not the file's size); otherwise (a new recording, or no copy yet) the copy is made
// afresh. At most `max_growth` bytes are copied per call, so catching up with a long recording
// is spread over several calls; what is not copied yet follows on the next. nullopt when the
// source can't be read or the copy can't be written (a missing source
// is the common case: the simulator is not recording). A fresh copy that could not be finished
// is removed, so the next refresh makes it afresh again and says so.
std::optional<RefreshedCopy> refresh_copy(
    const std::filesystem::path& source, const std::filesystem::path& copy,
    std::uint64_t max_growth = std::numeric_limits<std::uint64_t>::max());

}  // namespace kavro
