#include "bench/relay/bench_caster.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <span>
#include <stdexcept>

#include "wire/outbound_records.h"

namespace kavro::bench {

struct BenchCaster::Link {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket{io};
    // The client's own records, built the way the client builds them.
    wire::OutboundRecords records;
};

namespace {

boost::asio::const_buffer buffer_of(std::span<const std::uint8_t> record) {
    return boost::asio::buffer(record.data(), record.size());
}

}  // namespace

BenchCaster::BenchCaster(std::uint16_t port, const BenchReplay& replay, std::string name)
    : link_(std::make_unique<Link>()),
      replay_(replay),
      sent_at_(new std::atomic<std::int64_t>[replay.blocks()]) {
    for (std::size_t i = 0; i < replay.blocks(); ++i) sent_at_[i] = 0;
    auto& socket = link_->socket;
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    socket.set_option(boost::asio::ip::tcp::no_delay(true));

    wire::OutboundRecords& records = link_->records;
    records.set_cast(name, "");
    boost::asio::write(socket, buffer_of(records.prepare_hello(true)));
    std::array<std::uint8_t, wire::kAckSize> ack{};
    boost::asio::read(socket, boost::asio::buffer(ack));
    if (std::string_view(reinterpret_cast<const char*>(ack.data()), ack.size()) !=
        wire::kAckAccepted) {
        throw std::runtime_error("the relay refused the bench cast");
    }
    std::copy_n(replay.file().begin(), wire::kHeaderUploadDataSize, records.header_data().begin());
    boost::asio::write(socket, buffer_of(records.prepare_header_upload()));
}

BenchCaster::~BenchCaster() {
    if (thread_.joinable()) thread_.join();
}

void BenchCaster::start_blocks(double per_second) {
    thread_ = std::thread([this, per_second] {
        wire::OutboundRecords& records = link_->records;
        const auto start = Clock::now();
        const auto interval = std::chrono::duration<double>(1.0 / per_second);
        for (std::size_t i = 0; i < replay_.blocks(); ++i) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(interval * i));
            const auto block = replay_.block(i);
            std::copy(block.begin(), block.end(), records.block_data().begin());
            sent_at_[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              Clock::now().time_since_epoch())
                              .count();
            boost::system::error_code error;
            boost::asio::write(link_->socket, buffer_of(records.prepare_block_upload()), error);
            if (error) {
                failed_ = true;
                return;
            }
            sent_ = i + 1;
        }
    });
}

}  // namespace kavro::bench
