#include "link/socket_api.h"

#include <cctype>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h, which it needs
#include <mstcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kavro::net {
namespace {

#ifdef _WIN32
using PollFd = WSAPOLLFD;
int poll_one(PollFd* fd, int timeout_ms) { return WSAPoll(fd, 1, timeout_ms); }
bool would_block() {
    const int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
void set_non_blocking(SocketHandle s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
#else
using PollFd = pollfd;
int poll_one(PollFd* fd, int timeout_ms) {
    int r;
    do {
        r = ::poll(fd, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r;
}
bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS; }
void set_non_blocking(SocketHandle s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL, 0) | O_NONBLOCK); }
#endif

int to_poll_timeout(std::chrono::milliseconds timeout) {
    return timeout.count() < 0 ? 0 : static_cast<int>(timeout.count());
}

std::optional<std::uint16_t> resolve_port(const std::string& port) {
    if (servent* service = ::getservbyname(port.c_str(), "tcp")) {
        return static_cast<std::uint16_t>(service->s_port);
    }
    if (port.empty() || port.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return htons(static_cast<std::uint16_t>(value));
}

}  // namespace

bool start_sockets() {
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}

bool stop_sockets() {
#ifdef _WIN32
    return WSACleanup() == 0;
#else
    return true;
#endif
}

std::optional<Endpoint> resolve(const std::string& host, const std::string& port) {
    const auto port_value = resolve_port(port);
    if (!port_value || host.empty()) return std::nullopt;
    Endpoint endpoint;
    endpoint.port = *port_value;
    if (std::isdigit(static_cast<unsigned char>(host[0]))) {
        in_addr parsed{};
        if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) return std::nullopt;
        std::memcpy(&endpoint.address, &parsed, sizeof endpoint.address);
        return endpoint;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(&endpoint.address, &address->sin_addr, sizeof endpoint.address);
    ::freeaddrinfo(found);
    return endpoint;
}

SocketHandle open_stream_socket() {
    const auto socket = static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, 0));
#ifdef SO_NOSIGPIPE
    if (socket != kInvalidSocket) {
        int on = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
    }
#endif
    return socket;
}

KeepAliveFigures keep_alive_figures() {
#ifdef _WIN32
    // Ten probes, a count Windows fixes: 10 s + 10 x 4 s, so a dead path fails within 50 s.
    return {10, 4, 10, 0};
#else
    // 10 s + 6 x 5 s: a dead path fails within 40 s, as does data left unacknowledged.
    return {10, 5, 6, 40000};
#endif
}

bool enable_keep_alive(SocketHandle socket) {
    const KeepAliveFigures figures = keep_alive_figures();
#ifdef _WIN32
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(figures.idle_seconds) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(figures.interval_seconds) * 1000;
    DWORD returned = 0;
    const bool set = ::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                                &returned, nullptr, nullptr) == 0;
    // SIO_KEEPALIVE_VALS turns keep-alive on; saying so as well costs nothing and reads back.
    BOOL on = TRUE;
    return set && ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                               sizeof on) == 0;
#else
    const auto set = [socket](int level, int option, int value) {
        return ::setsockopt(socket, level, option, &value, sizeof value) == 0;
    };
    bool ok = set(SOL_SOCKET, SO_KEEPALIVE, 1);
    ok = set(IPPROTO_TCP, TCP_KEEPIDLE, figures.idle_seconds) && ok;
    ok = set(IPPROTO_TCP, TCP_KEEPINTVL, figures.interval_seconds) && ok;
    ok = set(IPPROTO_TCP, TCP_KEEPCNT, figures.probes) && ok;
#ifdef TCP_USER_TIMEOUT
    ok = set(IPPROTO_TCP, TCP_USER_TIMEOUT, figures.unacknowledged_limit_ms) && ok;
#endif
    return ok;
#endif
}

void close_socket(SocketHandle socket) {
#ifdef _WIN32
    ::closesocket(socket);
#else
    ::close(socket);
#endif
}

