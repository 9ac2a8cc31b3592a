#include "relay/http/byte_range.h"

#include <charconv>
#include <optional>

namespace kavro::relay {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty()) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

ByteRange parse_byte_range(std::string_view header, std::uint64_t size) {
    const ByteRange whole;
    header = trimmed(header);
    constexpr std::string_view kUnit = "bytes=";
    if (header.substr(0, kUnit.size()) != kUnit) return whole;
    // An empty file has no byte to name: it is sent whole, which is nothing.
    if (size == 0) return whole;
    const std::string_view wanted = trimmed(header.substr(kUnit.size()));
    if (wanted.find(',') != std::string_view::npos) return whole;
    const auto dash = wanted.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view from = trimmed(wanted.substr(0, dash));
    const std::string_view to = trimmed(wanted.substr(dash + 1));
    ByteRange part{ByteRange::Kind::kPart, 0, size - 1};
    if (from.empty()) {  // the last N bytes
        const auto suffix = number(to);
        if (!suffix) return whole;
        if (*suffix == 0) return {ByteRange::Kind::kUnsatisfiable, 0, 0};
        part.first = *suffix >= size ? 0 : size - *suffix;
        return part;
    }
    const auto first = number(from);
    if (!first) return whole;
    std::optional<std::uint64_t> last;
    if (!to.empty()) {
        last = number(to);
        if (!last || *last < *first) return whole;
    }
    if (*first >= size) return {ByteRange::Kind::kUnsatisfiable, 0, 0};
    part.first = *first;
    if (last && *last < size) part.last = *last;
    return part;
}

}  // namespace kavro::relay
