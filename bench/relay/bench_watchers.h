// The bench's watchers, all on the calling thread's io_context: each connects, says hello,
// asks for the cast, and checks every byte of the header and data it is sent against the
// replay. A readiness wait per socket and one shared read buffer keep thousands of them cheap.
// Against Redis the same watchers SUBSCRIBE to a channel and check each published block.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/relay/bench_publisher.h"
#include "bench/relay/bench_replay.h"

namespace kavro::bench {

// What the watchers speak: the relay's protocol, or Redis's RESP with SUBSCRIBE.
enum class WatchProtocol { kKavro, kRedis };

class BenchWatchers {
  public:
    // `name`: the cast, or the Redis channel.
    BenchWatchers(boost::asio::io_context& io, std::uint16_t port, const BenchReplay& replay,
                  const BenchPublisher& publisher, std::string name,
                  WatchProtocol protocol = WatchProtocol::kKavro);
    ~BenchWatchers();

    // Connects `count` watchers, at most `in_flight` connecting at once.
    void connect(std::size_t count, std::size_t in_flight);

    std::size_t connected() const { return connected_; }
    // Watchers that have the header (against Redis: whose subscription is confirmed).
    std::size_t with_header() const { return with_header_; }
    std::size_t broken() const { return broken_; }
    // Blocks that every watcher received in full and byte-exact.
    std::size_t blocks_delivered_to_all() const;
    // Time from the caster handing a block to its socket to a watcher holding all of it, in
    // microseconds, one entry per watcher and block.
    const std::vector<std::uint32_t>& latencies_us() const { return latencies_us_; }

  private:
    struct Watcher;
    void connect_next();
    void wait_readable(Watcher& w);
    void take(Watcher& w, const std::uint8_t* data, std::size_t size);
    void take_resp(Watcher& w, const std::uint8_t* data, std::size_t size);
    void resp_line(Watcher& w);
    void payload(Watcher& w, const std::uint8_t* data, std::size_t size);
    void fail(Watcher& w);

    boost::asio::io_context& io_;
    boost::asio::ip::tcp::endpoint endpoint_;
    const BenchReplay& replay_;
    const BenchPublisher& publisher_;
    WatchProtocol protocol_;
    std::vector<std::uint8_t> request_;  // CCN0 then HOS0 (or SUBSCRIBE), sent at once
    std::vector<std::unique_ptr<Watcher>> watchers_;
    std::vector<std::uint8_t> read_buffer_;
    std::size_t to_connect_ = 0;
    std::size_t connected_ = 0;
    std::size_t with_header_ = 0;
    std::size_t broken_ = 0;
    std::vector<std::uint32_t> delivered_;  // per block: watchers that have it
    std::vector<std::uint32_t> latencies_us_;
};

}  // namespace kavro::bench
