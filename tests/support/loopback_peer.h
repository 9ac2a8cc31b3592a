// A scripted relay stand-in on 127.0.0.1: it listens on a port the OS picks, accepts the
// client's connection and reads and writes raw bytes, every wait bounded by a deadline.
// BSD sockets, or WinSock on Windows (where the test's main has started WinSock).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kavro::test {

inline constexpr std::chrono::milliseconds kGenerous{10000};

// The few calls that differ between BSD sockets and WinSock.
namespace loopback {
#ifdef _WIN32
using Handle = SOCKET;
inline constexpr Handle kNone = INVALID_SOCKET;
using PollEntry = WSAPOLLFD;
inline int poll(PollEntry* entry, int timeout_ms) { return ::WSAPoll(entry, 1, timeout_ms); }
inline void close(Handle handle) { ::closesocket(handle); }
inline constexpr int kNoSignal = 0;  // WinSock raises no signal on a closed peer
using Length = int;
#else
using Handle = int;
inline constexpr Handle kNone = -1;
using PollEntry = pollfd;
inline int poll(PollEntry* entry, int timeout_ms) { return ::poll(entry, 1, timeout_ms); }
inline void close(Handle handle) { ::close(handle); }
inline constexpr int kNoSignal = MSG_NOSIGNAL;
using Length = socklen_t;
#endif

// True when `handle` becomes readable (or closed) within `timeout_ms`.
inline bool readable_within(Handle handle, long long timeout_ms) {
    PollEntry entry{};
    entry.fd = handle;
    entry.events = POLLIN;
    return poll(&entry, static_cast<int>(timeout_ms)) > 0;
}
}  // namespace loopback

class PeerSocket {
  public:
    PeerSocket() = default;
    explicit PeerSocket(loopback::Handle fd) : fd_(fd) {}
    PeerSocket(PeerSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = loopback::kNone; }
    PeerSocket& operator=(PeerSocket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~PeerSocket() { close(); }

    bool valid() const { return fd_ != loopback::kNone; }

    void send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const auto n = ::send(fd_, reinterpret_cast<const char*>(bytes.data()) + sent,
                                  static_cast<int>(bytes.size() - sent), loopback::kNoSignal);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }
    void send(const std::string& text) const {
        send(std::vector<std::uint8_t>(text.begin(), text.end()));
    }

    // Reads exactly `n` bytes, or fewer when the deadline passes or the client closes.
    std::vector<std::uint8_t> read(std::size_t n,
                                   std::chrono::milliseconds within = kGenerous) const {
        std::vector<std::uint8_t> bytes;
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (bytes.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !loopback::readable_within(fd_, left.count())) break;
            char chunk[65536];
            const auto got =
                ::recv(fd_, chunk, static_cast<int>((std::min)(sizeof chunk, n - bytes.size())), 0);
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    // True when the client has closed its end (a read sees end of stream) within the deadline.
    bool closed_by_client(std::chrono::milliseconds within = kGenerous) const {
        if (!loopback::readable_within(fd_, within.count())) return false;
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK) == 0;
    }

    void close() {
        if (valid()) loopback::close(fd_);
        fd_ = loopback::kNone;
    }

  private:
    loopback::Handle fd_ = loopback::kNone;
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
        loopback::Length length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() { loopback::close(fd_); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

    // The next connection the client made (the kernel completes it before accept).
    PeerSocket accept(std::chrono::milliseconds within = kGenerous) const {
        if (!loopback::readable_within(fd_, within.count())) return PeerSocket{};
        return PeerSocket(::accept(fd_, nullptr, nullptr));
    }
    // True when a connection is waiting to be accepted right now.
    bool has_pending() const { return loopback::readable_within(fd_, 0); }

  private:
    loopback::Handle fd_ = loopback::kNone;
    std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens: bound, then closed.
inline std::uint16_t unused_port() {
    LoopbackListener listener;
    return listener.port();
}

}  // namespace kavro::test
