// Names an operator keeps for their owners: a reserved name is accepted only with its key.
// The file holds one reservation a line, the key, one space, then the name to the end of the
// line; lines that begin with '#' and empty lines are skipped.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kavro::relay {

class ReservedNames {
  public:
    struct Reservation {
        std::string name;  // as the file spells it
        std::string key;
    };

    // Reads `text` as a reservations file; `problem` says what is wrong with the first bad
    // line (and nothing is returned) when one is bad.
    static std::optional<ReservedNames> parse(std::string_view text, std::string& problem);
    // Reads the file at `path`; nothing (and `problem`) when it cannot be read or parsed.
    static std::optional<ReservedNames> load(const std::filesystem::path& path,
                                             std::string& problem);

    // The reservation of `name` or of a name that differs from it only in case and spaces.
    const Reservation* find(std::string_view name) const;
    std::size_t size() const { return by_comparable_.size(); }

  private:
    std::map<std::string, Reservation> by_comparable_;
};

}  // namespace kavro::relay
