// The link over the client's TcpConnection.
#include "client/relay_link.h"

#include <chrono>

namespace kavro {
namespace {

// Receives one tick makes at most: 16 of at most 16,386 bytes.
constexpr int kMaxReceivesPerTick = 16;

}  // namespace

bool TcpRelayLink::begin_connect() {
    tcp_.Disconnect();
    // MERGE(link): `return tcp_.BeginConnect();` once TcpConnection connects without waiting.
    progress_ = tcp_.Connect() ? Progress::kConnected : Progress::kFailed;
    return progress_ != Progress::kFailed;
}

RelayLink::Progress TcpRelayLink::poll_connect() {
    // MERGE(link): map tcp_.PollConnect() (kConnecting, kConnected, kFailed) here.
    if (tcp_.Connected()) return Progress::kConnected;
    return progress_ == Progress::kConnecting ? Progress::kConnecting : Progress::kFailed;
}

RelayLink::Sent TcpRelayLink::send(std::span<const std::uint8_t> record) {
    const auto result = tcp_.SendBytes(record);
    return {result.sent, result.ok};
}

RelayLink::Sent TcpRelayLink::pump() {
    // MERGE(link): once sends are queued:
    //   const std::size_t queued = tcp_.OutboundQueued();
    //   const bool ok = tcp_.PumpOutbound();
    //   return {queued - tcp_.OutboundQueued(), ok};
    return {0, tcp_.Connected()};
}

RelayLink::Received TcpRelayLink::receive(ReceiveBuffer& buffer, MessageHandler& handler) {
    // MERGE(link): `const auto r = receive_and_dispatch(tcp_, buffer, handler);
    //               return {r.outcome, r.bytes, r.closed};`
    Received received;
    for (int receives = 0; receives < kMaxReceivesPerTick; ++receives) {
        if (!tcp_.Connected() || !tcp_.PollReadable(std::chrono::milliseconds(0))) break;
        const auto area = buffer.receive_area();
        const long n = tcp_.ReceiveBytes(area.data(), area.size());
        if (n <= 0) {
            received.closed = true;
            break;
        }
        received.bytes += static_cast<std::size_t>(n);
        buffer.commit(static_cast<std::size_t>(n));
        received.outcome = buffer.dispatch(handler);
        if (received.outcome != ReceiveBuffer::Outcome::kWaiting) break;
    }
    return received;
}

}  // namespace kavro
