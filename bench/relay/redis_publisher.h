// The bench's publisher against Redis, on its own thread: PUBLISHes each block to the channel
// at a fixed rate, as the caster uploads them to the relay, noting when each went out.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string>
#include <thread>

#include "bench/relay/bench_publisher.h"
#include "bench/relay/bench_replay.h"

namespace kavro::bench {

class RedisPublisher final : public BenchPublisher {
  public:
    RedisPublisher(std::uint16_t port, const BenchReplay& replay, std::string channel);
    ~RedisPublisher() override;
    void start_blocks(double per_second) override;
    bool done() const override { return sent_ == replay_.blocks() || failed_; }
    std::int64_t sent_at(std::size_t index) const override { return sent_at_[index].load(); }

  private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_{io_};
    const BenchReplay& replay_;
    std::string channel_;
    std::unique_ptr<std::atomic<std::int64_t>[]> sent_at_;
    std::atomic<std::size_t> sent_{0};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace kavro::bench
