// The admin API's bearer token, read from the operator's token file: its first line. The file
// must be the relay's user's alone (no read or write for group or others) and the token at
// least kShortestAdminToken characters, so that neither a local user nor a guess gets in.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace kavro::relay {

inline constexpr std::size_t kShortestAdminToken = 16;

// Why a token file cannot be used, as a plain sentence.
class AdminTokenError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The token in `path`; throws AdminTokenError when the file cannot be read, is open to group
// or others, or holds a token shorter than kShortestAdminToken.
std::string read_admin_token(const std::filesystem::path& path);

}  // namespace kavro::relay
