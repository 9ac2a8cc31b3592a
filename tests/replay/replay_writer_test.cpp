#include "replay/replay_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "temp_folder.h"

using kavro::ReplayWriter;
using kavro::test::read_file;
using kavro::test::TempFolder;
using kavro::test::write_file;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

const std::string kReceived = "Received a replay header.";
const std::string kReady = "Replay ready to watch.";

// A simulator's replay folder with the client folder next to it: writes go to
// <root>/kavro/../data/mpr/kavro.mpr, the path the client uses, seen from a temp folder.
struct WatchFolder {
    TempFolder temp;
    std::filesystem::path client = temp.path() / "kavro";
    std::filesystem::path replay = client / ".." / "data" / "mpr" / "kavro.mpr";
    Lines log;

    WatchFolder(bool with_replay_folder = true) {
        std::filesystem::create_directories(client);
        if (with_replay_folder) std::filesystem::create_directories(temp.path() / "data" / "mpr");
    }
    ReplayWriter writer() {
        return ReplayWriter(replay, [this](const std::string& line) { log.push_back(line); });
    }
};

}  // namespace

TEST(ReplayWriter, ASecondHeaderLeavesOnlyTheSecondReplayInTheFile) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    writer.write_header(Bytes{1, 2, 3});
    writer.append_data(Bytes{4, 5});
    writer.flush();
    EXPECT_EQ(read_file(folder.replay), (Bytes{1, 2, 3, 4, 5}));
    writer.write_header(Bytes{9, 8});
    EXPECT_EQ(read_file(folder.replay), (Bytes{9, 8}));
    writer.append_data(Bytes{7});
    writer.append_data(Bytes{6, 5});
    writer.flush();
    EXPECT_EQ(read_file(folder.replay), (Bytes{9, 8, 7, 6, 5}));
}

TEST(ReplayWriter, AnnouncesTheReplayOncePerHeader) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    writer.write_header(Bytes{1});
    EXPECT_EQ(folder.log, (Lines{kReceived}));
    EXPECT_FALSE(writer.replay_ready_announced());
    writer.append_data(Bytes{2});
    writer.flush();
    writer.append_data(Bytes{3});
    writer.flush();
    EXPECT_EQ(folder.log, (Lines{kReceived, kReady}));
    EXPECT_TRUE(writer.replay_ready_announced());
    writer.write_header(Bytes{4});
    EXPECT_FALSE(writer.replay_ready_announced());
    writer.append_data(Bytes{5});
    writer.flush();
    EXPECT_EQ(folder.log, (Lines{kReceived, kReady, kReceived, kReady}));
}

TEST(ReplayWriter, DataBeforeAnyHeaderIsAppendedButTheReplayIsNotReady) {
    WatchFolder folder;
    write_file(folder.replay, Bytes{'o', 'l', 'd'});
    ReplayWriter writer = folder.writer();
    writer.append_data(Bytes{'+', '1'});
    writer.append_data(Bytes{'+', '2'});
    writer.flush();
    EXPECT_EQ(read_file(folder.replay), (Bytes{'o', 'l', 'd', '+', '1', '+', '2'}));
    EXPECT_TRUE(folder.log.empty());  // the file holds no header of ours
}

TEST(ReplayWriter, DataCreatesAMissingFile) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    writer.append_data(Bytes{1, 2});
    writer.flush();
    EXPECT_EQ(read_file(folder.replay), (Bytes{1, 2}));
}

TEST(ReplayWriter, EmptyFileTruncatesOrCreates) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    EXPECT_TRUE(writer.empty_file());
    EXPECT_TRUE(std::filesystem::exists(folder.replay));
    EXPECT_EQ(std::filesystem::file_size(folder.replay), 0u);
    write_file(folder.replay, Bytes{1, 2, 3});
    EXPECT_TRUE(writer.empty_file());
    EXPECT_EQ(std::filesystem::file_size(folder.replay), 0u);
    EXPECT_TRUE(folder.log.empty());
}

namespace {

// Puts a folder where the replay file was, so no program can write the file, and gives the file
// back as it was when it goes. (Permissions would not stop a test run as root.)
class FileShut {
  public:
    explicit FileShut(std::filesystem::path file) : file_(std::move(file)) {
        away_ = file_;
        away_ += ".away";
        if (std::filesystem::exists(file_)) std::filesystem::rename(file_, away_);
        std::filesystem::create_directory(file_);
    }
    ~FileShut() { open(); }
    void open() {
        if (!shut_) return;
        shut_ = false;
        std::filesystem::remove(file_);
        if (std::filesystem::exists(away_)) std::filesystem::rename(away_, file_);
    }

