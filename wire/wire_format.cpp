#include "wire/wire_format.h"

#include <algorithm>

namespace kavro::wire {

void put_u16le(Bytes out, std::size_t offset, std::uint16_t value) {
    out[offset] = static_cast<std::uint8_t>(value & 0xFF);
    out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t get_u16le(ConstBytes in, std::size_t offset) {
    return static_cast<std::uint16_t>(in[offset] | (in[offset + 1] << 8));
}

void put_text_field(Bytes out, std::size_t offset, std::size_t width, std::string_view text) {
    const std::size_t n = std::min(width, text.size());
    for (std::size_t i = 0; i < width; ++i) {
        out[offset + i] = i < n ? static_cast<std::uint8_t>(text[i]) : 0;
    }
}

std::string read_text_field(ConstBytes in, std::size_t offset, std::size_t width) {
    std::string text;
    if (offset >= in.size()) return text;
    const std::size_t end = std::min(in.size(), offset + width);
    for (std::size_t i = offset; i < end && in[i] != 0; ++i) {
        text.push_back(static_cast<char>(in[i]));
    }
    return text;
}

bool has_tag(ConstBytes in, std::string_view tag3) {
    return in.size() >= 3 && in[0] == static_cast<std::uint8_t>(tag3[0]) &&
           in[1] == static_cast<std::uint8_t>(tag3[1]) &&
           in[2] == static_cast<std::uint8_t>(tag3[2]);
}

std::size_t payload_length(ConstBytes in) {
    return in.size() < kHeadSize ? 0 : get_u16le(in, kHeadLengthOffset);
}

std::size_t caster_entry_count(ConstBytes payload) {
    if (payload.size() < 2) return 0;
    const std::size_t claimed = get_u16le(payload, 0);
    return std::min(claimed, (payload.size() - 2) / kCasterEntrySize);
}

CasterEntry read_caster_entry(ConstBytes payload, std::size_t index) {
    const ConstBytes e = payload.subspan(2 + index * kCasterEntrySize, kCasterEntrySize);
    return CasterEntry{read_text_field(e, kCasterEntryNameOffset, kNameWidth),
                       read_text_field(e, kCasterEntryTrackOffset, kTrackWidth),
                       get_u16le(e, kCasterEntryWatchersOffset),
                       get_u16le(e, kCasterEntryPacketTimeOffset)};
}

void put_caster_entry(Bytes payload, std::size_t index, const CasterEntry& entry) {
    const Bytes e = payload.subspan(2 + index * kCasterEntrySize, kCasterEntrySize);
    put_text_field(e, kCasterEntryNameOffset, kNameWidth, entry.name);
    put_text_field(e, kCasterEntryTrackOffset, kTrackWidth, entry.track);
    put_u16le(e, kCasterEntryWatchersOffset, entry.watchers);
    put_u16le(e, kCasterEntryPacketTimeOffset, entry.packet_time);
}

std::size_t client_message_size(ConstBytes tag) {
    if (tag.size() < kTagSize) return 0;
    const std::string_view text(reinterpret_cast<const char*>(tag.data()), kTagSize);
    if (text == kTagHello) return kHelloSize;
    if (text == kTagWatchRequest) return kWatchRequestSize;
    if (text == kTagHeaderUpload) return kHeaderUploadSize;
    if (text == kTagBlockUpload) return kBlockUploadSize;
    return 0;
}

void put_head(Bytes out, std::string_view tag3, std::uint16_t payload_length) {
    out[0] = static_cast<std::uint8_t>(tag3[0]);
    out[1] = static_cast<std::uint8_t>(tag3[1]);
    out[2] = static_cast<std::uint8_t>(tag3[2]);
    out[3] = '0';
    put_u16le(out, kHeadLengthOffset, payload_length);
}

std::vector<std::uint8_t> make_message(std::string_view tag3, ConstBytes payload) {
    const std::size_t length = std::min(payload.size(), kMaxPayload);
    std::vector<std::uint8_t> message(kHeadSize + length);
    put_head(message, tag3, static_cast<std::uint16_t>(length));
    std::copy_n(payload.begin(), length, message.begin() + kHeadSize);
    return message;
}

std::vector<std::uint8_t> make_caster_list(std::span<const CasterEntry> entries) {
    const std::size_t n = std::min(entries.size(), kMaxCasterEntries);
    std::vector<std::uint8_t> payload(2 + n * kCasterEntrySize);
    put_u16le(payload, 0, static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) put_caster_entry(payload, i, entries[i]);
    return make_message(kTagCasterList, payload);
}

std::vector<std::uint8_t> make_error(std::string_view text) {
    std::vector<std::uint8_t> payload(text.begin(), text.end());
    payload.push_back(0);
    return make_message(kTagError, payload);
}

}  // namespace kavro::wire

namespace kavro::wire {

void put_u64le(Bytes out, std::size_t offset, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i)
        out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_u64le(ConstBytes in, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= std::uint64_t{in[offset + i]} << (8 * i);
    return value;
}

DecodedResumeOffer decode_resume_offer(ConstBytes payload) {
    DecodedResumeOffer decoded;
    const std::size_t magic = std::min(payload.size(), kResumeOfferMagic.size());
    for (std::size_t i = 0; i < magic; ++i) {
        if (payload[i] != static_cast<std::uint8_t>(kResumeOfferMagic[i])) {
            decoded.status = ResumeOfferStatus::kBad;
            return decoded;
        }
    }
    if (payload.size() < kResumeOfferSize) return decoded;  // kNeedMore
    if (payload.size() > kResumeOfferSize) {
        decoded.status = ResumeOfferStatus::kBad;
        return decoded;
    }
    decoded.offer.held_bytes = get_u64le(payload, kResumeOfferHeldOffset);
    decoded.offer.digest = get_u64le(payload, kResumeOfferDigestOffset);
    const std::uint64_t held = decoded.offer.held_bytes;
    const bool whole = held >= kReplayHeaderSize && (held - kReplayHeaderSize) % kBlockSize == 0;
    decoded.status = whole ? ResumeOfferStatus::kComplete : ResumeOfferStatus::kBad;
    return decoded;
}

std::array<std::uint8_t, kResumeOfferSize> encode_resume_offer(const ResumeOffer& offer) {
    std::array<std::uint8_t, kResumeOfferSize> payload{};
    std::copy(kResumeOfferMagic.begin(), kResumeOfferMagic.end(), payload.begin());
    put_u64le(payload, kResumeOfferHeldOffset, offer.held_bytes);
    put_u64le(payload, kResumeOfferDigestOffset, offer.digest);
    return payload;
}

std::vector<std::uint8_t> make_accepted_with_offer(const ResumeOffer& offer) {
    std::vector<std::uint8_t> bytes(kAckAccepted.begin(), kAckAccepted.end());
    const std::vector<std::uint8_t> keep_alive =
        make_message(kTagKeepAlive, encode_resume_offer(offer));
    bytes.insert(bytes.end(), keep_alive.begin(), keep_alive.end());
    return bytes;
}

std::uint64_t fnv1a64(ConstBytes bytes, std::uint64_t state) {
    for (const std::uint8_t byte : bytes) {
        state ^= byte;
        state *= 0x100000001b3ULL;
    }
    return state;
}

std::uint64_t resume_digest(ConstBytes head, ConstBytes tail) {
    return fnv1a64(tail, fnv1a64(head));
}

}  // namespace kavro::wire
