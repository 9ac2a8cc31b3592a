// relay.txt beside the program: one line, "host" or "host:port"; blank lines and lines (or ends
// of lines) starting with '#' are ignored.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "client/relay_address.h"

namespace kavro {

inline constexpr std::size_t kMaxRelayFileSize = 64 * 1024;

// A missing file, or one with only comments and blank lines, holds no address and has no
// problem.
struct RelayFileContent {
    std::optional<RelayAddress> address;  // the address it holds
    // Why it cannot be used, naming the file and, where there is one, the line.
    std::string problem;
};

// A file that cannot be read, is larger than kMaxRelayFileSize, is saved as UTF-16, holds a line
// that is not an address, or holds a second address has a problem. A UTF-8 byte order mark is
// skipped and Windows line ends are taken as they come.
RelayFileContent read_relay_file(const std::filesystem::path& file,
                                 const std::string& default_port);

// The path as a message shows it: Latin-1, with '?' for the characters outside it.
std::string path_text(const std::filesystem::path& path);

}  // namespace kavro
