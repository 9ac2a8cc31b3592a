// TCP keep-alive with short intervals on every socket the relay accepts, so that a path that
// dies without a word (a frozen router, a cable pulled) ends the connection within a minute
// instead of holding it, and the cast name it casts, for hours.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>

namespace kavro::relay {

// Silence before the first probe, the time between probes, and the probes left unanswered
// before the kernel gives up: a quiet dead path is noticed within 10 + 4 x 5 = 30 s.
inline constexpr std::chrono::seconds kKeepAliveIdle{10};
inline constexpr std::chrono::seconds kKeepAliveInterval{5};
inline constexpr int kKeepAliveProbes = 4;
// Data sent and not acknowledged for this long ends the connection (Linux). A minute, so a
// watcher on a long path (250 ms) survives an outage of 20 s and more with its retransmission
// back-off; the send buffer's cap still bounds what such a watcher holds meanwhile.
inline constexpr std::chrono::seconds kUnacknowledgedLimit{60};

// Sets the options above where the system has them; a socket that refuses one keeps going
// without it.
void probe_dead_paths(boost::asio::ip::tcp::socket& socket);

}  // namespace kavro::relay
