#include "link/tcp_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loopback_peer.h"
#include "polling.h"

using kavro::TcpConnection;
using namespace kavro::test;
using namespace std::chrono_literals;

namespace {

struct Recorded {
    std::vector<std::string> events;
};

void bind_events(TcpConnection& c, Recorded& r) {
    c.OnConnect = [&] { r.events.push_back("connect"); };
    c.OnDisconnect = [&] { r.events.push_back("disconnect"); };
}

}  // namespace

TEST(TcpConnection, ConnectAndDisconnectRaiseTheirEventsInOrder) {
    LoopbackListener listener;
    TcpConnection c;
    Recorded r;
    bind_events(c, r);
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();

    c.Disconnect();  // idle: nothing happens
    EXPECT_TRUE(r.events.empty());

    c.OnConnect = [&] {
        // Raised inside Connect, once connected.
        EXPECT_TRUE(c.Connected());
        r.events.push_back("connect");
    };
    ASSERT_TRUE(c.Connect());
    EXPECT_EQ(r.events, std::vector<std::string>{"connect"});
    PeerSocket peer = listener.accept();
    ASSERT_TRUE(peer.valid());

    c.Disconnect();
    EXPECT_EQ(r.events, (std::vector<std::string>{"connect", "disconnect"}));
    EXPECT_FALSE(c.Active());
    c.Disconnect();
    EXPECT_EQ(r.events.size(), 2u);
    EXPECT_TRUE(peer.closed_by_client());
}

TEST(TcpConnection, RefusedOrUnresolvableConnectRaisesNothing) {
    TcpConnection c;
    Recorded r;
    bind_events(c, r);
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = std::to_string(unused_port());
    EXPECT_FALSE(c.Connect());
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.PollReadable(0ms));
    c.Disconnect();  // after a failed connect: closes, raises nothing
    EXPECT_FALSE(c.Active());

    c.RemoteHost = "1.2.3";  // starts with a digit but is no dotted address
    EXPECT_FALSE(c.Connect());
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = "not-a-port";
    EXPECT_FALSE(c.Connect());
    EXPECT_TRUE(r.events.empty());
    EXPECT_EQ(c.SendBytes(std::vector<std::uint8_t>(10)).sent, 0u);
}

TEST(TcpConnection, PollNeverWaitsAndReportsDataAndClose) {
    LoopbackListener listener;
    TcpConnection c;
    c.RemoteHost = "localhost";  // looked up by name
    c.RemotePort = listener.port_text();
    ASSERT_TRUE(c.Connect());
    PeerSocket peer = listener.accept();

    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.PollReadable(0ms));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);  // bound only against a hang

    peer.send(std::string("ACK0OK"));
    ASSERT_TRUE(c.PollReadable(kGenerous));
    std::uint8_t buffer[16];
    EXPECT_EQ(c.ReceiveBytes(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, buffer + 6), "ACK0OK");

    peer.close();
    ASSERT_TRUE(c.PollReadable(kGenerous));  // a closed peer counts as readable
    EXPECT_EQ(c.ReceiveBytes(buffer, sizeof buffer), 0);
    EXPECT_TRUE(c.Connected());  // the component itself does not notice
}

TEST(TcpConnection, SendsWholeRecordsAndSurvivesAPeerThatClosed) {
    LoopbackListener listener;
    TcpConnection c;
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();
    ASSERT_TRUE(c.Connect());
    PeerSocket peer = listener.accept();

    std::vector<std::uint8_t> record(16390);
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7);
    const auto result = c.SendBytes(record);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.sent, record.size());
    EXPECT_EQ(peer.read(record.size()), record);

    peer.close();
    // Sending into a closed connection fails, and never kills the process with SIGPIPE.
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) failed = !c.SendBytes(record).ok;
    EXPECT_TRUE(failed);
}

TEST(TcpConnection, SendGivesUpWhenThePeerStopsReading) {
    LoopbackListener listener;
    TcpConnection c;
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();
    c.send_timeout = 200ms;
    ASSERT_TRUE(c.Connect());
    PeerSocket peer = listener.accept();  // never reads

    const std::vector<std::uint8_t> record(16390, 0x55);
    std::size_t total = 0;
    bool failed = false;
    for (int i = 0; i < 10000 && !failed; ++i) {
        const auto result = c.SendBytes(record);
        total += result.sent;
        failed = !result.ok;
    }
    ASSERT_TRUE(failed);
    // What reached the socket is counted exactly, including a partial last record.
    EXPECT_GT(total, 0u);
    EXPECT_EQ(peer.read(total, kGenerous).size(), total);
}

