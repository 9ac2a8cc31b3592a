// Reads the messages the relay sends a client from the bytes received so far, which arrive in
// pieces of any size. Layouts (offsets in bytes, every integer little-endian):
//   ACK, 6 bytes
//     0-2    tag "ACK"                     3 bytes, ASCII
//     3-5    answer                        3 bytes: "0OK" accepted, anything else refused
//   Every other message: a six-byte head, then its payload
//     0-2    tag                           3 bytes, ASCII
//     3      not examined                  1 byte (the relay writes '0')
//     4-5    payload length                u16 little-endian
//     6-     payload                       that many bytes
//   Payloads by tag
//     ERR    text                          up to its first zero byte or the payload's end;
//                                          the connection is over
//     CHL    entry count                   u16 little-endian (entries past the payload's end
//                                          do not count), then 40-byte entries:
//              0-31   cast name            32 bytes text, zero-filled
//              32-35  track code           4 bytes text, zero-filled
//              36-37  watchers             u16 little-endian
//              38-39  packet time          u16 little-endian, tenths of a second, 0 = none
//     SRH    the replay's header           raw bytes
//     SRD    replay data                   raw bytes, at most 16,384 from this relay
//     KAL    nothing, or a resume offer    20 bytes (wire_format.h gives its fields)
//     other  stepped over by its length
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "wire/wire_format.h"

namespace kavro::wire {

enum class RelayMessageType {
    kAccepted,      // "ACK0OK"
    kRefused,       // any other ACK
    kError,         // ERR
    kCasterList,    // CHL
    kReplayHeader,  // SRH
    kReplayData,    // SRD
    kKeepAlive,     // KAL
    kUnknown,       // a tag this client does not know
};

struct RelayMessage {
    RelayMessageType type = RelayMessageType::kUnknown;
    // A view into the bytes given to the decoder; empty for ACK.
    ConstBytes payload;
    // Set for a KAL whose payload is a whole, well-formed resume offer.
    std::optional<ResumeOffer> resume_offer;
};

enum class RelayDecodeStatus {
    kComplete,  // a whole message at the front: `message` and `size` say what it is
    kNeedMore,  // the bytes so far are the start of a message; nothing is decided yet
    kBad,       // the head claims a message longer than the reader can ever hold
};

struct DecodedRelayMessage {
    RelayDecodeStatus status = RelayDecodeStatus::kNeedMore;
    std::size_t size = 0;  // bytes the message takes at the front of the buffer, when complete
    RelayMessage message;
};

// Decodes the message at the front of `buffered`. A message whose head claims more than
// `largest` bytes in all is bad as soon as its head is in, whether or not the rest has come.
DecodedRelayMessage decode_relay_message(ConstBytes buffered, std::size_t largest);

// An ERR payload's text: up to its first zero byte or its end.
std::string error_text(ConstBytes payload);

}  // namespace kavro::wire
