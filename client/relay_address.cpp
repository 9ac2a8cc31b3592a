#include "client/relay_address.h"

#include <string_view>

namespace kavro {

RelayAddress built_in_relay_address() { return {KAVRO_RELAY_HOST, KAVRO_RELAY_PORT}; }

RelayAddress relay_address_from(const char* override_text, const RelayAddress& fallback) {
    if (override_text == nullptr || *override_text == '\0') return fallback;
    const std::string_view text(override_text);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return {std::string(text), fallback.port};
    RelayAddress address{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
    if (address.host.empty()) address.host = fallback.host;
    if (address.port.empty()) address.port = fallback.port;
    return address;
}

}  // namespace kavro
