#include "link/tcp_connection.h"

namespace kavro {

using Clock = std::chrono::steady_clock;

TcpConnection::~TcpConnection() {
    // The owner's handlers may already be gone: close without raising events.
    OnDisconnect = nullptr;
    Disconnect();
}

void TcpConnection::report_error() {
    if (OnError) OnError(net::last_error());
}

bool TcpConnection::Connect() {
    if (connected_) return true;
    // A socket whose connect failed cannot be connected again portably, so a retry starts on a
    // fresh one; to the owner it is the same active-but-not-connected object.
    if (Active()) {
        net::close_socket(socket_);
        socket_ = net::kInvalidSocket;
    }
    socket_ = net::open_stream_socket();
    if (!Active()) {
        report_error();
        return false;
    }
    // A path that dies without a word (a cable pulled, a router gone) fails the connection within
    // a minute instead of leaving it open for hours; the system does this while nothing is sent.
    if (!net::enable_keep_alive(socket_)) report_error();
    // One deadline covers the lookup and the connect: together they never hold the caller
    // longer than connect_timeout. A lookup that does not answer in time is a failed connect.
    const auto deadline = Clock::now() + connect_timeout;
    const auto endpoint = lookup_within(lookup, RemoteHost, RemotePort, deadline);
    if (!endpoint) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!net::connect_within(socket_, *endpoint, left)) {
        report_error();
        return false;
    }
    connected_ = true;
    if (OnConnect) OnConnect();
    return true;
}

void TcpConnection::Disconnect() {
    if (connected_) {
        net::shutdown_both(socket_);
        connected_ = false;
        if (OnDisconnect) OnDisconnect();
    }
    if (Active()) {
        net::close_socket(socket_);
        socket_ = net::kInvalidSocket;
    }
}

bool TcpConnection::PollReadable(std::chrono::milliseconds timeout) {
    // A socket whose connect failed has nothing to read; only a connection is polled.
    if (!connected_) return false;
    const auto readiness = net::wait_readable(socket_, timeout);
    if (readiness == net::Readiness::kFailed) report_error();
    return readiness == net::Readiness::kReady;
}

bool TcpConnection::PollWritable() {
    if (!connected_) return false;
    return net::wait_writable(socket_, std::chrono::milliseconds(0));
}

long TcpConnection::ReceiveBytes(std::uint8_t* buffer, std::size_t size) {
    if (!Active()) return -1;
    const long n = net::receive_some(socket_, buffer, size);
    if (n < 0) report_error();
    return n;
}

TcpConnection::SendResult TcpConnection::SendBytes(std::span<const std::uint8_t> message) {
    SendResult result;
    if (!connected_) return result;
    const auto deadline = Clock::now() + send_timeout;
    while (result.sent < message.size()) {
        const long n =
            net::send_some(socket_, message.data() + result.sent, message.size() - result.sent);
        if (n < 0) {
            report_error();
            return result;
        }
        result.sent += static_cast<std::size_t>(n);
        if (result.sent == message.size()) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !net::wait_writable(socket_, left)) return result;
    }
    result.ok = true;
    return result;
}

}  // namespace kavro
