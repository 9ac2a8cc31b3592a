// Every connection to the relay has the system probe it while it is idle, with figures short
// enough that a dead path fails it within a minute; the options are read back from the socket.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "link/tcp_connection.h"
#include "loopback_peer.h"

using namespace kavro;
using namespace kavro::test;

namespace {

int option(net::SocketHandle socket, int level, int name) {
    int value = 0;  // WinSock writes a one-byte boolean here
#ifdef _WIN32
    int length = sizeof value;
    if (::getsockopt(socket, level, name, reinterpret_cast<char*>(&value), &length) != 0) {
        return -1;
    }
#else
    socklen_t length = sizeof value;
    if (::getsockopt(socket, level, name, &value, &length) != 0) return -1;
#endif
    return value;
}

}  // namespace

TEST(KeepAlive, TheRelayConnectionIsProbedAndADeadPathFailsItWithinAMinute) {
    const net::KeepAliveFigures figures = net::keep_alive_figures();
    EXPECT_LT(figures.idle_seconds + figures.interval_seconds * figures.probes, 60);
    EXPECT_LT(figures.unacknowledged_limit_ms, 60000);

    LoopbackListener relay;
    TcpConnection tcp1;
    tcp1.RemoteHost = "127.0.0.1";
    tcp1.RemotePort = relay.port_text();
    ASSERT_TRUE(tcp1.Connect());
    const net::SocketHandle socket = tcp1.Handle();
    EXPECT_NE(option(socket, SOL_SOCKET, SO_KEEPALIVE), 0);
#ifndef _WIN32
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPIDLE), figures.idle_seconds);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPINTVL), figures.interval_seconds);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_KEEPCNT), figures.probes);
    EXPECT_EQ(option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT), figures.unacknowledged_limit_ms);
#endif
    // A fresh socket has none of it until it is asked for.
    const net::SocketHandle plain = net::open_stream_socket();
    EXPECT_EQ(option(plain, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_TRUE(net::enable_keep_alive(plain));
    EXPECT_NE(option(plain, SOL_SOCKET, SO_KEEPALIVE), 0);
    net::close_socket(plain);
}
