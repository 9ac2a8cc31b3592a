// The client's four outbound records. Each lives as long as the program and is rewritten in
// place before it is sent, so a CCN0 sent by "Watch LFS" or "Refresh" still carries the name
// and track of the last Cast press.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "wire/wire_format.h"

namespace kavro {

struct OutboundRecords {
    std::array<std::uint8_t, wire::kHelloSize> hello{};
    std::array<std::uint8_t, wire::kWatchRequestSize> watch_request{};
    std::array<std::uint8_t, wire::kHeaderUploadSize> header_upload{};
    std::array<std::uint8_t, wire::kBlockUploadSize> block_upload{};

    // CCN0: rewrites tag, length, mode and version; name and track keep their last values.
    std::span<const std::uint8_t> prepare_hello(bool cast_mode);
    // CCN0 name and track, written only by the Cast button.
    void set_cast(std::string_view name, std::string_view track);
    // The CCN0 track field as it stands (four bytes, zero-filled).
    std::span<const std::uint8_t, wire::kTrackWidth> hello_track() const;

    std::span<const std::uint8_t> prepare_watch_request(std::string_view name);

    // NRF0 / ERF0: the tag is written here; the data area is filled by the caller.
    std::span<std::uint8_t, wire::kHeaderUploadDataSize> header_data();
    std::span<const std::uint8_t> prepare_header_upload();
    std::span<std::uint8_t, wire::kBlockSize> block_data();
    std::span<const std::uint8_t> prepare_block_upload();
};

static_assert(wire::kHelloSize == 52 && wire::kWatchRequestSize == 36);
static_assert(wire::kHeaderUploadSize == 4 + wire::kHeaderUploadDataSize);
static_assert(wire::kBlockUploadSize == 4 + wire::kBlockSize);

}  // namespace kavro
