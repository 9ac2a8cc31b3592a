#include "relay/cast/caster_list.h"

#include <algorithm>

#include "wire/wire_format.h"

namespace kavro::relay {

std::vector<std::uint8_t> build_caster_list(std::vector<ListedCast> casts) {
    std::sort(casts.begin(), casts.end(), [](const ListedCast& a, const ListedCast& b) {
        if (a.watchers != b.watchers) return a.watchers > b.watchers;
        return a.sequence < b.sequence;
    });
    std::vector<wire::CasterEntry> entries;
    entries.reserve(std::min(casts.size(), wire::kMaxCasterEntries));
    for (const ListedCast& cast : casts) {
        if (entries.size() == wire::kMaxCasterEntries) break;
        entries.push_back(wire::CasterEntry{
            cast.name, cast.track,
            static_cast<std::uint16_t>(std::min<std::size_t>(cast.watchers, 0xFFFF)),
            cast.packet_time});
    }
    return wire::make_caster_list(entries);
}

}  // namespace kavro::relay
