// The bytes Kavro clients and the relay exchange: tags, sizes, field offsets and the
// little-endian and fixed-width-text helpers every record is built with. No sockets, files or
// widgets here, so the client, the relay and the tests all link the same codec.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kavro::wire {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

// Client -> relay: four-character tags, the size follows from the tag.
inline constexpr std::string_view kTagHello = "CCN0";         // hello / cast registration
inline constexpr std::string_view kTagWatchRequest = "HOS0";  // subscribe to a cast
inline constexpr std::string_view kTagHeaderUpload = "NRF0";  // replay header
inline constexpr std::string_view kTagBlockUpload = "ERF0";   // one replay data block

inline constexpr std::size_t kTagSize = 4;
inline constexpr std::size_t kHelloSize = 52;
inline constexpr std::size_t kWatchRequestSize = 36;
inline constexpr std::size_t kHeaderUploadSize = 16390;
inline constexpr std::size_t kBlockUploadSize = 4100;
// The size of the client message whose four-byte tag starts `tag`; 0 when `tag` holds fewer
// than four bytes or a tag that is none of the four.
std::size_t client_message_size(ConstBytes tag);

// CCN0 layout (wire/outbound_records.h has the whole table).
inline constexpr std::size_t kHelloLengthOffset = 4;     // u16 little-endian
inline constexpr std::uint16_t kHelloLengthValue = 46;   // bytes after the six-byte head
inline constexpr std::size_t kHelloModeOffset = 6;       // u8
inline constexpr std::size_t kHelloVersionOffset = 7;    // kVersionWidth bytes of text
inline constexpr std::size_t kHelloNameOffset = 15;      // kNameWidth bytes of text
inline constexpr std::size_t kHelloTrackOffset = 47;     // kTrackWidth bytes of text
inline constexpr std::size_t kHelloReservedOffset = 51;  // u8, 0
inline constexpr std::uint8_t kModeWatch = 0;
inline constexpr std::uint8_t kModeCast = 1;

// HOS0 layout.
inline constexpr std::size_t kWatchRequestNameOffset = 4;  // kNameWidth bytes of text

// NRF0 / ERF0: the tag, then raw replay bytes.
inline constexpr std::size_t kUploadDataOffset = 4;

// Field widths, in bytes. Text fields hold the text's bytes, then zeros to the width; a text
// that fills its field has no terminator.
inline constexpr std::size_t kVersionWidth = 8;
inline constexpr std::size_t kNameWidth = 32;
inline constexpr std::size_t kTrackWidth = 4;
inline constexpr std::string_view kClientVersion = "0.0.2.0";

// The replay file as it travels: a 16,384-byte header, then 4,096-byte blocks. The header
// upload carries two bytes more, which are the start of the first block.
inline constexpr std::size_t kReplayHeaderSize = 16384;
inline constexpr std::size_t kHeaderUploadDataSize = 16386;
inline constexpr std::size_t kBlockSize = 4096;
// Replay file offsets the caster rewrites from the track code.
inline constexpr std::size_t kReplayTrackNumberOffset = 72;
inline constexpr std::size_t kReplayReversedOffset = 73;

// Relay -> client: recognised by three characters (wire/relay_message_decoder.h has every
// message's table).
inline constexpr std::string_view kTagAck = "ACK";
inline constexpr std::string_view kTagError = "ERR";
inline constexpr std::string_view kTagCasterList = "CHL";
inline constexpr std::string_view kTagReplayHeader = "SRH";
inline constexpr std::string_view kTagReplayData = "SRD";
inline constexpr std::string_view kTagKeepAlive = "KAL";

inline constexpr std::size_t kAckSize = 6;
inline constexpr std::string_view kAckAccepted = "ACK0OK";
inline constexpr std::string_view kAckRefused = "ACK0NO";

// Every inbound message but ACK: tag (3 bytes), a byte not examined, u16 little-endian payload
// length, payload.
inline constexpr std::size_t kHeadSize = 6;
inline constexpr std::size_t kHeadLengthOffset = 4;  // u16 little-endian
inline constexpr std::size_t kMaxPayload = 0xFFFF;
// The relay sends at most this much replay data in one SRD.
inline constexpr std::size_t kMaxReplayDataPayload = 16384;

// CHL payload: u16 little-endian entry count, then 40-byte entries.
inline constexpr std::size_t kCasterEntrySize = 40;
inline constexpr std::size_t kCasterEntryNameOffset = 0;         // kNameWidth bytes of text
inline constexpr std::size_t kCasterEntryTrackOffset = 32;       // kTrackWidth bytes of text
inline constexpr std::size_t kCasterEntryWatchersOffset = 36;    // u16 little-endian
inline constexpr std::size_t kCasterEntryPacketTimeOffset = 38;  // u16 little-endian, tenths
inline constexpr std::size_t kMaxCasterEntries = (kMaxPayload - 2) / kCasterEntrySize;  // 1,638

