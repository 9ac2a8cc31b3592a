#include "replay/caster_list.h"

#include "replay/number_format.h"
#include "wire/wire_format.h"

namespace kavro {
namespace {

std::string packet_time_text(std::uint16_t tenths, char decimal_separator) {
    if (tenths == 0) return "n.a.";
    return format_one_decimal(tenths * 0.1, decimal_separator) + " sec";
}

}  // namespace

const CasterRow& caster_list_header() {
    static const CasterRow header{"Cast name", "Track", "Watcher", "Packet time"};
    return header;
}

std::vector<CasterRow> caster_list_rows(std::span<const std::uint8_t> payload,
                                        char decimal_separator) {
    const std::size_t count = wire::caster_entry_count(payload);
    if (count == 0) return {CasterRow{}};

    std::vector<CasterRow> rows;
    rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const wire::CasterEntry entry = wire::read_caster_entry(payload, i);
        rows.push_back(CasterRow{entry.name, entry.track, std::to_string(entry.watchers),
                                 packet_time_text(entry.packet_time, decimal_separator)});
    }
    return rows;
}

}  // namespace kavro
