#include "relay/policy/cast_names.h"

#include <algorithm>
#include <cstdint>

namespace kavro::relay {

namespace {

// Names are single-byte Windows-1252 text; 0xA0 is its no-break space.
constexpr unsigned char kNoBreakSpace = 0xA0;
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kSoftHyphen = 0xAD;
// Windows-1252 gives 0x80-0x9F to a few letters and marks and leaves five undefined; fonts and
// lists show several of them as nothing at all, so none of them is allowed in a name.
constexpr unsigned char kFirstHighControl = 0x80;
constexpr unsigned char kLastHighControl = 0x9F;

// The base letters of Windows-1252's letters from 0xC0 on, in lower case: "À" and "à" are "a",
// "ß" is "ss". The two signs among them (x and the division sign) stay themselves.
constexpr const char* kLatinBase[64] = {
    "a", "a", "a", "a", "a", "a", "ae", "c",     "e", "e", "e", "e", "i", "i", "i",  "i",   // C0-CF
    "d", "n", "o", "o", "o", "o", "o",  nullptr, "o", "u", "u", "u", "u", "y", "th", "ss",  // D0-DF
    "a", "a", "a", "a", "a", "a", "ae", "c",     "e", "e", "e", "e", "i", "i", "i",  "i",   // E0-EF
    "d", "n", "o", "o", "o", "o", "o",  nullptr, "o", "u", "u", "u", "u", "y", "th", "y",   // F0-FF
};

// How `byte` is compared: its base letter (or letters) in lower case, or nothing to keep it.
const char* folded(unsigned char byte) {
    static constexpr const char* kLower[26] = {"a", "b", "c", "d", "e", "f", "g", "h", "i",
                                               "j", "k", "l", "m", "n", "o", "p", "q", "r",
                                               "s", "t", "u", "v", "w", "x", "y", "z"};
    if (byte >= 'A' && byte <= 'Z') return kLower[byte - 'A'];
    if (byte == 0xAA) return "a";  // feminine ordinal
    if (byte == 0xBA) return "o";  // masculine ordinal
    if (byte >= 0xC0) return kLatinBase[byte - 0xC0];
    return nullptr;
}

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
        if (byte == kSoftHyphen) return "the name has a soft hyphen";
        if (byte >= kFirstHighControl && byte <= kLastHighControl) {
            return "the name has a byte of 0x80-0x9F";
        }
    }
    if (name.front() == ' ' || name.back() == ' ') return "the name begins or ends with a space";
    return std::nullopt;
}

std::string comparable_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        if (const char* base = folded(static_cast<unsigned char>(c))) {
            out += base;
        } else {
            out += c;
        }
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
