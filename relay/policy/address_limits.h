// Which address a client is counted under for the limits per address and for bans. An IPv4
// client is its address; an IPv6 client is its /64, since one subscriber is routinely handed a
// whole /64 and could otherwise take a fresh address for every connection. An IPv4 client seen
// through a dual-stack socket (::ffff:a.b.c.d) is counted as the IPv4 address it is.
#pragma once

#include <boost/asio/ip/address.hpp>

namespace kavro::relay {

// The address itself for IPv4, the /64 it lies in for IPv6 (its last 64 bits zero).
boost::asio::ip::address counted_address(const boost::asio::ip::address& address);

}  // namespace kavro::relay
