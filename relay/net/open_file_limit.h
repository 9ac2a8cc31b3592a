// Every connection costs a file descriptor; a relay with thousands of watchers needs more than
// the usual soft limit of 1,024.
#pragma once

#include <cstdint>

namespace kavro::relay {

// Raises the soft limit on open files to the hard limit. Returns the soft limit now in force
// (0 when it could not be read).
std::uint64_t raise_open_file_limit();

}  // namespace kavro::relay
