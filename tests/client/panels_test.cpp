#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/main_window.h"
#include "gui_test_support.h"
#include "loopback_peer.h"
#include "wire/wire_format.h"

using namespace kavro;
using namespace kavro::test;

namespace {

constexpr int kWait = 10000;

struct Session {
    SimulatorInstall install;
    LoopbackListener relay;
    ProgramState state;
    TForm1 form{state, RelayAddress{"127.0.0.1", relay.port_text()}};
    PeerSocket peer;

    // Clicks "Watch LFS", accepts the connection and the hello, and acknowledges it.
    void start_watching() {
        QTest::mouseClick(form.btn_watch, Qt::LeftButton);
        peer = relay.accept();
        ASSERT_EQ(peer.read(52).size(), 52u);
        peer.send(std::string("ACK0OK"));
        ASSERT_TRUE(wait_until([&] { return state.registered; }));
    }
    void deliver(const std::vector<std::uint8_t>& bytes) {
        peer.send(bytes);
        ASSERT_TRUE(form.tcp1.PollReadable(std::chrono::milliseconds(kWait)));
        form.Timer1Timer();
    }
    QString cell(int row, int column) const {
        const auto* item = form.sg_serverlist->item(row, column);
        return item ? item->text() : QString();
    }
};

}  // namespace

TEST(WatchPanel, GridFollowsTheListAndWatchRequestsTheSelectedCast) {
    Session s;
    s.start_watching();
    MessageBoxAnswerer answerer;

    s.deliver(wire::make_caster_list({}));
    EXPECT_EQ(s.form.sg_serverlist->rowCount(), 2);
    EXPECT_EQ(s.cell(0, 0), "Cast name");
    EXPECT_EQ(s.cell(0, 1), "Track");
    EXPECT_EQ(s.cell(0, 2), "Watcher");
    EXPECT_EQ(s.cell(0, 3), "Packet time");
    EXPECT_TRUE(s.cell(1, 0).isEmpty());
    QTest::mouseClick(s.form.btn_watch1, Qt::LeftButton);
    ASSERT_EQ(answerer.texts.size(), 1);
    EXPECT_EQ(answerer.texts[0], "Caster not available.");
    EXPECT_FALSE(s.form.bg_watch->isHidden());

    const std::string long_name(32, 'L');
    s.deliver(wire::make_caster_list(std::vector<wire::CasterEntry>{
        {long_name, "FE2r", 0, 600}, {"Second", "BL1", 3, 0}, {"Third", "AU1", 1, 25}}));
    ASSERT_EQ(s.form.sg_serverlist->rowCount(), 4);
    EXPECT_EQ(s.cell(1, 0).toStdString(), long_name);
    EXPECT_EQ(s.cell(1, 1), "FE2r");
    EXPECT_EQ(s.cell(1, 2), "0");
    EXPECT_EQ(s.cell(1, 3), "60.0 sec");
    EXPECT_EQ(s.cell(2, 3), "n.a.");
    EXPECT_EQ(s.cell(3, 3), "2.5 sec");

    // Pick the third row, then a shorter list moves the current cell up to the last row.
    s.form.sg_serverlist->setCurrentCell(3, 0);
    s.deliver(wire::make_caster_list(std::vector<wire::CasterEntry>{{"Only", "SO1", 5, 10}}));
    EXPECT_EQ(s.form.sg_serverlist->rowCount(), 2);
    EXPECT_EQ(s.form.sg_serverlist->currentRow(), 1);

    s.deliver(wire::make_caster_list(std::vector<wire::CasterEntry>{
        {"One", "SO1", 5, 10}, {"Two", "SO2", 1, 10}, {"Three", "SO3", 0, 10}}));
    QTest::mouseClick(s.form.sg_serverlist->viewport(), Qt::LeftButton, {},
                      s.form.sg_serverlist->visualItemRect(s.form.sg_serverlist->item(2, 0)).center());
    QTest::mouseClick(s.form.btn_watch1, Qt::LeftButton);
    const auto request = s.peer.read(36);
    ASSERT_EQ(request.size(), 36u);
    EXPECT_EQ(std::string(request.begin(), request.begin() + 4), "HOS0");
    EXPECT_EQ(std::string(request.begin() + 4, request.begin() + 7), "Two");
    EXPECT_EQ(request[7], 0);
    EXPECT_TRUE(s.form.bg_watch->isHidden());
    EXPECT_EQ(answerer.texts.size(), 1);

    // Refresh asks again with a hello in watch mode.
    s.form.bg_watch->show();
    QTest::mouseClick(s.form.btn_refresh, Qt::LeftButton);
    const auto hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(std::string(hello.begin(), hello.begin() + 4), "CCN0");
    EXPECT_EQ(hello[6], 0);
}

