#include "bench/relay/bench_watchers.h"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <charconv>
#include <cstring>
#include <string_view>

#include "wire/outbound_records.h"

namespace kavro::bench {

struct BenchWatchers::Watcher {
    explicit Watcher(boost::asio::io_context& io) : socket(io) {}
    boost::asio::ip::tcp::socket socket;
    bool acknowledged = false;
    bool broken = false;
    std::array<std::uint8_t, wire::kHeadSize> head{};
    std::size_t head_filled = 0;
    std::size_t payload_left = 0;
    char kind = 0;           // 'H' header, 'D' data, 'S' skipped
    std::size_t offset = 0;  // bytes of the replay file received
    // RESP: the line being read, or the bytes left of a bulk string and its CRLF.
    std::array<char, 24> line{};
    std::size_t line_filled = 0;
    std::size_t bulk_left = 0;
    std::size_t crlf_left = 0;
    bool bulk_is_block = false;
};

BenchWatchers::BenchWatchers(boost::asio::io_context& io, std::uint16_t port,
                             const BenchReplay& replay, const BenchPublisher& publisher,
                             std::string cast_name, WatchProtocol protocol)
    : io_(io),
      endpoint_(boost::asio::ip::make_address("127.0.0.1"), port),
      replay_(replay),
      publisher_(publisher),
      protocol_(protocol),
      read_buffer_(64 * 1024),
      delivered_(replay.blocks(), 0) {
    if (protocol_ == WatchProtocol::kRedis) {
        const std::string subscribe = "*2\r\n$9\r\nSUBSCRIBE\r\n$" +
                                      std::to_string(cast_name.size()) + "\r\n" + cast_name +
                                      "\r\n";
        request_.assign(subscribe.begin(), subscribe.end());
        return;
    }
    // A watcher's hello and watch request, built as the client builds them, sent in one write.
    wire::OutboundRecords records;
    const auto hello = records.prepare_hello(false);
    const auto watch = records.prepare_watch_request(cast_name);
    request_.assign(hello.begin(), hello.end());
    request_.insert(request_.end(), watch.begin(), watch.end());
}

BenchWatchers::~BenchWatchers() = default;

void BenchWatchers::connect(std::size_t count, std::size_t in_flight) {
    to_connect_ += count;
    for (std::size_t i = 0; i < std::min(count, in_flight); ++i) connect_next();
}

void BenchWatchers::connect_next() {
    if (to_connect_ == 0) return;
    --to_connect_;
    watchers_.push_back(std::make_unique<Watcher>(io_));
    Watcher& w = *watchers_.back();
    w.socket.async_connect(endpoint_, [this, &w](const boost::system::error_code& error) {
        boost::system::error_code write_error;
        if (!error) boost::asio::write(w.socket, boost::asio::buffer(request_), write_error);
        if (error || write_error) {
            fail(w);
        } else {
            ++connected_;
            w.acknowledged = protocol_ == WatchProtocol::kRedis;  // no ACK to wait for
            w.socket.non_blocking(true);
            wait_readable(w);
        }
        connect_next();
    });
}

void BenchWatchers::wait_readable(Watcher& w) {
    w.socket.async_wait(boost::asio::ip::tcp::socket::wait_read,
                        [this, &w](const boost::system::error_code& error) {
                            if (error) return fail(w);
                            for (;;) {
                                boost::system::error_code read_error;
                                const std::size_t n = w.socket.read_some(
                                    boost::asio::buffer(read_buffer_), read_error);
                                if (read_error == boost::asio::error::would_block) break;
                                if (read_error) return fail(w);
                                take(w, read_buffer_.data(), n);
                                if (w.broken) return;
                            }
                            wait_readable(w);
                        });
}

void BenchWatchers::take(Watcher& w, const std::uint8_t* data, std::size_t size) {
    if (protocol_ == WatchProtocol::kRedis) return take_resp(w, data, size);
    while (size > 0 && !w.broken) {
        if (!w.acknowledged || w.payload_left == 0) {
            const std::size_t want = wire::kHeadSize - w.head_filled;
            const std::size_t n = std::min(want, size);
            std::memcpy(w.head.data() + w.head_filled, data, n);
            w.head_filled += n;
            data += n;
            size -= n;
            if (w.head_filled < wire::kHeadSize) return;
            w.head_filled = 0;
            if (!w.acknowledged) {
                // ACK is six bytes with no length field.
                if (std::memcmp(w.head.data(), wire::kAckAccepted.data(), wire::kAckSize) != 0) {
                    return fail(w);
                }
                w.acknowledged = true;
                continue;
            }
            w.payload_left = wire::payload_length(w.head);
            if (wire::has_tag(w.head, wire::kTagReplayHeader)) {
                if (w.payload_left != wire::kReplayHeaderSize) return fail(w);
                w.kind = 'H';
                w.offset = 0;
            } else if (wire::has_tag(w.head, wire::kTagReplayData)) {
                if (w.payload_left > wire::kMaxReplayDataPayload) return fail(w);
                w.kind = 'D';
            } else if (wire::has_tag(w.head, wire::kTagError)) {
                return fail(w);
            } else {
                w.kind = 'S';  // the list and keep-alives
            }
            continue;
        }
        const std::size_t n = std::min(w.payload_left, size);
        if (w.kind != 'S') payload(w, data, n);
        w.payload_left -= n;
        data += n;
        size -= n;
    }
}

void BenchWatchers::take_resp(Watcher& w, const std::uint8_t* data, std::size_t size) {
    // A subscriber gets "*3 $9 subscribe $N name :1" once, then "*3 $7 message $N name $4096
    // <block>" per PUBLISH (each part ending in CRLF). Bulk strings of a block's size are the
    // blocks; every other part is skipped.
    while (size > 0 && !w.broken) {
        if (w.bulk_left > 0) {
            const std::size_t n = std::min(w.bulk_left, size);
            if (w.bulk_is_block) payload(w, data, n);
            w.bulk_left -= n;
            data += n;
            size -= n;
            continue;
        }
        if (w.crlf_left > 0) {
            const std::size_t n = std::min(w.crlf_left, size);
            w.crlf_left -= n;
            data += n;
            size -= n;
            continue;
        }
        const char c = static_cast<char>(*data++);
        --size;
        if (c == '\n') {
            resp_line(w);
            w.line_filled = 0;
        } else if (c != '\r') {
            if (w.line_filled == w.line.size()) return fail(w);
            w.line[w.line_filled++] = c;
        }
    }
}

void BenchWatchers::resp_line(Watcher& w) {
    if (w.line_filled == 0) return fail(w);
    const std::string_view line(w.line.data() + 1, w.line_filled - 1);
    switch (w.line[0]) {
        case '*':
            return;
        case ':':  // the subscription is confirmed: the stream starts after a header's worth
            if (w.offset == 0) {
                w.offset = wire::kReplayHeaderSize;
                ++with_header_;
            }
            return;
        case '$': {
            std::size_t length = 0;
            const auto [end, error] =
                std::from_chars(line.data(), line.data() + line.size(), length);
            if (error != std::errc() || end != line.data() + line.size()) return fail(w);
            w.bulk_left = length;
            w.crlf_left = 2;
            w.bulk_is_block = length == wire::kBlockSize;
            return;
        }
        default:  // an error or anything unexpected
            return fail(w);
    }
}

void BenchWatchers::payload(Watcher& w, const std::uint8_t* data, std::size_t size) {
    const auto& file = replay_.file();
    if (w.offset + size > file.size() || std::memcmp(file.data() + w.offset, data, size) != 0) {
        return fail(w);
    }
    const std::size_t before = w.offset;
    w.offset += size;
    if (before < wire::kReplayHeaderSize && w.offset >= wire::kReplayHeaderSize) ++with_header_;
    const auto whole_blocks = [](std::size_t offset) {
        return offset <= wire::kReplayHeaderSize
                   ? std::size_t{0}
                   : (offset - wire::kReplayHeaderSize) / wire::kBlockSize;
    };
    const std::size_t first = whole_blocks(before);
    const std::size_t last = whole_blocks(w.offset);
    if (first == last) return;
    const auto now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    for (std::size_t b = first; b < last; ++b) {
        ++delivered_[b];
        const std::int64_t sent = publisher_.sent_at(b);
        latencies_us_.push_back(
            static_cast<std::uint32_t>(std::max<std::int64_t>(0, now - sent) / 1000));
    }
}

void BenchWatchers::fail(Watcher& w) {
    if (w.broken) return;
    w.broken = true;
    ++broken_;
    boost::system::error_code ignored;
    w.socket.close(ignored);
}

std::size_t BenchWatchers::blocks_delivered_to_all() const {
    const std::size_t all = watchers_.size();
    return static_cast<std::size_t>(std::count_if(delivered_.begin(), delivered_.end(),
                                                  [&](std::uint32_t n) { return n == all; }));
}

}  // namespace kavro::bench
