// The connect the window uses: begun without waiting, advanced by polls that never wait, with
// the same deadline as the blocking connect; and the outbound buffer that never waits either.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include "link/tcp_connection.h"
#include "loopback_peer.h"
#include "polling.h"
#include "temp_folder.h"

using kavro::TcpConnection;
using Progress = kavro::TcpConnection::ConnectProgress;
using namespace kavro::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The longest a call took, over every call made through it.
struct LongestCall {
    Clock::duration longest{};
    template <class F>
    auto operator()(F f) {
        const auto start = Clock::now();
        auto result = f();
        longest = std::max(longest, Clock::now() - start);
        return result;
    }
};

// Polls the connect as a timer would until it is no longer under way.
Progress poll_to_the_end(TcpConnection& c, LongestCall& timed) {
    Progress progress = Progress::kConnecting;
    wait_until(
        [&] {
            progress = timed([&] { return c.PollConnect(); });
            return progress != Progress::kConnecting;
        },
        20s);
    return progress;
}

// A lookup that never answers while the test runs: the relay's name cannot be found in time.
struct SilentLookup {
    std::mutex mutex;
    std::condition_variable released;
    bool done = false;
    void release() {
        const std::lock_guard<std::mutex> lock(mutex);
        done = true;
        released.notify_all();
    }
};

}  // namespace

TEST(ConnectInSteps, ALoopbackConnectFinishesInAPollAndRaisesOnConnectThere) {
    LoopbackListener listener;
    TcpConnection c;
    std::vector<std::string> events;
    c.OnConnect = [&] { events.push_back("connect"); };
    c.OnDisconnect = [&] { events.push_back("disconnect"); };
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();
    LongestCall timed;
    ASSERT_TRUE(timed([&] { return c.BeginConnect(); }));
    EXPECT_TRUE(events.empty());  // nothing is connected until a poll says so
    EXPECT_TRUE(c.Connecting());
    EXPECT_EQ(poll_to_the_end(c, timed), Progress::kConnected);
    EXPECT_EQ(events, std::vector<std::string>{"connect"});
    EXPECT_TRUE(c.Connected());
    EXPECT_LT(timed.longest, 50ms);
    PeerSocket peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    // Small records leave at once: Nagle's algorithm is off on the relay connection.
    int no_delay = 0;
    kavro::net::SocketHandle handle = c.Handle();
#ifdef _WIN32
    int length = sizeof no_delay;
#else
    socklen_t length = sizeof no_delay;
#endif
    ASSERT_EQ(
        ::getsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&no_delay), &length),
        0);
    EXPECT_NE(no_delay, 0);
    c.Disconnect();
    EXPECT_EQ(events, (std::vector<std::string>{"connect", "disconnect"}));
    EXPECT_TRUE(peer.closed_by_client());
}

TEST(ConnectInSteps, ARefusedConnectFailsInAPollWithoutEventsAndCanBeBegunAgain) {
    TcpConnection c;
    std::vector<std::string> events;
    c.OnConnect = [&] { events.push_back("connect"); };
    c.OnDisconnect = [&] { events.push_back("disconnect"); };
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = std::to_string(unused_port());
    LongestCall timed;
    ASSERT_TRUE(c.BeginConnect());
    EXPECT_EQ(poll_to_the_end(c, timed), Progress::kFailed);
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(c.PollConnect(), Progress::kFailed);  // stays failed

    LoopbackListener listener;  // the relay comes up: the next attempt gets through
    c.RemotePort = listener.port_text();
    ASSERT_TRUE(c.BeginConnect());
    EXPECT_EQ(poll_to_the_end(c, timed), Progress::kConnected);
    EXPECT_EQ(events, std::vector<std::string>{"connect"});
    EXPECT_LT(timed.longest, 50ms);
}

