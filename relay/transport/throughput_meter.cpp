#include "relay/transport/throughput_meter.h"

namespace kavro::relay {

namespace {

constexpr auto kSampleEvery = std::chrono::seconds(1);
constexpr std::size_t kSamplesKept = 6;  // five intervals

}  // namespace

void ThroughputMeter::sample(TimePoint now, std::uint64_t bytes_received,
                             std::uint64_t bytes_sent) {
    if (!samples_.empty() && now - samples_.back().when < kSampleEvery) return;
    samples_.push_back(Sample{now, bytes_received, bytes_sent});
    if (samples_.size() > kSamplesKept) samples_.pop_front();
}

double ThroughputMeter::rate(std::uint64_t Sample::*field) const {
    if (samples_.size() < 2) return 0;
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    const double seconds = std::chrono::duration<double>(last.when - first.when).count();
    if (seconds <= 0 || last.*field < first.*field) return 0;
    return static_cast<double>(last.*field - first.*field) / seconds;
}

double ThroughputMeter::received_per_second() const { return rate(&Sample::received); }

double ThroughputMeter::sent_per_second() const { return rate(&Sample::sent); }

}  // namespace kavro::relay
