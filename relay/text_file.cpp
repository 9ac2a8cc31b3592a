#include "relay/text_file.h"

#include <fstream>
#include <iterator>

namespace kavro::relay {

std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace kavro::relay
