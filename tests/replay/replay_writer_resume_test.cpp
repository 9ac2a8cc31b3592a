// The watcher's file across reconnects: the relay sends the recording again from its header,
// and the file must only ever grow while its header stays the same. A sampler reads the file
// all along, from another thread, as a player with the replay open would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "replay/replay_writer.h"
#include "temp_folder.h"

using kavro::ReplayWriter;
using kavro::test::pattern_bytes;
using kavro::test::read_file;
using kavro::test::TempFolder;
using kavro::test::write_file;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kHeader = 16384;
constexpr std::size_t kBlock = 4096;

Bytes recording(std::uint32_t seed, std::size_t blocks) {
    return pattern_bytes(kHeader + blocks * kBlock, seed);
}
Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// Reads the file over and over until stopped, and remembers every time it held less than
// before under the same header.
class FileSampler {
  public:
    explicit FileSampler(std::filesystem::path file) : file_(std::move(file)) {
        thread_ = std::thread([this] {
            Bytes last;
            while (!stop_) {
                const Bytes now = read_file(file_);
                const bool same_header =
                    now.size() >= kHeader && last.size() >= kHeader &&
                    std::equal(now.begin(), now.begin() + kHeader, last.begin());
                if (same_header && now.size() < last.size()) ++shrinks_;
                if (now.size() >= kHeader || last.size() < kHeader) last = now;
                ++samples_;
            }
        });
    }
    ~FileSampler() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int shrinks() const { return shrinks_; }
    int samples() const { return samples_; }

  private:
    std::filesystem::path file_;
    std::atomic<bool> stop_{false};
    std::atomic<int> shrinks_{0};
    std::atomic<int> samples_{0};
    std::thread thread_;
};

struct WatchFile {
    TempFolder temp;
    std::filesystem::path replay = temp.path() / "kavro.mpr";
    std::vector<std::string> log;
    ReplayWriter writer{replay, [this](const std::string& line) { log.push_back(line); }};

    // The relay's stream of `bytes` (header first) as SRH and SRD payloads of `piece` bytes,
    // flushed every `per_tick` messages as the poll tick does.
    void receive(const Bytes& bytes, std::size_t piece = 16384, int per_tick = 3) {
        writer.write_header(slice(bytes, 0, kHeader));
        int in_tick = 0;
        for (std::size_t at = kHeader; at < bytes.size(); at += piece) {
            writer.append_data(slice(bytes, at, std::min(piece, bytes.size() - at)));
            if (++in_tick == per_tick) {
                writer.flush();
                in_tick = 0;
            }
        }
        writer.flush();
    }
};

}  // namespace

TEST(ReplayWriterResume, TheSameRecordingSentAgainOnlyAppendsWhatTheFileLacks) {
    WatchFile watch;
    const Bytes race = recording(5, 300);
    watch.receive(slice(race, 0, kHeader + 200 * kBlock));
    ASSERT_EQ(read_file(watch.replay), slice(race, 0, kHeader + 200 * kBlock));

    // Reconnects: the relay sends it all again from the header, in pieces that do not line up
    // with the blocks, and then what came meanwhile.
    FileSampler sampler(watch.replay);
    for (std::size_t piece : {std::size_t{16384}, std::size_t{1000}, std::size_t{7 * kBlock + 3}}) {
        watch.receive(slice(race, 0, kHeader + 250 * kBlock), piece, 2);
        EXPECT_EQ(read_file(watch.replay), slice(race, 0, kHeader + 250 * kBlock));
    }
    watch.receive(race);
    sampler.stop();
    EXPECT_EQ(read_file(watch.replay), race);
    EXPECT_EQ(sampler.shrinks(), 0) << "of " << sampler.samples() << " samples";
    EXPECT_GT(sampler.samples(), 0);
    for (const std::string& line : watch.log) EXPECT_EQ(line.find("differs"), std::string::npos);
}

