#include "link/receive_buffer.h"

#include <algorithm>
#include <cstring>

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
    using namespace wire;
    for (;;) {
        const ConstBytes front = contents();
        if (front.size() < 3) return Outcome::kWaiting;

        if (has_tag(front, kTagAck)) {
            if (front.size() < kAckSize) return Outcome::kWaiting;
            const bool ok = std::equal(kAckAccepted.begin(), kAckAccepted.end(), front.begin());
            // Gone from the buffer before its handler runs, as every message.
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

        // The message leaves the buffer first: a handler that throws (a full disk, no memory)
        // must not see it again on the next dispatch. Its bytes stay in place until the next
        // receive_area(), which no handler calls, so the handler reads them without a copy.
        const ConstBytes payload = front.subspan(kHeadSize, total - kHeadSize);
        consume(total);
        if (has_tag(front, kTagError)) {
            handler.error(read_text_field(payload, 0, payload.size()));
            return Outcome::kEnded;
        }
        if (has_tag(front, kTagCasterList)) {
            handler.caster_list(payload);
        } else if (has_tag(front, kTagReplayHeader)) {
            handler.replay_header(payload);
        } else if (has_tag(front, kTagReplayData)) {
            handler.replay_data(payload);
        } else if (has_tag(front, kTagKeepAlive)) {
            if (const auto offer = decode_resume_offer(payload);
                offer.status == ResumeOfferStatus::kComplete) {
                handler.resume_offer(offer.offer);
            }
        }
        // Tags this client does not know: nothing to do but step over them.
    }
}

}  // namespace kavro