  private:
    std::filesystem::path file_;
    std::filesystem::path away_;
    bool shut_ = true;
};

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

TEST(ReplayWriter, WhatTheFileDoesNotTakeIsHeldInOrderAndWrittenWhenItDoes) {
    WatchFolder folder;
    const std::string cannot = "Cannot write " + folder.replay.generic_string() + ".";
    const std::string again = folder.replay.generic_string() + " can be written again.";
    ASSERT_TRUE(cannot.ends_with("/kavro/../data/mpr/kavro.mpr."));
    ReplayWriter writer = folder.writer();
    const Bytes header = kavro::test::pattern_bytes(16384, 1);
    const Bytes one = kavro::test::pattern_bytes(4096, 2);
    const Bytes two = kavro::test::pattern_bytes(4096, 3);
    const Bytes three = kavro::test::pattern_bytes(4096, 4);

    // Shut from before the header: the header and the data wait, the replay is not ready.
    auto shut = std::make_unique<FileShut>(folder.replay);
    writer.write_header(header);
    writer.append_data(one);
    writer.flush();
    EXPECT_EQ(writer.held_bytes(), header.size() + one.size());
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot}));
    shut.reset();
    writer.append_data(two);
    writer.flush();  // the next tick writes all that waited, in order
    EXPECT_EQ(read_file(folder.replay), joined({header, one, two}));
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot, again, kReady}));
    EXPECT_EQ(writer.held_bytes(), 0u);

    // Shut after the header: the next tick's flush writes what waited, behind what was there.
    shut = std::make_unique<FileShut>(folder.replay);
    writer.append_data(three);
    writer.flush();
    writer.append_data(one);
    shut.reset();
    writer.flush();
    EXPECT_EQ(read_file(folder.replay), joined({header, one, two, three, one}));
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot, again, kReady, cannot, again}));

    // A new header while shut drops what waited for the old one.
    shut = std::make_unique<FileShut>(folder.replay);
    writer.append_data(two);
    writer.write_header(Bytes{9, 9});
    writer.append_data(Bytes{8});
    shut.reset();
    writer.flush();
    EXPECT_EQ(read_file(folder.replay), (Bytes{9, 9, 8}));
    EXPECT_FALSE(writer.restart_needed());
}

TEST(ReplayWriter, AFileThatCannotBeMadeWholeAsksForTheReplayAgain) {
    WatchFolder folder;
    const Bytes block(std::size_t{4} << 20, 7);
    {
        // More than 64 MiB waiting: all of it is dropped and nothing more goes in.
        ReplayWriter writer = folder.writer();
        writer.write_header(Bytes{1, 2});
        FileShut shut(folder.replay);
        for (int i = 0; i < 16; ++i) writer.append_data(block);
        EXPECT_FALSE(writer.restart_needed());
        EXPECT_EQ(writer.held_bytes(), ReplayWriter::kMaxHeldBytes);
        writer.append_data(Bytes{3});
        EXPECT_TRUE(writer.restart_needed());
        EXPECT_EQ(writer.held_bytes(), 0u);
        EXPECT_EQ(folder.log.back(), "Cannot hold more than 64 MiB of the replay while " +
                                         folder.replay.generic_string() +
                                         " takes no writes; the replay starts again.");
        shut.open();
        writer.append_data(Bytes{4});
        writer.flush();
        EXPECT_EQ(read_file(folder.replay), (Bytes{1, 2}));
        // The next header after the restart starts the file again.
        writer.restart();
        writer.write_header(Bytes{5});
        writer.append_data(Bytes{6});
        writer.flush();
        EXPECT_EQ(read_file(folder.replay), (Bytes{5, 6}));
    }
    {
        // The file was removed or cut short behind our back: what it held is gone.
        ReplayWriter writer = folder.writer();
        writer.write_header(Bytes{1, 2, 3});
        std::filesystem::remove(folder.replay);
        writer.append_data(Bytes{4});
        writer.flush();
        EXPECT_TRUE(writer.restart_needed());
        EXPECT_FALSE(std::filesystem::exists(folder.replay));
        writer.restart();
        writer.write_header(Bytes{1, 2, 3});
        write_file(folder.replay, Bytes{1});
        writer.append_data(Bytes{4});
        writer.flush();
        EXPECT_TRUE(writer.restart_needed());
        EXPECT_EQ(read_file(folder.replay), (Bytes{1}));
    }
}
