#include "client/relay_address.h"

#include <algorithm>

namespace kavro {
namespace {

constexpr std::size_t kQuotedLength = 40;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// The port as a number from 1 to 65535, without leading zeros; nullopt when it is not one.
std::optional<std::string> valid_port(std::string_view text) {
    if (text.empty()) return std::nullopt;
    unsigned long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return std::to_string(value);
}

}  // namespace

RelayAddress built_in_relay_address() { return {KAVRO_RELAY_HOST, KAVRO_RELAY_PORT}; }

std::string in_quotes(std::string_view text) {
    std::string shown(text.substr(0, kQuotedLength));
    std::replace_if(shown.begin(), shown.end(), is_control, '?');
    return '"' + shown + (text.size() > kQuotedLength ? "...\"" : "\"");
}

ParsedRelayAddress parse_relay_address(std::string_view text, const std::string& default_port) {
    text = trimmed(text);
    if (text.size() > kMaxRelayAddressLength) {
        return {std::nullopt,
                "it is longer than " + std::to_string(kMaxRelayAddressLength) + " characters"};
    }
    const auto colon = text.rfind(':');
    const std::string_view host = text.substr(0, colon);
    if (host.empty()) return {std::nullopt, "the host name is empty"};
    if (host.find(':') != std::string_view::npos) {
        return {std::nullopt, "it holds more than one colon"};
    }
    if (std::any_of(host.begin(), host.end(),
                    [](char c) { return is_blank(c) || is_control(c); })) {
        return {std::nullopt,
                "the host name " + in_quotes(host) + " holds a blank or a control character"};
    }
    if (colon == std::string_view::npos) return {RelayAddress{std::string(host), default_port}, {}};
    const std::string_view port = text.substr(colon + 1);
    const auto number = valid_port(port);
    if (!number) {
        return {std::nullopt, "the port " + in_quotes(port) + " is not a number from 1 to 65535"};
    }
    return {RelayAddress{std::string(host), *number}, {}};
}

}  // namespace kavro
