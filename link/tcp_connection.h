// The client's one TCP connection to the relay. Nothing here waits on the network except the
// old blocking Connect(): BeginConnect/PollConnect connect in steps a timer advances, and every
// record sent goes into a bounded outbound buffer that is written as the socket takes it.
// OnConnect and OnDisconnect are raised synchronously, inside the call that changes the state.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/bounded_lookup.h"
#include "link/socket_api.h"

namespace kavro {

class TcpConnection {
  public:
    // What a send achieved: the bytes the socket took during the call (queued bytes of earlier
    // records included), and whether the record was taken whole into the outbound buffer.
    struct SendResult {
        std::size_t sent = 0;
        bool ok = false;
    };

    enum class ConnectProgress { kConnecting, kConnected, kFailed };

    // Bytes the outbound buffer holds at most: a few header uploads, or 64 blocks.
    static constexpr std::size_t kOutboundCapacity = 256 * 1024;
    // The largest record the client sends (NRF0): PollWritable answers room for one of these.
    static constexpr std::size_t kLargestRecord = 16390;
    // The receive buffer asked of the system, so a late joiner's catch-up is not held back by
    // a window smaller than the path holds.
    static constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    std::string RemoteHost = "localhost";
    std::string RemotePort = "47475";
    // A connect (the address lookup included) that has not finished within this fails.
    std::chrono::milliseconds connect_timeout{5000};
    // Kept for callers that set it; sending no longer waits, so nothing reads it.
    std::chrono::milliseconds send_timeout{5000};

    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;
    std::function<void(int)> OnError;  // the system's error code of a failing socket call
    // How RemoteHost and RemotePort become an address, done afresh at every connect so a relay
    // that moved is found. Runs on a helper thread (see start_lookup); tests replace it.
    AddressLookup lookup = net::resolve;

    // Opens the connection, waiting up to connect_timeout; raises OnConnect before returning
    // true. For callers that may wait; the window uses BeginConnect/PollConnect.
    bool Connect();
    // Starts the lookup and the connect without waiting. False when it failed at once (no
    // socket); true while connecting or already connected.
    bool BeginConnect();
    // Advances a connect begun by BeginConnect without waiting. On becoming connected it raises
    // OnConnect (inside this call) and answers kConnected; kFailed when the lookup or the
    // connect failed or connect_timeout passed since BeginConnect (the socket is then closed).
    ConnectProgress PollConnect();
    // Closes the connection (or a connect under way) and drops what waits to be sent; raises
    // OnDisconnect only when leaving the connected state.
    void Disconnect();
    // With a zero timeout, answers at once whether a receive would not wait. A closed or
    // failed connection counts as readable; the receive then returns 0 or -1.
    bool PollReadable(std::chrono::milliseconds timeout);
    // Writes what is queued as far as the socket takes it, then answers whether the outbound
    // buffer has room for one more kLargestRecord; false unless connected.
    bool PollWritable();
    // One receive: the byte count, 0 when the peer closed the connection, -1 on error.
    long ReceiveBytes(std::uint8_t* buffer, std::size_t size);
    // One receive that never waits: as ReceiveBytes, or net::kNothingToRead when nothing waits.
    long ReceiveAvailable(std::uint8_t* buffer, std::size_t size);
    // Queues the whole record and writes what the socket takes now, never waiting. ok=false
    // when not connected, when the connection failed, or when the record does not fit in the
    // outbound buffer (nothing of it is queued then).
    SendResult SendBytes(std::span<const std::uint8_t> message);
    // Writes queued bytes as far as the socket takes them without waiting; false when the
    // connection failed (or there is none). The owner calls it at the start of every tick.
    bool PumpOutbound();
    // Bytes queued and not yet taken by the socket.
    std::size_t OutboundQueued() const { return outbound_.size() - outbound_start_; }
    // Bytes the socket took from the outbound buffer since the connection opened.
    std::uint64_t OutboundWritten() const { return outbound_written_; }

    bool Active() const { return socket_ != net::kInvalidSocket; }
    // The socket itself, for reading its options; kInvalidSocket when not active.
    net::SocketHandle Handle() const { return socket_; }
    bool Connected() const { return phase_ == Phase::kConnected || phase_ == Phase::kBroken; }
    bool Connecting() const { return phase_ == Phase::kLookingUp || phase_ == Phase::kConnecting; }

  private:
    enum class Phase {
        kClosed,      // no socket, or one whose connect failed
        kLookingUp,   // the address lookup runs on its helper thread
        kConnecting,  // the connect is under way
        kConnected,
        kBroken,  // connected, but a send failed: only Disconnect leads on
    };

    bool open_socket();
    void became_connected();
    ConnectProgress connect_failed(bool report);
    // Writes queued bytes; the count the socket took, or nullopt when the send failed.
    std::optional<std::size_t> write_queued();
    void report_error();

    net::SocketHandle socket_ = net::kInvalidSocket;
    Phase phase_ = Phase::kClosed;
    std::optional<LookupTicket> lookup_ticket_;
    std::chrono::steady_clock::time_point connect_deadline_{};
    std::vector<std::uint8_t> outbound_;
    std::size_t outbound_start_ = 0;
    std::uint64_t outbound_written_ = 0;
};

}  // namespace kavro
