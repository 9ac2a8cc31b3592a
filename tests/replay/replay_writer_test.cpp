#include "replay/replay_writer.h"

#include <gtest/gtest.h>

#include <string>
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
    EXPECT_EQ(read_file(folder.replay), (Bytes{1, 2, 3, 4, 5}));
    writer.write_header(Bytes{9, 8});
    EXPECT_EQ(read_file(folder.replay), (Bytes{9, 8}));
    writer.append_data(Bytes{7});
    writer.append_data(Bytes{6, 5});
    EXPECT_EQ(read_file(folder.replay), (Bytes{9, 8, 7, 6, 5}));
}

TEST(ReplayWriter, AnnouncesTheReplayOncePerHeader) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    writer.write_header(Bytes{1});
    EXPECT_EQ(folder.log, (Lines{kReceived}));
    EXPECT_FALSE(writer.replay_ready_announced());
    writer.append_data(Bytes{2});
    writer.append_data(Bytes{3});
    EXPECT_EQ(folder.log, (Lines{kReceived, kReady}));
    EXPECT_TRUE(writer.replay_ready_announced());
    writer.write_header(Bytes{4});
    EXPECT_FALSE(writer.replay_ready_announced());
    writer.append_data(Bytes{5});
    EXPECT_EQ(folder.log, (Lines{kReceived, kReady, kReceived, kReady}));
}

TEST(ReplayWriter, DataBeforeAnyHeaderIsAppendedAndAnnounced) {
    WatchFolder folder;
    write_file(folder.replay, Bytes{'o', 'l', 'd'});
    ReplayWriter writer = folder.writer();
    writer.append_data(Bytes{'+', '1'});
    EXPECT_EQ(read_file(folder.replay), (Bytes{'o', 'l', 'd', '+', '1'}));
    EXPECT_EQ(folder.log, (Lines{kReady}));
}

TEST(ReplayWriter, DataCreatesAMissingFile) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    writer.append_data(Bytes{1, 2});
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

TEST(ReplayWriter, MissingFolderIsReportedOncePerHeaderAndNeverAnnounced) {
    WatchFolder folder(/*with_replay_folder=*/false);
    const std::string cannot = "Cannot write " + folder.replay.generic_string() + ".";
    ASSERT_TRUE(cannot.ends_with("/kavro/../data/mpr/kavro.mpr."));
    ReplayWriter writer = folder.writer();

    EXPECT_FALSE(writer.empty_file());
    writer.write_header(Bytes{1, 2});
    writer.append_data(Bytes{3});
    writer.append_data(Bytes{4});
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot}));
    EXPECT_FALSE(writer.replay_ready_announced());

    writer.write_header(Bytes{5});
    writer.append_data(Bytes{6});
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot, kReceived, cannot}));
    EXPECT_FALSE(std::filesystem::exists(folder.replay));
}

TEST(ReplayWriter, FailingDataBeforeAnyHeaderIsReportedOnce) {
    WatchFolder folder(/*with_replay_folder=*/false);
    ReplayWriter writer = folder.writer();
    writer.append_data(Bytes{1});
    writer.append_data(Bytes{2});
    EXPECT_EQ(folder.log, (Lines{"Cannot write " + folder.replay.generic_string() + "."}));
}

TEST(ReplayWriter, AFailingAppendAfterAWrittenHeaderIsReportedOnce) {
    WatchFolder folder;
    ReplayWriter writer = folder.writer();
    writer.write_header(Bytes{1});
    std::filesystem::remove_all(folder.temp.path() / "data");
    writer.append_data(Bytes{2});
    writer.append_data(Bytes{3});
    const std::string cannot = "Cannot write " + folder.replay.generic_string() + ".";
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot}));

    // Once the folder is back, written data is announced; the next failure after a new header
    // is reported again.
    std::filesystem::create_directories(folder.temp.path() / "data" / "mpr");
    writer.append_data(Bytes{4});
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot, kReady}));
    EXPECT_EQ(read_file(folder.replay), (Bytes{4}));
    writer.write_header(Bytes{5});
    std::filesystem::remove_all(folder.temp.path() / "data");
    writer.append_data(Bytes{6});
    EXPECT_EQ(folder.log, (Lines{kReceived, cannot, kReady, kReceived, cannot}));
}
