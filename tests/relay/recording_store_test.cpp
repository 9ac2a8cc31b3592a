// The data folder's store on its own, with real files and a clock the test moves: retention by
// age and by bytes, and what a store opened again on the same folder brings back.
#include "relay/store/recording_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "temp_folder.h"
#include "tests/relay/test_client.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

using kavro::test::read_file;
using kavro::test::TempFolder;
using Days = std::chrono::duration<int, std::ratio<86400>>;

constexpr std::uint64_t kFourBlocks = wire::kReplayHeaderSize + 4 * wire::kBlockSize;

class RecordingStoreOnDisk : public ::testing::Test {
  protected:
    std::unique_ptr<RecordingStore> open(std::uint64_t keep_bytes = 3 * kFourBlocks,
                                         std::size_t queue_limit = 32u << 20) {
        StoreOptions options;
        options.queue_limit = queue_limit;
        options.dir = folder_.path();
        options.max_replay_bytes = 1 << 20;
        options.retention.keep_for = Days(30);
        options.retention.keep_bytes = keep_bytes;
        options.wall_clock = [this] { return WallClock::time_point(now_.load()); };
        options.retention_interval = std::chrono::milliseconds(0);  // every round
        return std::make_unique<RecordingStore>(std::move(options), [this](const std::string& l) {
            std::lock_guard lock(mutex_);
            log_.push_back(l);
        });
    }
    // A recording of `blocks` blocks of `recording`, its file progress counted.
    std::unique_ptr<KeptRecording> record(RecordingStore& store, const std::string& name,
                                          const Recording& recording, std::size_t blocks) {
        auto kept =
            store.begin({name, "BL1", "10.0.0.1", std::nullopt},
                        share(wire::make_message(wire::kTagReplayHeader, recording.header())),
                        StoredBlocks{}, [this](auto, std::size_t count) { synced_.store(count); });
        for (std::size_t i = 0; i < blocks; ++i) kept->append(share(recording.block(i)));
        return kept;
    }
    bool listed(const RecordingStore& store, std::uint64_t id) {
        for (const auto& row : store.archive()) {
            if (row.id == id) return true;
        }
        return false;
    }
    std::uint64_t bytes_of(const RecordingStore& store, std::uint64_t id) {
        for (const auto& row : store.archive()) {
            if (row.id == id) return row.bytes;
        }
        return 0;
    }
    void advance(WallClock::duration by) { now_.store(now_.load() + by); }

    TempFolder folder_;
    std::atomic<WallClock::duration> now_{std::chrono::hours(24 * 20000)};
    std::atomic<std::size_t> synced_{0};
    std::mutex mutex_;
    std::vector<std::string> log_;
};

TEST_F(RecordingStoreOnDisk, RetentionGoesByAgeThenOldestFirstByBytesAndNeverTakesALiveRecording) {
    const Recording a(41), b(42), c(43), d(44);
    auto store = open();
    auto first = record(*store, "a", a, 4);
    advance(std::chrono::minutes(1));
    auto second = record(*store, "b", b, 4);
    advance(std::chrono::minutes(1));
    auto third = record(*store, "c", c, 4);
    advance(std::chrono::minutes(1));
    auto live = record(*store, "d", d, 4);
    first->finish();
    advance(Days(1));
    second->finish();
    advance(Days(1));
    third->finish();
    // Four of four blocks, one more than the bytes kept: the oldest finished goes.
    ASSERT_TRUE(becomes([&] { return !listed(*store, 1); }));
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "recordings" / "1.mpr"));
    EXPECT_TRUE(listed(*store, 2) && listed(*store, 3) && listed(*store, 4));
    ASSERT_TRUE(becomes([&] { return bytes_of(*store, 4) == kFourBlocks; }));
    EXPECT_TRUE(read_file(folder_.path() / "recordings" / "4.mpr") == d.file(4));

    // 30 days after the second ended: it goes by age, the third (ended a day later) stays.
    advance(Days(29));
    ASSERT_TRUE(becomes([&] { return !listed(*store, 2); }));
    EXPECT_TRUE(listed(*store, 3));
    // The live one grows past everything kept: the last finished one goes, the live one stays.
    for (std::size_t i = 4; i < 40; ++i) live->append(share(d.block(i)));
    ASSERT_TRUE(becomes([&] { return !listed(*store, 3); }));
    ASSERT_TRUE(becomes([&] { return synced_.load() == 40; }));
    EXPECT_TRUE(listed(*store, 4));
    EXPECT_EQ(store->status().deleted_by_retention, 3u);
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                                [](const auto& l) { return l.find("older than") != l.npos; }),
                  1);
    }

    // Opened again (keeping any number of bytes, or the recording would go once finished): the
    // live recording comes back, to be carried on, with all it held.
    live.reset();
    store.reset();
    store = open(0);
    const auto restored = store->take_restored();
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(restored[0].id, 4u);
    EXPECT_EQ(restored[0].start.name, "d");
    EXPECT_EQ(restored[0].start.owner, "10.0.0.1");
    EXPECT_EQ(restored[0].blocks, 40u);
    EXPECT_TRUE(std::equal(restored[0].file->block(0), restored[0].file->block(40),
                           d.file(40).begin() + wire::kReplayHeaderSize));
    auto again = store->resume(4, [this](auto, std::size_t count) { synced_.store(count); });
    again->append(share(d.block(40)));
    again->finish();
    ASSERT_TRUE(becomes([&] { return synced_.load() == 41; }));
    store.reset();
    EXPECT_TRUE(read_file(folder_.path() / "recordings" / "4.mpr") == d.file(41));
    EXPECT_TRUE(open(0)->take_restored().empty()) << "a finished recording came back";
}

