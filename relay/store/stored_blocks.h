// The blocks of one recording as one holder sees them: the first in_file() read from the
// recording's file (through the page cache), the rest in memory, each an immutable buffer that
// every socket writing it shares. Memory holds only what the file does not hold yet, so it
// does not grow with what is stored; without a data folder, every block stays in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "relay/store/recording_map.h"

namespace kavro::relay {

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

SharedBytes share(std::vector<std::uint8_t> bytes);

class StoredBlocks {
  public:
    std::size_t size() const { return count_; }
    // Block `index` (below size()): kBlockSize bytes, valid while this holder or a keep-alive
    // taken with keep() holds them.
    const std::uint8_t* data(std::size_t index) const;
    // The buffer holding block `index` when it is in memory; null when the file holds it.
    const SharedBytes* in_memory(std::size_t index) const;

    // The next block. `block` may be null when the file already holds it.
    void append(SharedBytes block);
    // Keeps the first `count` blocks.
    void truncate(std::size_t count);
    void clear();

    // `file` holds blocks [0, count) at their places: the memory copies of those go. A file
    // holding fewer blocks than the one already in use changes nothing.
    void file_holds(std::shared_ptr<const RecordingMap> file, std::size_t count);
    const std::shared_ptr<const RecordingMap>& file() const { return file_; }
    std::size_t in_file() const { return in_file_; }
    // Blocks held in memory, for the memory the store saves to be seen.
    std::size_t in_memory_count() const { return memory_.size(); }

  private:
    std::shared_ptr<const RecordingMap> file_;
    std::size_t in_file_ = 0;
    std::size_t count_ = 0;
    std::size_t memory_first_ = 0;  // the index of memory_.front()
    std::deque<SharedBytes> memory_;
};

}  // namespace kavro::relay
