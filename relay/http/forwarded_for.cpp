#include "relay/http/forwarded_for.h"

#include <string>

namespace kavro::relay {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<boost::asio::ip::address> address_of(std::string_view hop) {
    if (!hop.empty() && hop.front() == '[') {
        const auto close = hop.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        hop = hop.substr(1, close - 1);
    } else if (hop.find(':') == hop.rfind(':') && hop.find(':') != std::string_view::npos) {
        hop = hop.substr(0, hop.find(':'));  // IPv4 with a port: one colon only
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(std::string(hop), error);
    if (error) return std::nullopt;
    return address;
}

}  // namespace

ForwardedClient last_forwarded_hop(std::string_view value) {
    const auto comma = value.rfind(',');
    const std::string_view hop =
        trimmed(comma == std::string_view::npos ? value : value.substr(comma + 1));
    const auto address = address_of(hop);
    if (!address) return ForwardedClient{ForwardedClient::Kind::kBad, {}};
    return ForwardedClient{ForwardedClient::Kind::kAddress, *address};
}

ForwardedClient forwarded_client(const HttpRequest& request) {
    const auto fields = request.equal_range("X-Forwarded-For");
    if (fields.first == fields.second) return {};
    std::string_view last;
    for (auto it = fields.first; it != fields.second; ++it) last = it->value();
    return last_forwarded_hop(last);
}

}  // namespace kavro::relay
