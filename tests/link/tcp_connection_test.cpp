#include "link/tcp_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "loopback_peer.h"

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
