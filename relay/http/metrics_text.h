// /metrics: the relay's gauges and counters in the Prometheus text exposition format (0.0.4).
#pragma once

#include <string>
#include <string_view>

#include "relay/cast/status_snapshot.h"

namespace kavro::relay {

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string metrics_text(const StatusSnapshot& status);

// A label value as the format wants it: UTF-8, with backslash, double quote and line feed
// escaped.
std::string metric_label_value(std::string_view client_text);

}  // namespace kavro::relay
