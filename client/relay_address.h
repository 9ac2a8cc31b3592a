// A relay's address as the user writes it: "host" or "host:port", the port defaulting to the
// built-in one. One parser for every place an address comes from, so each says the same about a
// bad one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavro {

struct RelayAddress {
    std::string host;
    std::string port;
};

// The host and port the client was built with.
RelayAddress built_in_relay_address();

// What `parse_relay_address` made of a text: an address, or why it is none (a phrase such as
// `the port "x" is not a number from 1 to 65535`).
struct ParsedRelayAddress {
    std::optional<RelayAddress> address;
    std::string problem;
};

// Blanks around the text are ignored. It is no address when it is longer than
// kMaxRelayAddressLength, when the host is empty or holds a blank, a control character or a
// colon, or when the port is not a decimal number from 1 to 65535 (it is then given without
// leading zeros). Without a port, `default_port` is used.
inline constexpr std::size_t kMaxRelayAddressLength = 255;
ParsedRelayAddress parse_relay_address(std::string_view text, const std::string& default_port);

// The text in double quotes for a message: control characters shown as '?', and cut to its
// first 40 characters and "..." when longer.
std::string in_quotes(std::string_view text);

}  // namespace kavro