namespace {

// An address lookup that does not answer until the test lets it. Shared with the lookup's
// helper thread, which may outlive the connection and the test's own variables.
struct HeldLookup {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool returned = false;
    int calls = 0;

    static kavro::AddressLookup answering(std::shared_ptr<HeldLookup> held, std::uint16_t port) {
        return [held, port](const std::string&, const std::string&) {
            std::unique_lock<std::mutex> lock(held->mutex);
            ++held->calls;
            held->changed.wait(lock, [&] { return held->released; });
            held->returned = true;
            held->changed.notify_all();
            // A late answer that would connect, were it not dropped.
            return kavro::net::resolve("127.0.0.1", std::to_string(port));
        };
    }
    void release() {
        const std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool wait_returned() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kGenerous, [&] { return returned; });
    }
};

}  // namespace

TEST(TcpConnection, ALookupThatDoesNotAnswerInTimeFailsTheConnectWithoutAnEvent) {
    LoopbackListener listener;
    auto held = std::make_shared<HeldLookup>();
    Recorded r;
    {
        TcpConnection c;
        bind_events(c, r);
        c.RemoteHost = "relay.example.org";
        c.RemotePort = listener.port_text();
        c.connect_timeout = 100ms;
        c.lookup = HeldLookup::answering(held, listener.port());

        auto connecting = std::async(std::launch::async, [&] { return c.Connect(); });
        if (connecting.wait_for(kGenerous) != std::future_status::ready) {
            held->release();
            connecting.wait();
            FAIL() << "Connect waited for the lookup";
        }
        EXPECT_FALSE(connecting.get());
        EXPECT_FALSE(c.Connected());
        EXPECT_FALSE(c.PollWritable());
    }
    // The connection is gone; the lookup answers now, and its answer is dropped unused.
    held->release();
    ASSERT_TRUE(held->wait_returned());
    EXPECT_TRUE(r.events.empty());
    EXPECT_FALSE(listener.has_pending());
    EXPECT_EQ(held->calls, 1);
}

TEST(TcpConnection, EveryConnectLooksTheAddressUpAgainAndFindsARelayThatMoved) {
    LoopbackListener first;
    LoopbackListener moved;
    int calls = 0;
    TcpConnection c;
    c.RemoteHost = "relay.example.org";
    c.RemotePort = "47475";
    c.lookup = [&](const std::string& host, const std::string& port) {
        EXPECT_EQ(host, "relay.example.org");
        EXPECT_EQ(port, "47475");
        const auto& relay = ++calls == 1 ? first : moved;
        return kavro::net::resolve("127.0.0.1", relay.port_text());
    };

    ASSERT_TRUE(c.Connect());
    EXPECT_TRUE(first.accept().valid());
    c.Disconnect();
    ASSERT_TRUE(c.Connect());
    EXPECT_TRUE(moved.accept().valid());
    EXPECT_EQ(calls, 2);

    // A lookup that finds nothing fails the connect at once.
    c.Disconnect();
    c.lookup = [](const std::string&, const std::string&) {
        return std::optional<kavro::net::Endpoint>();
    };
    EXPECT_FALSE(c.Connect());
}

TEST(TcpConnection, PollWritableFollowsTheRoomLeftForSending) {
    LoopbackListener listener;
    TcpConnection c;
    c.RemoteHost = "127.0.0.1";
    c.RemotePort = listener.port_text();
    EXPECT_FALSE(c.PollWritable());  // idle
    ASSERT_TRUE(c.Connect());
    PeerSocket peer = listener.accept();  // does not read for now
    EXPECT_TRUE(c.PollWritable());

    // Send blocks while there is room; the room runs out long before this many.
    const std::vector<std::uint8_t> block(4100, 0x3C);
    std::size_t total = 0;
    for (int i = 0; i < 100000 && c.PollWritable(); ++i) {
        const auto result = c.SendBytes(block);
        ASSERT_TRUE(result.ok);
        total += result.sent;
    }
    EXPECT_FALSE(c.PollWritable());

    // Once the peer has read everything, there is room again.
    EXPECT_EQ(peer.read(total).size(), total);
    EXPECT_TRUE(wait_until([&] { return c.PollWritable(); }, kGenerous));

    c.Disconnect();
    EXPECT_FALSE(c.PollWritable());
}