TEST(ReplayWriterResume, ADifferingBlockRewritesTheFileFromThereAndANewHeaderFromTheStart) {
    WatchFile watch;
    const Bytes race = recording(6, 40);
    watch.receive(race);

    // Same header, the first 10 blocks the same, then another race: the file keeps the header
    // and those 10 blocks and holds the new race after them, nothing of the old one.
    Bytes changed = slice(race, 0, kHeader + 10 * kBlock);
    const Bytes other = pattern_bytes(15 * kBlock, 99);
    changed.insert(changed.end(), other.begin(), other.end());
    watch.receive(changed, 3000, 1);
    EXPECT_EQ(read_file(watch.replay), changed);
    bool said = false;
    for (const std::string& line : watch.log) {
        said = said || line.find("; the file is written again from there.") != std::string::npos;
    }
    EXPECT_TRUE(said);

    // Another header: the file starts again with it.
    const Bytes next = recording(7, 3);
    watch.receive(next);
    EXPECT_EQ(read_file(watch.replay), next);
}

TEST(ReplayWriterResume, HeldDataIsWrittenBackAtMostOneMebibytePerFlush) {
    WatchFile watch;
    const Bytes race = recording(8, 1024);  // 4 MiB of data after the header
    watch.writer.write_header(slice(race, 0, kHeader));
    // The file is shut: a folder stands where it was.
    std::filesystem::remove(watch.replay);
    std::filesystem::create_directory(watch.replay);
    for (std::size_t at = kHeader; at < race.size(); at += 16384) {
        watch.writer.append_data(slice(race, at, 16384));
    }
    watch.writer.flush();
    EXPECT_EQ(watch.writer.held_bytes(), race.size() - kHeader);
    std::filesystem::remove(watch.replay);
    write_file(watch.replay, slice(race, 0, kHeader));

    std::uintmax_t last = std::filesystem::file_size(watch.replay);
    int flushes = 0;
    while (watch.writer.held_bytes() > 0 && flushes < 100) {
        watch.writer.flush();
        ++flushes;
        const std::uintmax_t now = std::filesystem::file_size(watch.replay);
        EXPECT_LE(now - last, ReplayWriter::kMaxWriteBackPerFlush);
        EXPECT_GE(now, last);
        last = now;
    }
    EXPECT_EQ(flushes, 4);
    EXPECT_EQ(read_file(watch.replay), race);
}

TEST(ReplayWriterResume, TheLogSaysHowFarACatchUpHasComeAFewTimesAndOnceWhenItIsDone) {
    WatchFile watch;
    const Bytes race = recording(9, 12 * 256);  // about 12.6 MB
    watch.writer.write_header(slice(race, 0, kHeader));
    ReplayWriter::TimePoint now{};
    const auto tick = [&](bool backlog) {
        now += std::chrono::milliseconds(50);
        watch.writer.note_receive_tick(backlog, now);
    };
    tick(true);  // a burst, not a backlog: nothing said yet
    tick(false);
    const std::size_t lines_before = watch.log.size();
    for (std::size_t at = kHeader; at < race.size(); at += 256 * 1024) {
        watch.writer.append_data(
            slice(race, at, std::min<std::size_t>(256 * 1024, race.size() - at)));
        watch.writer.flush();
        tick(true);
        if (at == kHeader + 5 * 256 * 1024) tick(false);  // one empty tick ends no catch-up
    }
    // Caught up once no tick found a backlog for a second, and said once.
    for (int i = 0; i < 40; ++i) tick(false);
    std::vector<std::string> said;
    for (std::size_t i = lines_before; i < watch.log.size(); ++i) {
        if (watch.log[i] != "Replay ready to watch.") said.push_back(watch.log[i]);
    }
    ASSERT_GE(said.size(), 4u);
    EXPECT_LE(said.size(), 8u);
    EXPECT_TRUE(said.front().starts_with("Catching up with the live race: ")) << said.front();
    for (std::size_t i = 1; i + 1 < said.size(); ++i) {
        EXPECT_TRUE(said[i].starts_with("Catching up: ") && said[i].ends_with(" MB received."))
            << said[i];
    }
    EXPECT_EQ(said.back(), "Caught up with the live race.");
    EXPECT_EQ(read_file(watch.replay), race);
}
