// Cuts the byte stream from one client into whole messages, as the relay reads it. A client
// message is known by its four-byte tag and its size follows from the tag, so the framer reads
// the tag, then exactly the rest of that message:
//   tag (bytes 0-3, ASCII)  size    checked here
//   "CCN0" hello             52      bytes 4-5, u16 little-endian, must be 46: bad as soon
//                                    as both are in; byte 6, u8 mode, must be 0 or 1: bad as
//                                    soon as it is in
//   "HOS0" watch request     36      nothing beyond the tag
//   "NRF0" header upload     16,390  nothing beyond the tag
//   "ERF0" block upload      4,100   nothing beyond the tag
//   anything else            -       bad as soon as the fourth byte is in
// (wire/outbound_records.h gives every field of these records.) Bytes are written straight
// into the framer's own storage: a small inline area for hellos and watch requests, a heap
// buffer only once a client uploads replay data (casters), so an idle watcher costs a few
// dozen bytes here. The tag is always kept in the inline area, so it can be judged before the
// rest of the message is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "wire/wire_format.h"

namespace kavro::wire {

class ClientFramer {
  public:
    enum class Status { kNeedMore, kComplete, kBad };

    // Where the next received bytes go. Never reaches past the message being framed, so a
    // read into it cannot take bytes of the next message.
    std::span<std::uint8_t> space();
    // Records that `count` bytes (at most space().size()) were written into space().
    Status commit(std::size_t count);

    // The complete message, valid after commit() said kComplete and until next().
    ConstBytes message() const;
    // Why the stream is bad, valid after commit() said kBad. A short text for the client.
    std::string_view problem() const { return problem_; }
    // The four-byte tag of the message being framed, once it is in and known; empty before.
    std::string_view tag() const;
    // True while part of a message has arrived.
    bool mid_message() const { return filled_ > 0; }
    // Forgets the complete message and waits for the next tag.
    void next();

  private:
    std::uint8_t* storage();

    static constexpr std::size_t kSmallCapacity = 64;
    std::array<std::uint8_t, kSmallCapacity> small_{};
    std::vector<std::uint8_t> large_;
    std::size_t filled_ = 0;
    std::size_t size_ = 0;  // 0 until the tag is known
    std::string_view problem_;
};

}  // namespace kavro::wire
