// The PROXY protocol header (versions 1 and 2) a trusted proxy such as haproxy sends
// (send-proxy, send-proxy-v2) at the start of each connection it opens to the relay's port,
// naming the client it carries. No sockets here: the reader is fed exactly the bytes it asks
// for, so it never takes a byte of the client's own stream.
#pragma once

#include <array>
#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kavro::relay {

// The longest header accepted: version 1's longest line, or version 2 with a few TLVs.
inline constexpr std::size_t kMostProxyHeaderBytes = 1024;

class ProxyHeaderReader {
  public:
    enum class State { kReading, kDone, kBad };
    struct Source {
        boost::asio::ip::address address;
        std::uint16_t port = 0;
    };

    State state() const { return state_; }
    // How many bytes to read next (while reading): never more than the header has left.
    std::size_t wanted() const { return wanted_; }
    // Takes the `wanted()` bytes that came next.
    State take(std::span<const std::uint8_t> bytes);
    // Once done: the client the proxy names; nothing for a proxy's own connection (version 1
    // UNKNOWN, version 2 LOCAL, or an address family other than TCP over IPv4 or IPv6), which
    // is then taken as coming from the proxy itself.
    const std::optional<Source>& source() const { return source_; }
    // Once bad: why, for the log.
    const std::string& problem() const { return problem_; }

  private:
    enum class Part { kStart, kLine, kFixed, kAddresses };
    State fail(std::string why);
    State finish_line();
    State finish_addresses();

    State state_ = State::kReading;
    Part part_ = Part::kStart;
    std::size_t wanted_ = 8;
    std::vector<std::uint8_t> bytes_;
    std::optional<Source> source_;
    std::string problem_;
};

}  // namespace kavro::relay
