// The one byte range a download asks for with a Range header ("bytes=0-499", "bytes=500-",
// "bytes=-500"). Anything the relay does not serve as a part (another unit, several ranges, a
// malformed range) gets the whole file, as HTTP allows.
#pragma once

#include <cstdint>
#include <string_view>

namespace kavro::relay {

struct ByteRange {
    enum class Kind { kWhole, kPart, kUnsatisfiable };
    Kind kind = Kind::kWhole;
    std::uint64_t first = 0;  // with kPart: the first and last byte, both included
    std::uint64_t last = 0;
};

// The range `header` asks for of a file of `size` bytes (size > 0).
ByteRange parse_byte_range(std::string_view header, std::uint64_t size);

}  // namespace kavro::relay
