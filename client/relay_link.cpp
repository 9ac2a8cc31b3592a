// The link over the client's TcpConnection.
#include "client/relay_link.h"

#include "link/receive_pump.h"

namespace kavro {

bool TcpRelayLink::begin_connect() {
    tcp_.Disconnect();
    return tcp_.BeginConnect();
}

RelayLink::Progress TcpRelayLink::poll_connect() {
    switch (tcp_.PollConnect()) {
        case TcpConnection::ConnectProgress::kConnecting:
            return Progress::kConnecting;
        case TcpConnection::ConnectProgress::kConnected:
            return Progress::kConnected;
        case TcpConnection::ConnectProgress::kFailed:
            break;
    }
    return Progress::kFailed;
}

RelayLink::Sent TcpRelayLink::send(std::span<const std::uint8_t> record) {
    const auto result = tcp_.SendBytes(record);
    return {result.sent, result.ok};
}

RelayLink::Sent TcpRelayLink::pump() {
    const std::size_t queued = tcp_.OutboundQueued();
    const bool ok = tcp_.PumpOutbound();
    return {queued - tcp_.OutboundQueued(), ok};
}

RelayLink::Received TcpRelayLink::receive(ReceiveBuffer& buffer, MessageHandler& handler) {
    const ReceiveReport report = receive_and_dispatch(tcp_, buffer, handler);
    return {report.outcome, report.bytes, report.closed, report.backlog};
}

}  // namespace kavro
