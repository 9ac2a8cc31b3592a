#include "relay/policy/address_limits.h"

namespace kavro::relay {

boost::asio::ip::address counted_address(const boost::asio::ip::address& address) {
    if (!address.is_v6()) return address;
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
    auto bytes = v6.to_bytes();
    for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
    return boost::asio::ip::address_v6(bytes);
}

}  // namespace kavro::relay