TEST(ConnectInSteps, ALookupThatNeverAnswersFailsAtTheDeadlineWhilePollsReturnAtOnce) {
    auto held = std::make_shared<SilentLookup>();
    TcpConnection c;
    bool connected = false;
    c.OnConnect = [&] { connected = true; };
    c.connect_timeout = 300ms;
    c.lookup = [held](const std::string&, const std::string&) {
        std::unique_lock<std::mutex> lock(held->mutex);
        held->released.wait(lock, [&] { return held->done; });
        return kavro::net::resolve("127.0.0.1", "1");
    };
    LongestCall timed;
    const auto begun = Clock::now();
    ASSERT_TRUE(timed([&] { return c.BeginConnect(); }));
    EXPECT_EQ(poll_to_the_end(c, timed), Progress::kFailed);
    const auto took = Clock::now() - begun;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);
    EXPECT_LT(timed.longest, 50ms);
    EXPECT_FALSE(connected);
    held->release();  // the helper thread ends; its answer is dropped
}

TEST(ConnectInSteps, ADisconnectWhileConnectingAbandonsTheConnectWithoutEvents) {
    LoopbackListener listener;
    TcpConnection c;
    std::vector<std::string> events;
    c.OnConnect = [&] { events.push_back("connect"); };
    c.OnDisconnect = [&] { events.push_back("disconnect"); };
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();
    ASSERT_TRUE(c.BeginConnect());
    c.Disconnect();
    EXPECT_FALSE(c.Connecting());
    EXPECT_EQ(c.PollConnect(), Progress::kFailed);
    EXPECT_TRUE(events.empty());
}

TEST(OutboundBuffer, SendingNeverWaitsAndWhatTheBufferHoldsLeavesInOrderAsThePeerReads) {
    LoopbackListener listener;
    TcpConnection c;
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();
    ASSERT_TRUE(c.Connect());
    PeerSocket peer = listener.accept();  // reads nothing for now

    // Records of distinct bytes until the buffer has no room: no send waits for the peer.
    std::vector<std::uint8_t> expected;
    LongestCall timed;
    std::uint32_t seed = 1;
    std::size_t socket_took = 0;
    for (int i = 0; i < 100000 && c.PollWritable(); ++i) {
        const auto record = pattern_bytes(TcpConnection::kLargestRecord, seed++);
        const auto result = timed([&] { return c.SendBytes(record); });
        ASSERT_TRUE(result.ok);
        socket_took += result.sent;
        expected.insert(expected.end(), record.begin(), record.end());
    }
    EXPECT_FALSE(c.PollWritable());
    EXPECT_GT(c.OutboundQueued(), TcpConnection::kOutboundCapacity - TcpConnection::kLargestRecord);
    EXPECT_LE(c.OutboundQueued(), TcpConnection::kOutboundCapacity);
    // PollWritable pumps too (Wine's sockets take more as they go), so what left the buffer is
    // counted by the connection; what the sends reported is a part of it.
    EXPECT_EQ(c.OutboundWritten() + c.OutboundQueued(), expected.size());
    EXPECT_LE(socket_took, c.OutboundWritten());
    EXPECT_LT(timed.longest, 50ms);

    // A record that does not fit is refused whole: nothing of it goes out.
    const auto refused =
        c.SendBytes(std::vector<std::uint8_t>(TcpConnection::kLargestRecord, 0xEE));
    EXPECT_FALSE(refused.ok);

    // As the peer reads, pumping writes the rest; the stream is every record once, in order.
    std::vector<std::uint8_t> received;
    ASSERT_TRUE(wait_until(
        [&] {
            EXPECT_TRUE(c.PumpOutbound());
            const auto part = peer.read(c.OutboundWritten() - received.size(), 10ms);
            received.insert(received.end(), part.begin(), part.end());
            return c.OutboundQueued() == 0 && received.size() == expected.size();
        },
        20s));
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(c.PollWritable());

    // Once the peer is gone, a send or a pump says the connection failed.
    peer.close();
    ASSERT_TRUE(wait_until(
        [&] { return !c.SendBytes(std::vector<std::uint8_t>(100, 1)).ok || !c.PumpOutbound(); }));
    EXPECT_FALSE(c.PumpOutbound());
    EXPECT_FALSE(c.SendBytes(std::vector<std::uint8_t>(1, 1)).ok);
    c.Disconnect();
    EXPECT_EQ(c.OutboundQueued(), 0u);
}
