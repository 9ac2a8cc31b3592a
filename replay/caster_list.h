// The caster list grid of the watch panel, as text: the header row and one row per cast the
// relay listed. The window copies these cells into its grid.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kavro {

using CasterRow = std::array<std::string, 4>;  // name, track, watchers, packet time

// "Cast name", "Track", "Watcher", "Packet time".
const CasterRow& caster_list_header();

// Grid data rows for a CHL payload (the bytes after the six-byte head): one row per entry the
// payload holds (a count claiming more entries than the payload holds is cut to those it holds),
// or one blank row when there are none. Column 2 is the watcher count in decimal; column 3 is
// "n.a." for packet time 0, else the time in seconds with one decimal and " sec" ("2.5 sec").
std::vector<CasterRow> caster_list_rows(std::span<const std::uint8_t> payload,
                                        char decimal_separator);

}  // namespace kavro
