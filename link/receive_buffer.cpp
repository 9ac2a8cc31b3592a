#include "link/receive_buffer.h"

#include <algorithm>
#include <cstring>

namespace kavro {

std::span<std::uint8_t> ReceiveBuffer::receive_area() {
    const std::size_t free = kCapacity - rx_count_;
    return {rx_buffer_.data() + rx_count_, std::min(free, kMaxReceive)};
}

void ReceiveBuffer::commit(std::size_t n) { rx_count_ = std::min(kCapacity, rx_count_ + n); }

void ReceiveBuffer::consume(std::size_t n) {
    std::memmove(rx_buffer_.data(), rx_buffer_.data() + n, rx_count_ - n);
    rx_count_ -= n;
}

ReceiveBuffer::Outcome ReceiveBuffer::dispatch(MessageHandler& handler) {
    using namespace wire;
    for (;;) {
        const ConstBytes front = contents();
        if (front.size() < 3) return Outcome::kWaiting;

        if (has_tag(front, kTagAck)) {
            if (front.size() < kAckSize) return Outcome::kWaiting;
            const bool ok = std::equal(kAckAccepted.begin(), kAckAccepted.end(), front.begin());
            consume(kAckSize);
            ok ? handler.accepted() : handler.refused();
            continue;
        }

        if (front.size() < kHeadSize) return Outcome::kWaiting;
        const std::size_t total = kHeadSize + payload_length(front);
        if (total > kCapacity) {
            clear();
            return Outcome::kOverflow;
        }
        if (front.size() < total) return Outcome::kWaiting;

        // Handlers get a copy-free view; the message is consumed only after they return, and
        // nothing in a handler touches this buffer.
        const ConstBytes payload = front.subspan(kHeadSize, total - kHeadSize);
        if (has_tag(front, kTagError)) {
            const std::string text = read_text_field(payload, 0, payload.size());
            consume(total);
            handler.error(text);
            return Outcome::kEnded;
        }
        if (has_tag(front, kTagCasterList)) {
            handler.caster_list(payload);
        } else if (has_tag(front, kTagReplayHeader)) {
            handler.replay_header(payload);
        } else if (has_tag(front, kTagReplayData)) {
            handler.replay_data(payload);
        }
        // KAL and tags this client does not know: nothing to do but step over them.
        consume(total);
    }
}

}  // namespace kavro
