// The replay the bench's caster uploads: a 16 KiB header and 4 KiB blocks of bytes that differ
// from block to block, held whole so watchers can compare every byte they get.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/wire_format.h"

namespace kavro::bench {

class BenchReplay {
  public:
    explicit BenchReplay(std::size_t blocks) : blocks_(blocks) {
        file_.resize(wire::kReplayHeaderSize + blocks * wire::kBlockSize);
        std::uint32_t x = 0x9E3779B9u;
        for (auto& byte : file_) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            byte = static_cast<std::uint8_t>(x);
        }
    }
    std::size_t blocks() const { return blocks_; }
    const std::vector<std::uint8_t>& file() const { return file_; }
    wire::ConstBytes header() const {
        return wire::ConstBytes(file_).first(wire::kReplayHeaderSize);
    }
    wire::ConstBytes block(std::size_t index) const {
        return wire::ConstBytes(file_).subspan(wire::kReplayHeaderSize + index * wire::kBlockSize,
                                               wire::kBlockSize);
    }

  private:
    std::size_t blocks_;
    std::vector<std::uint8_t> file_;
};

}  // namespace kavro::bench