void shutdown_both(SocketHandle socket) {
#ifdef _WIN32
    ::shutdown(socket, SD_BOTH);
#else
    ::shutdown(socket, SHUT_RDWR);
#endif
}

void make_non_blocking(SocketHandle socket) { set_non_blocking(socket); }

bool disable_send_delay(SocketHandle socket) {
    int on = 1;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
}

int request_receive_buffer(SocketHandle socket, int bytes) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                 sizeof bytes);
    int granted = 0;
    socklen_t length = sizeof granted;
    if (::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) !=
        0) {
        return 0;
    }
    return granted;
}

ConnectStep start_connect(SocketHandle socket, const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = endpoint.port;
    std::memcpy(&address.sin_addr, &endpoint.address, sizeof endpoint.address);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return ConnectStep::kConnected;
    }
    return would_block() ? ConnectStep::kInProgress : ConnectStep::kFailed;
}

ConnectStep check_connect(SocketHandle socket) {
#ifdef _WIN32
    // WinSock reports a finished connect as writable and a failed one as an exception; select
    // tells both, where WSAPoll misses a refused connect on some versions.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval zero{0, 0};
    const int r = ::select(0, nullptr, &writable, &failed, &zero);
    if (r < 0) return ConnectStep::kFailed;
    if (r == 0) return ConnectStep::kInProgress;
    if (FD_ISSET(socket, &failed)) return ConnectStep::kFailed;
#else
    PollFd fd{};
    fd.fd = socket;
    fd.events = POLLOUT;
    const int r = poll_one(&fd, 0);
    if (r < 0) return ConnectStep::kFailed;
    if (r == 0) return ConnectStep::kInProgress;
#endif
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return ConnectStep::kFailed;
    }
    if (error != 0) {
#ifdef _WIN32
        WSASetLastError(error);
#else
        errno = error;
#endif
        return ConnectStep::kFailed;
    }
    return ConnectStep::kConnected;
}

bool connect_within(SocketHandle socket, const Endpoint& endpoint,
                    std::chrono::milliseconds timeout) {
    set_non_blocking(socket);
    const ConnectStep started = start_connect(socket, endpoint);
    if (started != ConnectStep::kInProgress) return started == ConnectStep::kConnected;
    if (!wait_writable(socket, timeout)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return false;
    }
    return error == 0;
}

Readiness wait_readable(SocketHandle socket, std::chrono::milliseconds timeout) {
    PollFd fd{};
    fd.fd = socket;
    fd.events = POLLIN;
    const int r = poll_one(&fd, to_poll_timeout(timeout));
    if (r < 0) return Readiness::kFailed;
    // A closed or failed connection counts as readable: the receive then reports it.
    return r > 0 ? Readiness::kReady : Readiness::kNotReady;
}

bool wait_writable(SocketHandle socket, std::chrono::milliseconds timeout) {
    PollFd fd{};
    fd.fd = socket;
    fd.events = POLLOUT;
    return poll_one(&fd, to_poll_timeout(timeout)) > 0 && (fd.revents & POLLOUT) != 0;
}

long receive_some(SocketHandle socket, std::uint8_t* buffer, std::size_t size) {
    const auto n = ::recv(socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    return n < 0 ? -1 : static_cast<long>(n);
}

long receive_available(SocketHandle socket, std::uint8_t* buffer, std::size_t size) {
    const auto n = ::recv(socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (n < 0) return would_block() ? kNothingToRead : -1;
    return static_cast<long>(n);
}

long send_some(SocketHandle socket, const std::uint8_t* data, std::size_t size) {
#if defined(_WIN32)
    const int flags = 0;
#elif defined(MSG_NOSIGNAL)
    const int flags = MSG_NOSIGNAL;
#else
    const int flags = 0;  // SO_NOSIGPIPE, set when the socket is opened, does the same
#endif
    const auto n =
        ::send(socket, reinterpret_cast<const char*>(data), static_cast<int>(size), flags);
    if (n < 0) return would_block() ? 0 : -1;
    return static_cast<long>(n);
}

int last_error() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

}  // namespace kavro::net
