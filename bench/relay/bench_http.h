// One HTTP GET to the relay under test on 127.0.0.1, to read what its store says.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavro::bench {

// The body of GET `target`, or nothing when the relay does not answer 200.
std::optional<std::string> http_get_body(std::uint16_t port, std::string_view target);
// The value of the metric sample `name` (no labels) in /metrics, or nothing.
std::optional<double> metric_value(std::uint16_t port, std::string_view name);

}  // namespace kavro::bench
