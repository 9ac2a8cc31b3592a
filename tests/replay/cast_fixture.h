// A caster's side of a cast without a window: a simulator installation in a temp folder whose
// recording grows as the test says, a stand-in for the relay connection that keeps every record,
// and a cast streamer stepped as Timer1 does once the relay has accepted the cast.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "replay/cast_streamer.h"
#include "temp_folder.h"
#include "wire/outbound_records.h"
#include "wire/wire_format.h"

namespace kavro::test {

using Bytes = std::vector<std::uint8_t>;
inline constexpr std::size_t kHeader = kavro::wire::kReplayHeaderSize;
inline constexpr std::size_t kBlock = kavro::wire::kBlockSize;

// A simulator installation in a temp folder: <root>/LFS.exe, the replay folder
// <root>/data/mpr with the recording the simulator writes, and the client's folder <root>/kavro
// where the copy lives. The paths are those the client uses, seen from the client's folder.
class Installation {
  public:
    Installation() {
        std::filesystem::create_directories(root() / "data" / "mpr");
        std::filesystem::create_directories(client());
        write_file(root() / "LFS.exe", Bytes{'M', 'Z'});
    }
    const std::filesystem::path& root() const { return temp_.path(); }
    std::filesystem::path client() const { return root() / "kavro"; }
    kavro::CastPaths paths() const {
        return {client() / ".." / "data" / "mpr" / "temp_mpr.mpr", client() / "kavro_cast.mpr"};
    }
    Bytes copy() const { return read_file(paths().copy); }
    bool has_copy() const { return std::filesystem::exists(paths().copy); }

    // The simulator's recording: grows by appending; a new recording starts the file afresh.
    const Bytes& recording() const { return recording_; }
    void start_recording(std::size_t size, std::uint32_t seed) {
        seed_ = seed;
        recording_ = pattern_bytes(size, seed);
        write_file(paths().source, recording_);
    }
    void grow(std::size_t count) {
        const Bytes all = pattern_bytes(recording_.size() + count, seed_);
        const Bytes more(all.end() - static_cast<std::ptrdiff_t>(count), all.end());
        recording_.insert(recording_.end(), more.begin(), more.end());
        write_file(paths().source, more, std::ios::app);
    }
    void set_byte(std::size_t offset, std::uint8_t value) {
        recording_[offset] = value;
        write_file(paths().source, recording_);
    }

  private:
    TempFolder temp_;
    Bytes recording_;
    std::uint32_t seed_ = 0;
};

// Stands in for the relay connection: keeps every record handed to it, or refuses them.
struct Relay {
    std::vector<Bytes> sent;
    bool fail = false;

    kavro::CastStreamer::Send send() {
        return [this](std::span<const std::uint8_t> record) {
            if (fail) return false;
            sent.emplace_back(record.begin(), record.end());
            return true;
        };
    }
};

inline std::string tag_of(const Bytes& record) {
    return std::string(record.begin(), record.begin() + 4);
}
inline Bytes data_of(const Bytes& record) { return Bytes(record.begin() + 4, record.end()); }
inline Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// A connection that always has room.
inline kavro::CastStreamer::CanSendMore always_room() {
    return [] { return true; };
}

// A cast that the relay has accepted, stepped as Timer1 does.
struct Cast {
    Installation lfs;
    kavro::wire::OutboundRecords records;
    Relay relay;
    kavro::CastStreamer streamer{lfs.paths()};

    // The clock the cast steps at; tests move it on.
    kavro::CastStreamer::TimePoint now{};

    void step() { streamer.step(true, true, records, relay.send(), always_room(), now); }
    // A tick in which the connection has room for `records` more records, then is full.
    void step_with_room_for(int records_that_fit, int& asked) {
        streamer.step(
            true, true, records, relay.send(),
            [&] {
                ++asked;
                return records_that_fit-- > 0;
            },
            now);
    }
};

// The file the relay puts together from the upload that begins at record `first` (an NRF0):
// the header's first 16,384 bytes, then each ERF0's block in turn.
inline Bytes reassembled(const std::vector<Bytes>& sent, std::size_t first = 0) {
    EXPECT_LT(first, sent.size());
    if (first >= sent.size()) return {};
    EXPECT_EQ(tag_of(sent[first]), "NRF0");
    Bytes upload = slice(data_of(sent[first]), 0, kHeader);
    for (std::size_t i = first + 1; i < sent.size(); ++i) {
        EXPECT_EQ(tag_of(sent[i]), "ERF0") << "record " << i;
        const Bytes block = data_of(sent[i]);
        upload.insert(upload.end(), block.begin(), block.end());
    }
    return upload;
}

}  // namespace kavro::test
