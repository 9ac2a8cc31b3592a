// Cast names as casters type them. The name field may carry a key after '#' ("League#s3cret"):
// the cast is listed, logged and asked for by the part before it, and only a registration that
// carries the same key may take the cast over. A name must not pass for another one: names
// that differ only in case, in runs of spaces, or in the accents of Windows-1252 letters
// ("Léague", "LEAGUE") are the same name here, and names with spaces at either end, a no-break
// space, DEL, a soft hyphen or a byte of 0x80-0x9F (control characters, or letters and marks
// a Windows-1252 font may show as nothing) are refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavro::relay {

struct TypedCastName {
    std::string name;                // what is listed and logged
    std::optional<std::string> key;  // after the first '#'; an empty key is no key
};

// Splits the name field at its first '#'.
TypedCastName split_cast_name(std::string_view field);

// Why `name` may not be a cast's name, or nothing when it may.
std::optional<std::string> cast_name_problem(std::string_view name);

// The form two names are compared in: letters in lower case without their accents (a Windows-1252
// letter as its base letter or letters: "é" as "e", "Å" as "a", "ß" as "ss", "Æ" as "ae"), each
// run of spaces as one.
std::string comparable_name(std::string_view name);

// Compares two keys in a time that does not depend on where they differ.
bool same_key(std::string_view a, std::string_view b);

}  // namespace kavro::relay
