// The client a trusted reverse proxy names in X-Forwarded-For. Only its last hop is believed:
// the proxy in front of the relay appends the address it took the request from, and every
// earlier hop is whatever the client chose to send.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <string_view>

#include "relay/http/http_routes.h"

namespace kavro::relay {

struct ForwardedClient {
    enum class Kind { kNone, kAddress, kBad };
    Kind kind = Kind::kNone;
    boost::asio::ip::address address;
};

// The last hop of the last X-Forwarded-For field of `request`: an IPv4 or IPv6 address, bare,
// in brackets, or with a port ("203.0.113.7", "[2001:db8::1]:4711", "203.0.113.7:4711").
// kNone without the field; kBad when the last hop is not an address.
ForwardedClient forwarded_client(const HttpRequest& request);
ForwardedClient last_forwarded_hop(std::string_view value);

}  // namespace kavro::relay
