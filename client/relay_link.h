// The core's one connection to the relay, as the core uses it: opened without waiting, records
// sent without waiting, and what arrived handed to the dispatcher. TcpRelayLink is the real one
// over a TcpConnection; the core's tests use a scripted one with no socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/receive_buffer.h"
#include "link/tcp_connection.h"

namespace kavro {

class RelayLink {
  public:
    enum class Progress { kConnecting, kConnected, kFailed };
    // What one send achieved: the bytes the socket took, and whether the record was taken whole
    // (sent, or queued to be sent). Not ok: the connection failed or has no room.
    struct Sent {
        std::size_t bytes = 0;
        bool ok = false;
    };
    // What one tick's receiving came to.
    struct Received {
        ReceiveBuffer::Outcome outcome = ReceiveBuffer::Outcome::kWaiting;
        std::size_t bytes = 0;  // taken from the socket this tick
        bool closed = false;    // the relay closed the connection, or it failed
        bool backlog = false;   // more was waiting than a tick takes: catching up
    };

    virtual ~RelayLink() = default;

    // Starts opening the connection; false when it failed at once.
    virtual bool begin_connect() = 0;
    // Never waits; kFailed once the connect deadline has passed.
    virtual Progress poll_connect() = 0;
    virtual void disconnect() = 0;
    virtual bool connected() const = 0;
    virtual Sent send(std::span<const std::uint8_t> record) = 0;
    // Writes what is queued as far as the socket takes it, without waiting: what the socket took,
    // and ok false when the connection failed.
    virtual Sent pump() = 0;
    // Whether another whole data record would be taken now.
    virtual bool writable() = 0;
    // Takes what the socket holds (bounded per tick) and hands each complete message to
    // `handler`; a message leaves `buffer` before its handler runs.
    virtual Received receive(ReceiveBuffer& buffer, MessageHandler& handler) = 0;
};

// The real link. Its connection's OnConnect and OnDisconnect stay its owner's.
class TcpRelayLink final : public RelayLink {
  public:
    explicit TcpRelayLink(TcpConnection& tcp) : tcp_(tcp) {}

    bool begin_connect() override;
    Progress poll_connect() override;
    void disconnect() override { tcp_.Disconnect(); }
    bool connected() const override { return tcp_.Connected(); }
    Sent send(std::span<const std::uint8_t> record) override;
    Sent pump() override;
    bool writable() override { return tcp_.PollWritable(); }
    Received receive(ReceiveBuffer& buffer, MessageHandler& handler) override;

  private:
    TcpConnection& tcp_;
};

}  // namespace kavro
