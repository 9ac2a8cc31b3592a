// A cast's stored replay, the caster's side of it: the header of the current recording and its
// data blocks. Watchers are positions in this recording, so a watcher costs a cursor, never a
// copy. With a data folder, the blocks the recording's file holds are read from the file and
// only the newest stay in memory (see StoredBlocks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "relay/store/stored_blocks.h"
#include "wire/wire_format.h"

namespace kavro::relay {

class CastStore {
  public:
    // Starts a new recording: keeps `header` (the replay header, kReplayHeaderSize bytes) as a
    // ready SRH message and drops the blocks of the previous recording.
    void start_recording(wire::ConstBytes header);
    // Starts a recording restored from its file: its SRH message and `blocks` held there.
    void restore_recording(SharedBytes header_message, std::shared_ptr<const RecordingMap> file,
                           std::size_t blocks);
    // Appends one data block (kBlockSize bytes) to the current recording; returns its buffer.
    const SharedBytes& append(wire::ConstBytes block);
    // Starts a new recording with this one's header and its first `kept` blocks (the same
    // buffers and file, not copies).
    void restart_keeping(std::size_t kept);
    // The file of recording `generation` holds its blocks [0, count).
    void file_holds(std::uint64_t generation, std::shared_ptr<const RecordingMap> file,
                    std::size_t count);

    // Whether `header` (kReplayHeaderSize bytes) is the current recording's header.
    bool header_equals(wire::ConstBytes header) const;
    // Whether `block` equals the stored block at `index`, which is below block_count().
    bool block_equals(std::size_t index, wire::ConstBytes block) const;

    bool has_header() const { return header_message_ != nullptr; }
    // Counts the recordings started; 0 until the first header.
    std::uint64_t generation() const { return generation_; }
    const SharedBytes& header_message() const { return header_message_; }
    std::size_t block_count() const { return blocks_.size(); }
    // Block `index`'s bytes.
    wire::ConstBytes block(std::size_t index) const {
        return {blocks_.data(index), wire::kBlockSize};
    }
    const StoredBlocks& blocks() const { return blocks_; }
    // Header and block bytes held: what the per-cast limit is measured against.
    std::size_t stored_bytes() const;

  private:
    std::uint64_t generation_ = 0;
    SharedBytes header_message_;
    StoredBlocks blocks_;
    SharedBytes appended_;
};

}  // namespace kavro::relay
