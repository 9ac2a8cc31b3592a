#include "wire/relay_message_decoder.h"

#include <algorithm>

namespace kavro::wire {
namespace {

RelayMessageType type_of_tag(ConstBytes head) {
    if (has_tag(head, kTagError)) return RelayMessageType::kError;
    if (has_tag(head, kTagCasterList)) return RelayMessageType::kCasterList;
    if (has_tag(head, kTagReplayHeader)) return RelayMessageType::kReplayHeader;
    if (has_tag(head, kTagReplayData)) return RelayMessageType::kReplayData;
    if (has_tag(head, kTagKeepAlive)) return RelayMessageType::kKeepAlive;
    return RelayMessageType::kUnknown;
}

}  // namespace

DecodedRelayMessage decode_relay_message(ConstBytes buffered, std::size_t largest) {
    DecodedRelayMessage decoded;
    if (buffered.size() < 3) return decoded;  // kNeedMore

    if (has_tag(buffered, kTagAck)) {
        if (buffered.size() < kAckSize) return decoded;
        const bool ok = std::equal(kAckAccepted.begin(), kAckAccepted.end(), buffered.begin());
        decoded.status = RelayDecodeStatus::kComplete;
        decoded.size = kAckSize;
        decoded.message.type = ok ? RelayMessageType::kAccepted : RelayMessageType::kRefused;
        return decoded;
    }

    if (buffered.size() < kHeadSize) return decoded;
    const std::size_t total = kHeadSize + payload_length(buffered);
    if (total > largest) {
        decoded.status = RelayDecodeStatus::kBad;
        return decoded;
    }
    if (buffered.size() < total) return decoded;

    decoded.status = RelayDecodeStatus::kComplete;
    decoded.size = total;
    RelayMessage& message = decoded.message;
    message.type = type_of_tag(buffered);
    message.payload = buffered.subspan(kHeadSize, total - kHeadSize);
    if (message.type == RelayMessageType::kKeepAlive) {
        if (const auto offer = decode_resume_offer(message.payload);
            offer.status == ResumeOfferStatus::kComplete) {
            message.resume_offer = offer.offer;
        }
    }
    return decoded;
}

std::string error_text(ConstBytes payload) { return read_text_field(payload, 0, payload.size()); }

}  // namespace kavro::wire
