#include "relay/base/trusted_network.h"

#include <charconv>

namespace kavro::relay {

namespace {

boost::asio::ip::address plain(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

boost::asio::ip::address masked(const boost::asio::ip::address& address, unsigned prefix) {
    if (address.is_v4()) {
        const std::uint32_t bits = address.to_v4().to_uint();
        const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
        return boost::asio::ip::address_v4(bits & mask);
    }
    auto bytes = address.to_v6().to_bytes();
    for (unsigned i = 0; i < bytes.size(); ++i) {
        const unsigned kept = prefix > i * 8 ? prefix - i * 8 : 0;
        if (kept >= 8) continue;
        bytes[i] &= static_cast<unsigned char>(0xFF00u >> kept);
    }
    return boost::asio::ip::address_v6(bytes);
}

}  // namespace

bool TrustedNetwork::contains(const boost::asio::ip::address& address) const {
    const auto seen = plain(address);
    return seen.is_v4() == base.is_v4() && masked(seen, prefix) == base;
}

std::string TrustedNetwork::text() const {
    const unsigned whole = base.is_v4() ? 32 : 128;
    return prefix == whole ? base.to_string() : base.to_string() + "/" + std::to_string(prefix);
}

std::optional<TrustedNetwork> parse_trusted_network(std::string_view text, std::string& problem) {
    const auto slash = text.find('/');
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(std::string(text.substr(0, slash)), error);
    if (error) {
        problem = "not an IP address or ADDRESS/PREFIX: " + std::string(text);
        return std::nullopt;
    }
    const auto base = plain(address);
    const unsigned whole = base.is_v4() ? 32 : 128;
    unsigned prefix = whole;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, parse_error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || parse_error != std::errc() || end != digits.data() + digits.size() ||
            prefix > whole) {
            problem =
                "the prefix of " + std::string(text) + " is not 0 to " + std::to_string(whole);
            return std::nullopt;
        }
    }
    return TrustedNetwork{masked(base, prefix), prefix};
}

bool is_trusted(const std::vector<TrustedNetwork>& networks,
                const boost::asio::ip::address& address) {
    for (const auto& network : networks) {
        if (network.contains(address)) return true;
    }
    return false;
}

}  // namespace kavro::relay