// The resume offer: the payload of a KAL the relay sends, in the same write as "ACK0OK", only
// to a caster that takes over a cast whose recording it holds. Clients that know nothing of it
// treat it as any keep-alive. Layout (20 bytes):
//   0-3   "RSM1"
//   4-11  u64 little-endian: bytes of the recording held (the header and whole blocks)
//   12-19 u64 little-endian: FNV-1a-64 of the held recording's first min(held, 16,384) bytes
//         followed by its last 4,096 bytes when held > 16,384
inline constexpr std::string_view kResumeOfferMagic = "RSM1";
inline constexpr std::size_t kResumeOfferSize = 20;
inline constexpr std::size_t kResumeOfferHeldOffset = 4;
inline constexpr std::size_t kResumeOfferDigestOffset = 12;

struct ResumeOffer {
    std::uint64_t held_bytes = 0;
    std::uint64_t digest = 0;

    bool operator==(const ResumeOffer&) const = default;
};

enum class ResumeOfferStatus {
    kComplete,  // a whole, well-formed offer
    kNeedMore,  // the bytes so far could be the start of one
    kBad,       // not an offer: another payload, a held size no recording has, or extra bytes
};
struct DecodedResumeOffer {
    ResumeOfferStatus status = ResumeOfferStatus::kNeedMore;
    ResumeOffer offer;
};
// Reads an offer from the front of a KAL payload. A held size that is not a header plus whole
// blocks is bad.
DecodedResumeOffer decode_resume_offer(ConstBytes payload);
std::array<std::uint8_t, kResumeOfferSize> encode_resume_offer(const ResumeOffer& offer);
// "ACK0OK" followed by the KAL that carries `offer`: the bytes to write in one piece.
std::vector<std::uint8_t> make_accepted_with_offer(const ResumeOffer& offer);

// FNV-1a, 64 bits; `state` carries a digest on over several pieces.
inline constexpr std::uint64_t kFnv1a64Start = 0xcbf29ce484222325ULL;
std::uint64_t fnv1a64(ConstBytes bytes, std::uint64_t state = kFnv1a64Start);
// The offer's digest of a recording of `held` bytes, given its first min(held, 16,384) bytes
// (`head`) and, when held > 16,384, its last 4,096 bytes (`tail`; empty otherwise).
std::uint64_t resume_digest(ConstBytes head, ConstBytes tail);
// Little-endian u64.
void put_u64le(Bytes out, std::size_t offset, std::uint64_t value);
std::uint64_t get_u64le(ConstBytes in, std::size_t offset);

// Little-endian u16, the only integer type of the original records.
void put_u16le(Bytes out, std::size_t offset, std::uint16_t value);
std::uint16_t get_u16le(ConstBytes in, std::size_t offset);

// Fixed-width text: the text's bytes (cut at the width), then zeros to the width.
void put_text_field(Bytes out, std::size_t offset, std::size_t width, std::string_view text);
// Reads up to the first zero, the field's width or the end of `in`, whichever comes first.
std::string read_text_field(ConstBytes in, std::size_t offset, std::size_t width);

// True when `in` holds at least three bytes and they are `tag3`.
bool has_tag(ConstBytes in, std::string_view tag3);

// The payload length of the six-byte head at the front of `in` (0 when fewer than 6 bytes).
std::size_t payload_length(ConstBytes in);

struct CasterEntry {
    std::string name;
    std::string track;
    std::uint16_t watchers = 0;
    std::uint16_t packet_time = 0;  // tenths of a second; 0 = not available
};

// Entries a CHL payload claims, limited to those it holds in full.
std::size_t caster_entry_count(ConstBytes payload);
// Entry `index` (0-based) of a CHL payload; the caller keeps index < caster_entry_count().
CasterEntry read_caster_entry(ConstBytes payload, std::size_t index);
void put_caster_entry(Bytes payload, std::size_t index, const CasterEntry& entry);

// Writes a relay message's six-byte head (tag, '0', u16 payload length) at the front of `out`.
void put_head(Bytes out, std::string_view tag3, std::uint16_t payload_length);
// A relay message: three-letter tag, '0', u16 payload length, payload (at most kMaxPayload).
std::vector<std::uint8_t> make_message(std::string_view tag3, ConstBytes payload);
// A CHL message for `entries` (at most kMaxCasterEntries are written).
std::vector<std::uint8_t> make_caster_list(std::span<const CasterEntry> entries);
// An ERR message: the text and one zero byte.
std::vector<std::uint8_t> make_error(std::string_view text);

}  // namespace kavro::wire
