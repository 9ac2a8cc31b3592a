#include "relay/rules/cast_names.h"

#include <algorithm>
#include <cstdint>

namespace kavro::relay {

namespace {

// Names are single-byte Windows-1252 text; 0xA0 is its no-break space.
constexpr unsigned char kNoBreakSpace = 0xA0;
constexpr unsigned char kDelete = 0x7F;

}  // namespace

TypedCastName split_cast_name(std::string_view field) {
    const auto hash = field.find('#');
    if (hash == std::string_view::npos) return {std::string(field), std::nullopt};
    TypedCastName typed{std::string(field.substr(0, hash)), std::string(field.substr(hash + 1))};
    if (typed.key->empty()) typed.key.reset();
    return typed;
}

std::optional<std::string> cast_name_problem(std::string_view name) {
    if (name.empty()) return "the name is empty";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32) return "the name has control bytes";
        if (byte == kDelete) return "the name has a DEL byte";
        if (byte == kNoBreakSpace) return "the name has a no-break space";
    }
    if (name.front() == ' ' || name.back() == ' ') return "the name begins or ends with a space";
    return std::nullopt;
}

std::string comparable_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

bool same_key(std::string_view a, std::string_view b) {
    // Every byte of the longer key is looked at whatever the other holds.
    const std::size_t n = std::max(a.size(), b.size());
    std::uint8_t differ = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<std::uint8_t>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<std::uint8_t>(i < b.size() ? b[i] : 0);
        differ |= static_cast<std::uint8_t>(x ^ y);
    }
    return differ == 0;
}

}  // namespace kavro::relay
