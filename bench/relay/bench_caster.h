// The bench's caster, on its own thread: registers, uploads the header, then the blocks at a
// fixed rate, noting when each block was handed to its socket.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/bench_publisher.h"
#include "bench/relay/bench_replay.h"

namespace kavro::bench {

class BenchCaster final : public BenchPublisher {
  public:
    BenchCaster(std::uint16_t port, const BenchReplay& replay, std::string name);
    ~BenchCaster() override;
    void start_blocks(double per_second) override;
    bool done() const override { return sent_ == replay_.blocks() || failed_; }
    bool failed() const { return failed_; }
    std::int64_t sent_at(std::size_t index) const override { return sent_at_[index].load(); }

  private:
    struct Link;
    std::unique_ptr<Link> link_;
    const BenchReplay& replay_;
    std::unique_ptr<std::atomic<std::int64_t>[]> sent_at_;
    std::atomic<std::size_t> sent_{0};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace kavro::bench
