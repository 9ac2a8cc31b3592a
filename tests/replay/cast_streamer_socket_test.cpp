// The cast step over a real connection to a relay stand-in on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <vector>

#include "cast_fixture.h"
#include "link/tcp_connection.h"
#include "loopback_peer.h"
#include "replay/cast_streamer.h"
#include "wire/wire_format.h"

using kavro::CastStreamer;
using namespace kavro::test;

TEST(CastStreamer, ATickAgainstARelayThatStopsReadingEndsWithoutWaitingOutTheSendTimeout) {
    LoopbackListener listener;
    kavro::TcpConnection tcp;
    tcp.RemoteHost = "127.0.0.1";
    tcp.RemotePort = listener.port_text();
    tcp.send_timeout = std::chrono::hours(1);  // a tick that waited on a full socket would hang
    ASSERT_TRUE(tcp.Connect());
    PeerSocket relay = listener.accept();  // reads nothing for now
    ASSERT_TRUE(relay.valid());

    Cast cast;
    cast.lfs.start_recording(kHeader, 20);
    // Bytes of the records the connection took: what the relay is to receive.
    std::size_t bytes_sent = 0;
    int failed_sends = 0;
    const auto tick = [&] {
        tcp.PumpOutbound();
        const std::size_t before = bytes_sent;
        cast.streamer.step(
            true, true, cast.records,
            [&](std::span<const std::uint8_t> record) {
                const auto result = tcp.SendBytes(record);
                bytes_sent += result.ok ? record.size() : 0;
                failed_sends += result.ok ? 0 : 1;
                return result.ok;
            },
            [&] { return tcp.PollWritable(); }, std::chrono::steady_clock::now());
        return (bytes_sent - before) / kavro::wire::kBlockUploadSize;
    };

    // Tick on, growing the recording whenever the upload has caught up with it, until a tick
    // finds the socket full while blocks wait.
    auto ticking = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100000; ++i) {
            const auto uploaded = static_cast<std::size_t>(
                std::max<std::int64_t>(cast.streamer.last_cast_size(), kHeader));
            if (uploaded == cast.lfs.recording().size()) cast.lfs.grow(1024 * kBlock);
            const std::size_t waiting = (cast.lfs.recording().size() - uploaded) / kBlock;
            const bool header_went_before = cast.streamer.header_sent();
            const std::size_t sent = tick();
            if (header_went_before && sent < std::min<std::size_t>(waiting, 64)) return true;
        }
        return false;
    });
    if (ticking.wait_for(kGenerous) != std::future_status::ready) {
        relay.close();  // makes the waiting send fail, so the tick ends
        ticking.wait();
        FAIL() << "a tick waited for the relay to read";
    }
    ASSERT_TRUE(ticking.get());
    EXPECT_EQ(failed_sends, 0);

    // Once the relay reads, the following ticks go on where the full socket stopped.
    Bytes stream;
    while (stream.size() < bytes_sent) {
        tcp.PumpOutbound();
        const Bytes part = relay.read(tcp.OutboundWritten() - stream.size());
        if (part.empty()) break;
        stream.insert(stream.end(), part.begin(), part.end());
    }
    ASSERT_EQ(stream.size(), bytes_sent);
    for (int i = 0; i < 3; ++i) tick();
    while (tcp.OutboundQueued() > 0 && tcp.PumpOutbound()) {
        const Bytes part = relay.read(tcp.OutboundWritten() - stream.size());
        stream.insert(stream.end(), part.begin(), part.end());
    }
    EXPECT_EQ(failed_sends, 0);
    const Bytes more = relay.read(bytes_sent - stream.size());
    stream.insert(stream.end(), more.begin(), more.end());
    ASSERT_EQ(stream.size(), bytes_sent);

    std::vector<Bytes> records;
    records.emplace_back(stream.begin(), stream.begin() + kavro::wire::kHeaderUploadSize);
    for (std::size_t at = kavro::wire::kHeaderUploadSize; at < stream.size();
         at += kavro::wire::kBlockUploadSize) {
        records.push_back(slice(stream, at, kavro::wire::kBlockUploadSize));
    }
    const auto uploaded = static_cast<std::size_t>(cast.streamer.last_cast_size());
    EXPECT_EQ(reassembled(records), slice(cast.lfs.recording(), 0, uploaded));
}
