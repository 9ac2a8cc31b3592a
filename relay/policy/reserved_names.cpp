#include "relay/policy/reserved_names.h"

#include "relay/base/text_file.h"
#include "relay/policy/cast_names.h"

namespace kavro::relay {

std::optional<ReservedNames> ReservedNames::parse(std::string_view text, std::string& problem) {
    ReservedNames reserved;
    std::size_t number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const auto space = line.find(' ');
        const std::string where = "line " + std::to_string(number) + ": ";
        if (space == 0 || space == std::string_view::npos || space + 1 == line.size()) {
            problem = where + "expected a key, one space and a name";
            return std::nullopt;
        }
        Reservation reservation{std::string(line.substr(space + 1)),
                                std::string(line.substr(0, space))};
        if (reservation.key.find('#') != std::string::npos ||
            reservation.name.find('#') != std::string::npos) {
            problem = where + "a key or a name may not hold '#'";
            return std::nullopt;
        }
        if (const auto bad = cast_name_problem(reservation.name)) {
            problem = where + *bad;
            return std::nullopt;
        }
        if (!reserved.by_comparable_.emplace(comparable_name(reservation.name), reservation)
                 .second) {
            problem = where + "the name is reserved on an earlier line";
            return std::nullopt;
        }
    }
    return reserved;
}

std::optional<ReservedNames> ReservedNames::load(const std::filesystem::path& path,
                                                 std::string& problem) {
    const auto text = read_whole_file(path);
    if (!text) {
        problem = "cannot read " + path.string();
        return std::nullopt;
    }
    auto reserved = parse(*text, problem);
    if (!reserved) problem = path.string() + ", " + problem;
    return reserved;
}

const ReservedNames::Reservation* ReservedNames::find(std::string_view name) const {
    const auto it = by_comparable_.find(comparable_name(name));
    return it == by_comparable_.end() ? nullptr : &it->second;
}

}  // namespace kavro::relay
