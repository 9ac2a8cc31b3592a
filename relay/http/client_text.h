// Text from a client (cast names, track codes) for pages and feeds that must be UTF-8. The
// clients send single-byte Windows-1252 text, the encoding of the name edit they read it from,
// so every byte maps to one character and nothing is lost or rejected.
#pragma once

#include <string>
#include <string_view>

namespace kavro::relay {

std::string utf8_from_client_text(std::string_view text);

}  // namespace kavro::relay
