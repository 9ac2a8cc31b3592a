// The client's one TCP connection to the relay. Connect and Disconnect raise OnConnect and
// OnDisconnect synchronously, so the owner's handlers have run by the time they return.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "link/bounded_lookup.h"
#include "link/socket_api.h"

namespace kavro {

class TcpConnection {
  public:
    // What a send achieved: the bytes handed to the socket, and whether all of them were.
    struct SendResult {
        std::size_t sent = 0;
        bool ok = false;
    };

    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    std::string RemoteHost = "localhost";
    std::string RemotePort = "47475";
    // A connect (the address lookup included) or a send that cannot finish within these gives up.
    std::chrono::milliseconds connect_timeout{5000};
    std::chrono::milliseconds send_timeout{5000};

    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;
    std::function<void(int)> OnError;  // the system's error code of a failing socket call
    // How RemoteHost and RemotePort become an address, done afresh at every connect so a relay
    // that moved is found. Runs on a helper thread (see lookup_within); tests replace it.
    AddressLookup lookup = net::resolve;

    // Opens the connection; raises OnConnect before returning true.
    bool Connect();
    // Closes the connection; raises OnDisconnect only when leaving the connected state.
    void Disconnect();
    // With a zero timeout, answers at once whether a receive would not wait. A closed or
    // failed connection counts as readable; the receive then returns 0 or -1.
    bool PollReadable(std::chrono::milliseconds timeout);
    // Answers at once whether a send would take bytes now; false unless connected.
    bool PollWritable();
    // One receive: the byte count, 0 when the peer closed the connection, -1 on error.
    long ReceiveBytes(std::uint8_t* buffer, std::size_t size);
    // Sends the whole message, continuing partial sends, or fails when the socket fails or the
    // message cannot be sent within send_timeout.
    SendResult SendBytes(std::span<const std::uint8_t> message);

    bool Active() const { return socket_ != net::kInvalidSocket; }
    // The socket itself, for reading its options; kInvalidSocket when not active.
    net::SocketHandle Handle() const { return socket_; }
    bool Connected() const { return connected_; }

  private:
    void report_error();

    net::SocketHandle socket_ = net::kInvalidSocket;
    bool connected_ = false;
};

}  // namespace kavro
