// The proxies an operator names with --trusted-proxy: an address, or a network as
// ADDRESS/PREFIX. Only a connection from one of them may say who its client is (X-Forwarded-For
// for HTTP, a PROXY protocol header for relay clients); from anyone else the relay believes
// only the socket's own peer address.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavro::relay {

struct TrustedNetwork {
    boost::asio::ip::address base;  // its bits past `prefix` are zero
    unsigned prefix = 32;

    bool contains(const boost::asio::ip::address& address) const;
    // "127.0.0.1", "10.0.0.0/8", "::1".
    std::string text() const;
};

// Reads "ADDRESS" (that address alone, IPv6 too) or "ADDRESS/PREFIX"; nothing, and `problem`,
// when it is neither.
std::optional<TrustedNetwork> parse_trusted_network(std::string_view text, std::string& problem);

// Whether one of `networks` holds `address`. An IPv4 client seen through a dual-stack socket
// (::ffff:a.b.c.d) is taken as the IPv4 address it is.
bool is_trusted(const std::vector<TrustedNetwork>& networks,
                const boost::asio::ip::address& address);

}  // namespace kavro::relay
