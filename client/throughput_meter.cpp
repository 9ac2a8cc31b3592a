#include "client/throughput_meter.h"

#include <numeric>

#include "replay/number_format.h"

namespace kavro {
namespace {

void push(std::array<std::int32_t, ThroughputMeter::kWindow>& window, std::int32_t sample) {
    for (int i = 1; i < ThroughputMeter::kWindow; ++i) window[i - 1] = window[i];
    window[ThroughputMeter::kWindow - 1] = sample;
}

}  // namespace

float ThroughputMeter::rate(const std::array<std::int32_t, kWindow>& window) {
    // Summed in 64 bits: five busy seconds can pass what a 32-bit sum holds.
    const std::int64_t sum = std::accumulate(window.begin(), window.end(), std::int64_t{0});
    return static_cast<float>(sum) / 1024.0f * 0.2f;
}

std::string ThroughputMeter::tick(std::int32_t bytes_sent, std::int32_t bytes_received,
                                  char decimal_separator) {
    push(sent_window_, bytes_sent);
    push(recv_window_, bytes_received);
    return "sent: " + format_one_decimal(rate(sent_window_), decimal_separator) +
           " kb/sec     ---     recv: " +
           format_one_decimal(rate(recv_window_), decimal_separator) + " kb/sec";
}

}  // namespace kavro
