// The client's four outbound records. Each lives as long as the program and is rewritten in
// place before it is sent, so a CCN0 sent by "Watch LFS" or "Refresh" still carries the name
// and track of the last Cast press.
//
// Layouts (offsets in bytes; every integer little-endian; text fields zero-filled to their
// width, with no terminator when the text fills them):
//   CCN0 hello, 52 bytes
//     0-3    tag "CCN0"                    4 bytes, ASCII
//     4-5    bytes after the six-byte head u16 little-endian, always 46
//     6      mode                          u8: 0 watch, 1 cast
//     7-14   client version                8 bytes text ("0.0.2.0")
//     15-46  cast name                     32 bytes text
//     47-50  track code                    4 bytes text
//     51     reserved                      u8, 0
//   HOS0 watch request, 36 bytes
//     0-3    tag "HOS0"                    4 bytes, ASCII
//     4-35   cast name                     32 bytes text
//   NRF0 header upload, 16,390 bytes
//     0-3    tag "NRF0"                    4 bytes, ASCII
//     4-     replay bytes                  16,386 raw bytes: the replay's 16,384-byte header and
//                                          the first two bytes of its first block
//   ERF0 block upload, 4,100 bytes
//     0-3    tag "ERF0"                    4 bytes, ASCII
//     4-     replay bytes                  4,096 raw bytes: one block
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "wire/wire_format.h"

namespace kavro::wire {

struct OutboundRecords {
    std::array<std::uint8_t, kHelloSize> hello{};
    std::array<std::uint8_t, kWatchRequestSize> watch_request{};
    std::array<std::uint8_t, kHeaderUploadSize> header_upload{};
    std::array<std::uint8_t, kBlockUploadSize> block_upload{};

    // CCN0: rewrites tag, length, mode and version; name and track keep their last values.
    std::span<const std::uint8_t> prepare_hello(bool cast_mode);
    // CCN0 name and track, written only by the Cast button.
    void set_cast(std::string_view name, std::string_view track);
    // The CCN0 track field as it stands (four bytes, zero-filled).
    std::span<const std::uint8_t, kTrackWidth> hello_track() const;

    std::span<const std::uint8_t> prepare_watch_request(std::string_view name);

    // NRF0 / ERF0: the tag is written here; the data area is filled by the caller.
    std::span<std::uint8_t, kHeaderUploadDataSize> header_data();
    std::span<const std::uint8_t> prepare_header_upload();
    std::span<std::uint8_t, kBlockSize> block_data();
    std::span<const std::uint8_t> prepare_block_upload();
};

static_assert(kHelloSize == 52 && kWatchRequestSize == 36);
static_assert(kHeaderUploadSize == 4 + kHeaderUploadDataSize);
static_assert(kBlockUploadSize == 4 + kBlockSize);

}  // namespace kavro::wire
