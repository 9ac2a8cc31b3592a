// Turns the bytes sent and received in each second into five-second average rates for the
// label at the bottom of the window.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kavro {

class ThroughputMeter {
  public:
    static constexpr int kWindow = 5;

    // One tick: shifts both windows, stores this second's counts as the newest samples and
    // returns the label text. The windows are kept across connections.
    std::string tick(std::int32_t bytes_sent, std::int32_t bytes_received, char decimal_separator);

    // Mean of the five samples in KiB per second, as the label shows it.
    static float rate(const std::array<std::int32_t, kWindow>& window);

    const std::array<std::int32_t, kWindow>& sent_window() const { return sent_window_; }
    const std::array<std::int32_t, kWindow>& recv_window() const { return recv_window_; }

  private:
    std::array<std::int32_t, kWindow> sent_window_{};
    std::array<std::int32_t, kWindow> recv_window_{};
};

}  // namespace kavro
