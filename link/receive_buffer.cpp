#include "link/receive_buffer.h"

#include <algorithm>
#include <cstring>

#include "wire/relay_message_decoder.h"

namespace kavro {

std::span<std::uint8_t> ReceiveBuffer::receive_area() {
    if (rx_start_ > 0) {
        std::memmove(rx_buffer_.data(), rx_buffer_.data() + rx_start_, rx_count_);
        rx_start_ = 0;
    }
    const std::size_t free = kCapacity - rx_count_;
    return {rx_buffer_.data() + rx_count_, std::min(free, kMaxReceive)};
}

void ReceiveBuffer::commit(std::size_t n) {
    rx_count_ = std::min(kCapacity - rx_start_, rx_count_ + n);
}

void ReceiveBuffer::consume(std::size_t n) {
    rx_start_ += n;
    rx_count_ -= n;
    if (rx_count_ == 0) rx_start_ = 0;
}

ReceiveBuffer::Outcome ReceiveBuffer::dispatch(MessageHandler& handler) {
    using wire::RelayDecodeStatus;
    using wire::RelayMessageType;
    for (;;) {
        const wire::DecodedRelayMessage decoded = wire::decode_relay_message(contents(), kCapacity);
        if (decoded.status == RelayDecodeStatus::kNeedMore) return Outcome::kWaiting;
        if (decoded.status == RelayDecodeStatus::kBad) {
            clear();
            return Outcome::kOverflow;
        }

        // The message leaves the buffer first: a handler that throws (a full disk, no memory)
        // must not see it again on the next dispatch. Its bytes stay in place until the next
        // receive_area(), which no handler calls, so the handler reads them without a copy.
        consume(decoded.size);
        const wire::RelayMessage& message = decoded.message;
        switch (message.type) {
            case RelayMessageType::kAccepted:
                handler.accepted();
                break;
            case RelayMessageType::kRefused:
                handler.refused();
                break;
            case RelayMessageType::kError:
                handler.error(wire::error_text(message.payload));
                return Outcome::kEnded;
            case RelayMessageType::kCasterList:
                handler.caster_list(message.payload);
                break;
            case RelayMessageType::kReplayHeader:
                handler.replay_header(message.payload);
                break;
            case RelayMessageType::kReplayData:
                handler.replay_data(message.payload);
                break;
            case RelayMessageType::kKeepAlive:
                if (message.resume_offer) handler.resume_offer(*message.resume_offer);
                break;
            case RelayMessageType::kUnknown:
                // Tags this client does not know: nothing to do but step over them.
                break;
        }
    }
}

}  // namespace kavro
