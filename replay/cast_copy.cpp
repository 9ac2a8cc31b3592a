#include "replay/cast_copy.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "replay/shared_file.h"

namespace kavro {
namespace {

// How much of the copy's end is checked against the source before appending to it: enough to
// tell a new recording that already outgrew the copy from the one the copy was taken of.
constexpr std::uint64_t kTailCheckSize = 4096;
constexpr std::size_t kChunkSize = 64 * 1024;

// True when the last bytes of `copy` (of size `copy_size`) are the bytes at the same offsets in
// `source`.
bool source_continues_copy(std::FILE* source, std::FILE* copy, std::uint64_t copy_size) {
    const std::uint64_t length = std::min(copy_size, kTailCheckSize);
    const std::uint64_t offset = copy_size - length;
    std::array<std::uint8_t, kTailCheckSize> from_source;
    std::array<std::uint8_t, kTailCheckSize> from_copy;
    if (!seek_to(source, offset) || !seek_to(copy, offset)) return false;
    if (std::fread(from_source.data(), 1, length, source) != length) return false;
    if (std::fread(from_copy.data(), 1, length, copy) != length) return false;
    return std::memcmp(from_source.data(), from_copy.data(), length) == 0;
}

// Copies source bytes [from, to) to the same offsets of `copy`. Stops early, without failing,
// when the source ends sooner; returns the copy's end afterwards, nullopt on a read or write
// error.
std::optional<std::uint64_t> copy_range(std::FILE* source, std::FILE* copy, std::uint64_t from,
                                        std::uint64_t to) {
    if (!seek_to(source, from) || !seek_to(copy, from)) return std::nullopt;
    std::array<std::uint8_t, kChunkSize> chunk;
    std::uint64_t position = from;
    while (position < to) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, to - position));
        const std::size_t got = std::fread(chunk.data(), 1, wanted, source);
        if (got > 0 && std::fwrite(chunk.data(), 1, got, copy) != got) return std::nullopt;
        position += got;
        if (got < wanted) {
            if (std::ferror(source)) return std::nullopt;
            break;  // the source was cut short meanwhile: the copy ends where it did
        }
    }
    return position;
}

}  // namespace

std::optional<RefreshedCopy> refresh_copy(const std::filesystem::path& source,
                                          const std::filesystem::path& copy,
                                          std::uint64_t max_growth) {
    SharedFile from(open_shared(source, "rb"));
    if (!from) return std::nullopt;
    const std::optional<std::uint64_t> source_size = size_of_open(from.get());
    if (!source_size) return std::nullopt;

    // Keep the existing copy when the source still starts with it, and append only the growth.
    std::uint64_t kept = 0;
    SharedFile to(open_shared(copy, "r+b"));
    if (to) {
        const std::optional<std::uint64_t> copy_size = size_of_open(to.get());
        if (copy_size && *copy_size <= *source_size &&
            source_continues_copy(from.get(), to.get(), *copy_size)) {
            kept = *copy_size;
        } else {
            to.reset();
        }
    }
    const bool made_afresh = !to;
    if (made_afresh) {
        to.reset(open_shared(copy, "wb"));
        if (!to) return std::nullopt;
    }

    const std::uint64_t end = kept + std::min(*source_size - kept, max_growth);
    const std::optional<std::uint64_t> copied = copy_range(from.get(), to.get(), kept, end);
    // Written data only counts once it has left the stream's buffer.
    const bool closed = std::fclose(to.release()) == 0;
    if (!closed || !copied) {
        // Left in place, a half-made fresh copy could pass for the start of the recording next
        // time and be extended: the caller, told of the fresh start only by a successful
        // refresh, would never hear of it.
        std::error_code ignored;
        if (made_afresh) std::filesystem::remove(copy, ignored);
        return std::nullopt;
    }
    return RefreshedCopy{*copied, made_afresh};
}

}  // namespace kavro
