#include "relay/net/proxy_header.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace kavro::relay {

namespace {

constexpr std::array<std::uint8_t, 12> kV2Signature{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                    0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kV1Start = "PROXY ";
constexpr std::size_t kMostV1Line = 107;  // "PROXY TCP6 " and two full IPv6 addresses, ports

std::vector<std::string_view> split_spaces(std::string_view text) {
    std::vector<std::string_view> parts;
    while (true) {
        const auto space = text.find(' ');
        parts.push_back(text.substr(0, space));
        if (space == std::string_view::npos) return parts;
        text = text.substr(space + 1);
    }
}

std::optional<std::uint16_t> port_of(std::string_view digits) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value > 65535 || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

ProxyHeaderReader::State ProxyHeaderReader::fail(std::string why) {
    state_ = State::kBad;
    wanted_ = 0;
    problem_ = std::move(why);
    return state_;
}

ProxyHeaderReader::State ProxyHeaderReader::take(std::span<const std::uint8_t> bytes) {
    if (state_ != State::kReading) return state_;
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    switch (part_) {
        case Part::kStart:
            if (std::equal(bytes_.begin(), bytes_.end(), kV2Signature.begin())) {
                part_ = Part::kFixed;
                wanted_ = 8;  // the rest of the signature, version and command, family, length
                return state_;
            }
            if (std::equal(kV1Start.begin(), kV1Start.end(), bytes_.begin())) {
                part_ = Part::kLine;
                wanted_ = 1;  // to the line's end, a byte at a time, never past it
                return state_;
            }
            return fail("no PROXY protocol header");
        case Part::kLine:
            if (bytes_.size() >= 2 && bytes_[bytes_.size() - 2] == '\r' && bytes_.back() == '\n') {
                return finish_line();
            }
            if (bytes_.size() >= kMostV1Line) return fail("a PROXY line longer than 107 bytes");
            return state_;
        case Part::kFixed: {
            if (!std::equal(kV2Signature.begin(), kV2Signature.end(), bytes_.begin())) {
                return fail("a damaged PROXY version 2 signature");
            }
            if ((bytes_[12] >> 4) != 2) return fail("a PROXY header of an unknown version");
            const unsigned command = bytes_[12] & 0x0F;
            if (command > 1) return fail("a PROXY version 2 header with an unknown command");
            const std::size_t length = static_cast<std::size_t>(bytes_[14]) << 8 | bytes_[15];
            if (16 + length > kMostProxyHeaderBytes) {
                return fail("a PROXY version 2 header of " + std::to_string(16 + length) +
                            " bytes");
            }
            part_ = Part::kAddresses;
            wanted_ = length;
            if (length == 0) return finish_addresses();
            return state_;
        }
        case Part::kAddresses:
            return finish_addresses();
    }
    return state_;
}

ProxyHeaderReader::State ProxyHeaderReader::finish_line() {
    const std::string_view line(reinterpret_cast<const char*>(bytes_.data()), bytes_.size() - 2);
    const auto parts = split_spaces(line.substr(kV1Start.size()));
    if (!parts.empty() && parts[0] == "UNKNOWN") {
        state_ = State::kDone;  // the proxy's own connection; what follows is ignored
        wanted_ = 0;
        return state_;
    }
    if (parts.size() != 5 || (parts[0] != "TCP4" && parts[0] != "TCP6")) {
        return fail("a PROXY line that is not TCP4, TCP6 or UNKNOWN with two addresses and ports");
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(std::string(parts[1]), error);
    boost::system::error_code destination_error;
    const auto destination =
        boost::asio::ip::make_address(std::string(parts[2]), destination_error);
    const auto port = port_of(parts[3]);
    if (error || destination_error || !port || !port_of(parts[4]) ||
        address.is_v4() != (parts[0] == "TCP4") || destination.is_v4() != address.is_v4()) {
        return fail("a PROXY line with a bad address or port");
    }
    source_ = Source{address, *port};
    state_ = State::kDone;
    wanted_ = 0;
    return state_;
}

ProxyHeaderReader::State ProxyHeaderReader::finish_addresses() {
    state_ = State::kDone;
    wanted_ = 0;
    const unsigned command = bytes_[12] & 0x0F;
    const std::uint8_t family = bytes_[13];
    const std::size_t length = bytes_.size() - 16;
    const std::uint8_t* block = bytes_.data() + 16;
    if (command == 0) return state_;  // LOCAL: the proxy's own connection (a health check)
    if (family == 0x11) {  // TCP over IPv4: source, destination, source port, destination port
        if (length < 12) return fail("a PROXY version 2 header too short for its addresses");
        boost::asio::ip::address_v4::bytes_type raw{};
        std::copy_n(block, 4, raw.begin());
        source_ = Source{boost::asio::ip::address_v4(raw),
                         static_cast<std::uint16_t>(block[8] << 8 | block[9])};
    } else if (family == 0x21) {  // TCP over IPv6
        if (length < 36) return fail("a PROXY version 2 header too short for its addresses");
        boost::asio::ip::address_v6::bytes_type raw{};
        std::copy_n(block, 16, raw.begin());
        source_ = Source{boost::asio::ip::address_v6(raw),
                         static_cast<std::uint16_t>(block[32] << 8 | block[33])};
    }
    // Any other family (UNSPEC, UDP, a UNIX socket) names no TCP client: the proxy's own.
    return state_;
}

}  // namespace kavro::relay
