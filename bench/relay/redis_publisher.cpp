#include "bench/relay/redis_publisher.h"

#include <array>
#include <boost/asio/write.hpp>
#include <vector>

namespace kavro::bench {

RedisPublisher::RedisPublisher(std::uint16_t port, const BenchReplay& replay, std::string channel)
    : replay_(replay),
      channel_(std::move(channel)),
      sent_at_(new std::atomic<std::int64_t>[replay.blocks()]) {
    for (std::size_t i = 0; i < replay.blocks(); ++i) sent_at_[i] = 0;
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    socket_.set_option(boost::asio::ip::tcp::no_delay(true));
}

RedisPublisher::~RedisPublisher() {
    if (thread_.joinable()) thread_.join();
}

void RedisPublisher::start_blocks(double per_second) {
    thread_ = std::thread([this, per_second] {
        const std::string head = "*3\r\n$7\r\nPUBLISH\r\n$" + std::to_string(channel_.size()) +
                                 "\r\n" + channel_ + "\r\n$" + std::to_string(wire::kBlockSize) +
                                 "\r\n";
        std::vector<std::uint8_t> command(head.begin(), head.end());
        const std::size_t block_at = command.size();
        command.resize(block_at + wire::kBlockSize);
        command.push_back('\r');
        command.push_back('\n');
        std::array<std::uint8_t, 4096> replies{};  // ":N\r\n" per PUBLISH, read and dropped
        const auto start = Clock::now();
        const auto interval = std::chrono::duration<double>(1.0 / per_second);
        for (std::size_t i = 0; i < replay_.blocks(); ++i) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(interval * i));
            const auto block = replay_.block(i);
            std::copy(block.begin(), block.end(), command.begin() + block_at);
            sent_at_[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              Clock::now().time_since_epoch())
                              .count();
            boost::system::error_code error;
            boost::asio::write(socket_, boost::asio::buffer(command), error);
            while (!error && socket_.available(error) > 0) {
                socket_.read_some(boost::asio::buffer(replies), error);
            }
            if (error) {
                failed_ = true;
                return;
            }
            sent_ = i + 1;
        }
    });
}

}  // namespace kavro::bench