// Whether this process maps `path` (it is in /proc/self/maps).
bool mapped(const std::filesystem::path& path) {
    std::ifstream maps("/proc/self/maps");
    const std::string shown = std::filesystem::weakly_canonical(path).string();
    for (std::string line; std::getline(maps, line);) {
        if (line.size() >= shown.size() &&
            line.compare(line.size() - shown.size(), shown.size(), shown) == 0) {
            return true;
        }
    }
    return false;
}

TEST_F(RecordingStoreOnDisk, AFinishedRecordingLetsItsMappingGoAndStillDownloadsWhole) {
    const Recording recording(51);
    auto store = open(0);
    auto kept = record(*store, "mapped", recording, 4);
    const auto file = folder_.path() / "recordings" / "1.mpr";
    ASSERT_TRUE(becomes([&] { return synced_.load() == 4; }));
    EXPECT_TRUE(mapped(file)) << "a live recording is read through its mapping";
    kept->finish();
    EXPECT_TRUE(becomes([&] { return !mapped(file); }))
        << "a finished recording keeps its address space";
    // A download maps it again for as long as it needs it.
    const auto replay = store->replay(1);
    ASSERT_TRUE(replay);
    ASSERT_EQ(replay->row.bytes, kFourBlocks);
    EXPECT_TRUE(Bytes(replay->file->data(), replay->file->data() + replay->row.bytes) ==
                recording.file(4));
}

TEST_F(RecordingStoreOnDisk, AnIdWhoseFilesHaveNoCatalogueRowIsNeverGivenAgain) {
    // What a catalogue write that failed leaves behind: files of recordings the catalogue never
    // listed, one without its about file, and a half-written about file of a later one.
    const auto recordings = folder_.path() / "recordings";
    std::filesystem::create_directories(recordings);
    const Bytes orphan = Recording(52).file(2);
    test::write_file(recordings / "7.mpr", orphan);
    std::ofstream(recordings / "9.json") << "{\"id\":9,\"na";
    auto store = open(0);
    auto kept = record(*store, "next", Recording(53), 1);
    EXPECT_EQ(kept->id(), 10u);
    kept->finish();
    store->close();
    EXPECT_TRUE(read_file(recordings / "7.mpr") == orphan) << "a recording's file was overwritten";
    EXPECT_TRUE(read_file(recordings / "10.mpr") == Recording(53).file(1));
}

TEST_F(RecordingStoreOnDisk, AFullDiskQueueHasNoRoomUntilHalfOfItIsWrittenAndLosesNothing) {
    const Recording recording(54);
    constexpr std::size_t kLimit = 8 * wire::kBlockSize;
    auto store = open(0, kLimit);
    auto kept = record(*store, "fast", recording, 0);
    std::atomic<int> resumed{0};
    std::size_t appended = 0;
    bool refused = false;
    // A caster faster than the disk: blocks come in a tight loop, and the queue fills.
    while (appended < 4096 && !refused) {
        kept->append(share(recording.block(appended++)));
        refused = !store->has_room();
    }
    ASSERT_TRUE(refused) << "4,096 blocks went into a queue of 8 and it never said it was full";
    store->when_room([&] { ++resumed; });
    EXPECT_TRUE(becomes([&] { return resumed.load() == 1; }));
    EXPECT_TRUE(store->has_room());
    for (std::size_t i = appended; i < appended + 16; ++i) kept->append(share(recording.block(i)));
    appended += 16;
    ASSERT_TRUE(becomes([&] { return synced_.load() == appended; }));
    kept->finish();
    store->close();
    EXPECT_TRUE(read_file(folder_.path() / "recordings" / "1.mpr") == recording.file(appended));
    EXPECT_EQ(resumed.load(), 1);
}

TEST_F(RecordingStoreOnDisk, WithoutItsCatalogueRowAnOpenRecordingComesBackFromItsAboutFile) {
    const Recording open_one(55), done_one(56);
    {
        auto store = open(0);
        auto done = record(*store, "done", done_one, 2);
        done->finish();
        auto live = record(*store, "open", open_one, 3);
        ASSERT_TRUE(becomes([&] { return bytes_of(*store, 2) == kFourBlocks - wire::kBlockSize; }));
        store->close();
    }
    // The catalogue is lost (never written, or damaged): the files are all there is.
    for (const char* part : {"", "-wal", "-shm"}) {
        std::filesystem::remove(folder_.path() / ("catalogue.sqlite" + std::string(part)));
    }
    auto store = open(0);
    const auto restored = store->take_restored();
    ASSERT_EQ(restored.size(), 1u) << "the open recording did not come back as its cast";
    EXPECT_EQ(restored[0].id, 2u);
    EXPECT_EQ(restored[0].start.name, "open");
    EXPECT_EQ(restored[0].blocks, 3u);
    bool finished_listed = false;
    for (const auto& row : store->archive()) {
        if (row.id == 1) finished_listed = row.state == RecordingState::kFinished && row.ended;
    }
    EXPECT_TRUE(finished_listed) << "the finished recording did not stay finished";
}

}  // namespace
}  // namespace kavro::relay::testing
