// The operator's log: one plain line per event (connections accepted or refused, casts started,
// resumed or ended, watchers joining or leaving, protocol errors with the peer's address).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <string>
#include <string_view>

#include "relay/relay_options.h"

namespace kavro::relay {

using LogSink = std::function<void(const std::string& line)>;

// Writes each line to standard error.
LogSink stderr_log();

// "1.2.3.4:5678", or "[::1]:5678" for IPv6.
std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint);
// `text` from a client with every control byte shown as '?', so it cannot break a log line
// or the text a client shows.
std::string printable(std::string_view text);
// "60 s", "0.25 s".
std::string seconds_text(Duration duration);

}  // namespace kavro::relay
