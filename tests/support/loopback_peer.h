// A scripted relay stand-in on 127.0.0.1: it listens on a port the OS picks, accepts the
// client's connection and reads and writes raw bytes, every wait bounded by a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kavro::test {

inline constexpr std::chrono::milliseconds kGenerous{10000};

class PeerSocket {
public:
    PeerSocket() = default;
    explicit PeerSocket(int fd) : fd_(fd) {}
    PeerSocket(PeerSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    PeerSocket& operator=(PeerSocket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~PeerSocket() { close(); }

    bool valid() const { return fd_ >= 0; }

    void send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }
    void send(const std::string& text) const { send(std::vector<std::uint8_t>(text.begin(), text.end())); }

    // Reads exactly `n` bytes, or fewer when the deadline passes or the client closes.
    std::vector<std::uint8_t> read(std::size_t n, std::chrono::milliseconds within = kGenerous) const {
        std::vector<std::uint8_t> bytes;
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (bytes.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t chunk[65536];
            const auto got = ::recv(fd_, chunk, std::min(sizeof chunk, n - bytes.size()), 0);
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    // True when the client has closed its end (a read sees end of stream) within the deadline.
    bool closed_by_client(std::chrono::milliseconds within = kGenerous) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(within.count())) <= 0) return false;
        std::uint8_t byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK) == 0;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

class LoopbackListener {
public:
    LoopbackListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 16);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() { ::close(fd_); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

    // The next connection the client made (the kernel completes it before accept).
    PeerSocket accept(std::chrono::milliseconds within = kGenerous) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(within.count())) <= 0) return PeerSocket{};
        return PeerSocket(::accept(fd_, nullptr, nullptr));
    }
    // True when a connection is waiting to be accepted right now.
    bool has_pending() const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens: bound, then closed.
inline std::uint16_t unused_port() {
    LoopbackListener listener;
    return listener.port();
}

}  // namespace kavro::test
