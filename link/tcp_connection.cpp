#include "link/tcp_connection.h"

#include <cstring>

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

bool TcpConnection::open_socket() {
    // A socket whose connect failed cannot be connected again portably, so a retry starts on a
    // fresh one; to the owner it is the same active-but-not-connected object.
    if (Active()) {
        net::close_socket(socket_);
        socket_ = net::kInvalidSocket;
    }
    lookup_ticket_.reset();
    outbound_.clear();
    outbound_start_ = 0;
    outbound_written_ = 0;
    phase_ = Phase::kClosed;
    socket_ = net::open_stream_socket();
    if (!Active()) {
        report_error();
        return false;
    }
    net::make_non_blocking(socket_);
    // A path that dies without a word (a cable pulled, a router gone) fails the connection within
    // a minute instead of leaving it open for hours; the system does this while nothing is sent.
    if (!net::enable_keep_alive(socket_)) report_error();
    // Records go out as they are written: a watcher's hello or a caster's block never waits
    // for an acknowledgement of the one before.
    if (!net::disable_send_delay(socket_)) report_error();
    // Room for what a fast path delivers between two poll ticks, so a late joiner's catch-up
    // is not held to one small window a tick. The system may grant less.
    net::request_receive_buffer(socket_, kReceiveBufferBytes);
    return true;
}

void TcpConnection::became_connected() {
    lookup_ticket_.reset();
    phase_ = Phase::kConnected;
    if (OnConnect) OnConnect();
}

TcpConnection::ConnectProgress TcpConnection::connect_failed(bool report) {
    if (report) report_error();
    lookup_ticket_.reset();
    phase_ = Phase::kClosed;
    if (Active()) {
        net::close_socket(socket_);
        socket_ = net::kInvalidSocket;
    }
    return ConnectProgress::kFailed;
}

bool TcpConnection::Connect() {
    if (Connected()) return true;
    if (!open_socket()) return false;
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
    became_connected();
    return true;
}

bool TcpConnection::BeginConnect() {
    if (Connected() || Connecting()) return true;
    if (!open_socket()) return false;
    connect_deadline_ = Clock::now() + connect_timeout;
    lookup_ticket_ = start_lookup(lookup, RemoteHost, RemotePort);
    if (!lookup_ticket_) {
        connect_failed(false);
        return false;
    }
    phase_ = Phase::kLookingUp;
    return true;
}

TcpConnection::ConnectProgress TcpConnection::PollConnect() {
    switch (phase_) {
        case Phase::kConnected:
        case Phase::kBroken:
            return ConnectProgress::kConnected;
        case Phase::kClosed:
            return ConnectProgress::kFailed;
        case Phase::kLookingUp: {
            const auto answer = lookup_ticket_->answer();
            if (!answer) {
                return Clock::now() >= connect_deadline_ ? connect_failed(false)
                                                         : ConnectProgress::kConnecting;
            }
            if (!*answer) return connect_failed(false);
            const net::ConnectStep started = net::start_connect(socket_, **answer);
            if (started == net::ConnectStep::kFailed) return connect_failed(true);
            if (started == net::ConnectStep::kConnected) {
                became_connected();
                return ConnectProgress::kConnected;
            }
            phase_ = Phase::kConnecting;
            lookup_ticket_.reset();
            [[fallthrough]];
        }
        case Phase::kConnecting: {
            const net::ConnectStep step = net::check_connect(socket_);
            if (step == net::ConnectStep::kFailed) return connect_failed(true);
            if (step == net::ConnectStep::kConnected) {
                became_connected();
                return ConnectProgress::kConnected;
            }
            return Clock::now() >= connect_deadline_ ? connect_failed(false)
                                                     : ConnectProgress::kConnecting;
        }
    }
    return ConnectProgress::kFailed;
}

void TcpConnection::Disconnect() {
    const bool was_connected = Connected();
    lookup_ticket_.reset();
    outbound_.clear();
    outbound_start_ = 0;
    phase_ = Phase::kClosed;
    if (was_connected) {
        net::shutdown_both(socket_);
        if (OnDisconnect) OnDisconnect();
    }
    if (Active()) {
        net::close_socket(socket_);
        socket_ = net::kInvalidSocket;
    }
}

bool TcpConnection::PollReadable(std::chrono::milliseconds timeout) {
    // A socket whose connect failed has nothing to read; only a connection is polled.
    if (!Connected()) return false;
    const auto readiness = net::wait_readable(socket_, timeout);
    if (readiness == net::Readiness::kFailed) report_error();
    return readiness == net::Readiness::kReady;
}

bool TcpConnection::PollWritable() {
    if (!PumpOutbound()) return false;
    return kOutboundCapacity - OutboundQueued() >= kLargestRecord;
}

long TcpConnection::ReceiveBytes(std::uint8_t* buffer, std::size_t size) {
    if (!Active()) return -1;
    const long n = net::receive_some(socket_, buffer, size);
    if (n < 0) report_error();
    return n;
}

long TcpConnection::ReceiveAvailable(std::uint8_t* buffer, std::size_t size) {
    if (!Active()) return -1;
    const long n = net::receive_available(socket_, buffer, size);
    if (n == -1) report_error();
    return n;
}

std::optional<std::size_t> TcpConnection::write_queued() {
    std::size_t taken = 0;
    while (outbound_start_ < outbound_.size()) {
        const long n = net::send_some(socket_, outbound_.data() + outbound_start_,
                                      outbound_.size() - outbound_start_);
        if (n < 0) {
            report_error();
            phase_ = Phase::kBroken;
            return std::nullopt;
        }
        if (n == 0) break;  // the socket is full: the rest waits for the next call
        outbound_start_ += static_cast<std::size_t>(n);
        taken += static_cast<std::size_t>(n);
    }
    outbound_written_ += taken;
    if (outbound_start_ == outbound_.size()) {
        outbound_.clear();
        outbound_start_ = 0;
    }
    return taken;
}

bool TcpConnection::PumpOutbound() {
    if (phase_ != Phase::kConnected) return false;
    return write_queued().has_value();
}

TcpConnection::SendResult TcpConnection::SendBytes(std::span<const std::uint8_t> message) {
    SendResult result;
    if (phase_ != Phase::kConnected) return result;
    // Room first: what the socket takes now frees the buffer for this record.
    if (kOutboundCapacity - OutboundQueued() < message.size()) {
        const auto taken = write_queued();
        if (!taken) return result;
        result.sent += *taken;
        if (kOutboundCapacity - OutboundQueued() < message.size()) return result;
    }
    if (outbound_start_ > 0) {
        // Keep the queue at the front, so the buffer never grows past its capacity.
        outbound_.erase(outbound_.begin(),
                        outbound_.begin() + static_cast<std::ptrdiff_t>(outbound_start_));
        outbound_start_ = 0;
    }
    outbound_.insert(outbound_.end(), message.begin(), message.end());
    const auto taken = write_queued();
    if (!taken) return result;
    result.sent += *taken;
    result.ok = true;
    return result;
}

}  // namespace kavro
