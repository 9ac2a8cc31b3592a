// Thin wrappers over the platform's socket calls (BSD sockets, or WinSock on Windows), so the
// connection class reads the same on both and the differences stay in one file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kavro::net {

#ifdef _WIN32
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Starts and stops the sockets library (WinSock needs it; elsewhere they do nothing).
bool start_sockets();
bool stop_sockets();

// An IPv4 address and port in network byte order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// Host: a text starting with a digit must be a dotted IPv4 address; anything else is looked up
// by name and its first IPv4 address is used. Port: a service name first, else a decimal number.
std::optional<Endpoint> resolve(const std::string& host, const std::string& port);

SocketHandle open_stream_socket();

// How the system probes an idle connection, so a path that died without a word is noticed: the
// first probe after `idle_seconds` of silence, then one every `interval_seconds`, and the
// connection fails when `probes` go unanswered. Sent data left unacknowledged for
// `unacknowledged_limit_ms` fails it too, where the system offers that (Linux).
struct KeepAliveFigures {
    int idle_seconds;
    int interval_seconds;
    int probes;
    int unacknowledged_limit_ms;  // 0 where the system has no such limit
};
KeepAliveFigures keep_alive_figures();
// Turns keep-alive on with keep_alive_figures(); false when the system refused any of it.
bool enable_keep_alive(SocketHandle socket);
void close_socket(SocketHandle socket);
void shutdown_both(SocketHandle socket);

// Makes every later call on `socket` return at once instead of waiting.
void make_non_blocking(SocketHandle socket);
// Sends small records at once instead of holding them for a fuller segment (Nagle's algorithm
// off); false when the system refused.
bool disable_send_delay(SocketHandle socket);
// Asks for a receive buffer of `bytes`; the system may grant less. Returns what it granted (0
// when unknown).
int request_receive_buffer(SocketHandle socket, int bytes);

// A connect that never waits: start_connect begins it, check_connect answers whether it has
// finished. The socket must be non-blocking.
enum class ConnectStep { kConnected, kInProgress, kFailed };
ConnectStep start_connect(SocketHandle socket, const Endpoint& endpoint);
ConnectStep check_connect(SocketHandle socket);

// Connects, giving up after `timeout`. The socket is left non-blocking either way: every later
// wait is an explicit poll, so nothing blocks the caller past its own deadline.
bool connect_within(SocketHandle socket, const Endpoint& endpoint,
                    std::chrono::milliseconds timeout);

enum class Readiness { kReady, kNotReady, kFailed };
Readiness wait_readable(SocketHandle socket, std::chrono::milliseconds timeout);
bool wait_writable(SocketHandle socket, std::chrono::milliseconds timeout);

// One receive: bytes received, 0 when the peer closed, -1 on error (or nothing to read).
long receive_some(SocketHandle socket, std::uint8_t* buffer, std::size_t size);
// What a receive on a non-blocking socket gives when nothing waits to be read.
inline constexpr long kNothingToRead = -2;
// One receive that tells "nothing to read yet" (kNothingToRead) from an error (-1).
long receive_available(SocketHandle socket, std::uint8_t* buffer, std::size_t size);
// One send that never raises SIGPIPE: bytes taken, 0 when the socket would block, -1 on error.
long send_some(SocketHandle socket, const std::uint8_t* data, std::size_t size);

int last_error();

}  // namespace kavro::net
