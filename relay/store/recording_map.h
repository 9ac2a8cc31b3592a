// A recording's file as the relay reads it: mapped read-only, so watchers' catch-up and
// downloads are written to their sockets straight from the page cache, with no copy held by
// the relay. The mapping reserves address space for the whole recording; the file grows into
// it, and only bytes the disk's thread has written and synced are ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "wire/wire_format.h"

namespace kavro::relay {

class RecordingMap {
  public:
    // Maps `length` bytes of the file open as `fd` (which may be closed afterwards). Throws
    // std::system_error when the system refuses.
    RecordingMap(int fd, std::size_t length);
    ~RecordingMap();
    RecordingMap(const RecordingMap&) = delete;
    RecordingMap& operator=(const RecordingMap&) = delete;

    // Opens `path` read-only and maps `length` bytes of it; nothing when it cannot.
    static std::shared_ptr<const RecordingMap> open(const std::filesystem::path& path,
                                                    std::size_t length);

    const std::uint8_t* data() const { return base_; }
    std::size_t length() const { return length_; }
    // Where block `index` of the recording sits in the file: after the header, in order.
    const std::uint8_t* block(std::size_t index) const {
        return base_ + wire::kReplayHeaderSize + index * wire::kBlockSize;
    }

  private:
    const std::uint8_t* base_ = nullptr;
    std::size_t length_ = 0;
};

// The file offset of block `index`.
inline std::uint64_t block_offset(std::size_t index) {
    return wire::kReplayHeaderSize + std::uint64_t{index} * wire::kBlockSize;
}

// Whole blocks in a recording file of `size` bytes (a torn last block does not count).
inline std::size_t whole_blocks(std::uint64_t size) {
    return size < wire::kReplayHeaderSize
               ? 0
               : static_cast<std::size_t>((size - wire::kReplayHeaderSize) / wire::kBlockSize);
}

}  // namespace kavro::relay
