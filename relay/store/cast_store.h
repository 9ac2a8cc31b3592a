// A cast's stored replay: the header of the current recording and its data blocks, each an
// immutable buffer shared by every socket that writes it. Watchers are positions in this
// store, so a watcher costs a cursor, never a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wire/wire_format.h"

namespace kavro::relay {

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

SharedBytes share(std::vector<std::uint8_t> bytes);

class CastStore {
  public:
    // Starts a new recording: keeps `header` (the replay header, kReplayHeaderSize bytes) as a
    // ready SRH message and drops the blocks of the previous recording.
    void start_recording(wire::ConstBytes header);
    // Appends one data block (kBlockSize bytes) to the current recording.
    void append(wire::ConstBytes block);
    // Starts a new recording with this one's header and its first `kept` blocks (the same
    // buffers, not copies).
    void restart_keeping(std::size_t kept);

    // Whether `header` (kReplayHeaderSize bytes) is the current recording's header.
    bool header_equals(wire::ConstBytes header) const;
    // Whether `block` equals the stored block at `index`, which is below block_count().
    bool block_equals(std::size_t index, wire::ConstBytes block) const;

    bool has_header() const { return header_message_ != nullptr; }
    // Counts the recordings started; 0 until the first header.
    std::uint64_t generation() const { return generation_; }
    const SharedBytes& header_message() const { return header_message_; }
    std::size_t block_count() const { return blocks_.size(); }
    const SharedBytes& block(std::size_t index) const { return blocks_[index]; }
    // Header and block bytes held: what the per-cast limit is measured against.
    std::size_t stored_bytes() const;

  private:
    std::uint64_t generation_ = 0;
    SharedBytes header_message_;
    std::vector<SharedBytes> blocks_;
};

}  // namespace kavro::relay
