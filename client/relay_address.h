// Where the client finds its relay: the host and port built in, unless KAVRO_RELAY ("host" or
// "host:port") says otherwise when the program starts.
#pragma once

#include <string>

namespace kavro {

struct RelayAddress {
    std::string host;
    std::string port;
};

RelayAddress built_in_relay_address();
// `override_text` is KAVRO_RELAY's value; empty or null keeps `fallback`.
RelayAddress relay_address_from(const char* override_text, const RelayAddress& fallback);

}  // namespace kavro