TEST(WatchPanel, HeaderAndDataFillTheReplayFileAndTheLogSaysWhenReady) {
    Session s;
    s.start_watching();
    const auto replay = s.install.replay_folder() / "kavro.mpr";
    const auto first_header = pattern_bytes(16384, 1);
    const auto header = pattern_bytes(16384, 2);
    const auto block1 = pattern_bytes(4096, 3);
    const auto block2 = pattern_bytes(4096, 4);

    std::vector<std::uint8_t> piece = wire::make_message(wire::kTagReplayHeader, first_header);
    const auto stale = wire::make_message(wire::kTagReplayData, pattern_bytes(4096, 9));
    piece.insert(piece.end(), stale.begin(), stale.end());
    s.deliver(piece);
    // A new header restarts the file; two data messages in one receive are both appended.
    piece = wire::make_message(wire::kTagReplayHeader, header);
    s.deliver(piece);
    piece = wire::make_message(wire::kTagReplayData, block1);
    const auto second = wire::make_message(wire::kTagReplayData, block2);
    piece.insert(piece.end(), second.begin(), second.end());
    s.deliver(piece);

    std::vector<std::uint8_t> expected = header;
    expected.insert(expected.end(), block1.begin(), block1.end());
    expected.insert(expected.end(), block2.begin(), block2.end());
    EXPECT_EQ(read_file(replay), expected);
    const QStringList lines = log_lines(s.form.debug);
    EXPECT_EQ(lines.count("Received a replay header."), 2);
    EXPECT_EQ(lines.count("Replay ready to watch."), 2);
    EXPECT_EQ(lines.back(), "Replay ready to watch.");
    EXPECT_EQ(s.form.Timer1->interval(), 50);
}

TEST(CastPanel, CastRegistersAndUploadsTheGrowingRecording) {
    Session s;
    MessageBoxAnswerer answerer;
    QTest::mouseClick(s.form.btn_cast, Qt::LeftButton);
    s.peer = s.relay.accept();

    QTest::mouseClick(s.form.btn_cast1, Qt::LeftButton);
    ASSERT_EQ(answerer.texts.size(), 1);
    EXPECT_EQ(answerer.texts[0], "Type in a cast name and choose a track.");
    EXPECT_FALSE(s.form.bg_cast->isHidden());

    QTest::keyClicks(s.form.ed_castname, "Club night");
    QTest::mouseClick(s.form.btn_cast1, Qt::LeftButton);
    EXPECT_TRUE(s.form.bg_cast->isHidden());
    const auto hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 1);
    EXPECT_EQ(std::string(hello.begin() + 15, hello.begin() + 25), "Club night");
    EXPECT_EQ(hello[25], 0);

    // The simulator has recorded a header and two blocks; nothing goes up before acceptance.
    const auto recording = pattern_bytes(16384 + 2 * 4096, 5);
    std::ofstream(s.install.replay_folder() / "temp_mpr.mpr", std::ios::binary)
        .write(reinterpret_cast<const char*>(recording.data()), static_cast<long>(recording.size()));
    s.form.Timer1Timer();
    EXPECT_FALSE(std::filesystem::exists("kavro_cast.mpr"));

    s.peer.send(std::string("ACK0OK"));
    // The tick that takes the acceptance uploads the header; the blocks follow a tick later.
    ASSERT_TRUE(wait_until([&] { return s.state.cast_streamer.last_cast_size() == 16384 + 2 * 4096; }));
    const auto header = s.peer.read(16390);
    ASSERT_EQ(header.size(), 16390u);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "NRF0");
    std::vector<std::uint8_t> uploaded(header.begin() + 4, header.begin() + 4 + 16384);
    for (int block = 0; block < 2; ++block) {
        const auto tail = s.peer.read(4100);
        ASSERT_EQ(tail.size(), 4100u);
        EXPECT_EQ(std::string(tail.begin(), tail.begin() + 4), "ERF0");
        uploaded.insert(uploaded.end(), tail.begin() + 4, tail.end());
    }
    // No track chosen: the recording's own byte 72 goes up unchanged.
    EXPECT_EQ(uploaded, recording);
    EXPECT_EQ(read_file("kavro_cast.mpr"), recording);
}
