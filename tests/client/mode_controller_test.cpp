#include <QGroupBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/main_window.h"
#include "gui_test_support.h"
#include "loopback_peer.h"
#include "wire/wire_format.h"

using namespace kavro;
using namespace kavro::test;

namespace {

constexpr int kWait = 10000;  // ms: generous, these machines are shared

// A window whose relay is a scripted stand-in on loopback.
struct Session {
    SimulatorInstall install;
    LoopbackListener relay;
    ProgramState state;
    TForm1 form{state, RelayAddress{"127.0.0.1", relay.port_text()}};

    bool log_has(const QString& line) const { return log_lines(form.debug).contains(line); }
    QString last_line() const { return log_lines(form.debug).back(); }
    // Runs the poll cycle now rather than waiting for the timer's next tick.
    void tick() { form.Timer1Timer(); }

    PeerSocket peer;
    // Clicks "Watch LFS", accepts the connection and reads the hello; nothing is answered yet.
    void start_watching_with_list_pending() {
        QTest::mouseClick(form.btn_watch, Qt::LeftButton);
        peer = relay.accept();
        ASSERT_EQ(peer.read(52).size(), 52u);
    }
};

std::string as_text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

void expect_idle(const TForm1& f) {
    EXPECT_TRUE(f.btn_cast->isEnabled());
    EXPECT_TRUE(f.btn_watch->isEnabled());
    EXPECT_FALSE(f.btn_stop->isEnabled());
    EXPECT_TRUE(f.bg_cast->isHidden());
    EXPECT_TRUE(f.bg_watch->isHidden());
}

}  // namespace

TEST(ModeController, WatchSendsHelloAtOnceAndTheListArrivesWithoutAnotherClick) {
    Session s;
    std::ofstream(s.install.replay_folder() / "kavro.mpr") << "an old replay";
    QTest::mouseClick(s.form.btn_watch, Qt::LeftButton);
    EXPECT_TRUE(s.log_has("Connected"));
    EXPECT_FALSE(s.form.bg_watch->isHidden());
    EXPECT_TRUE(s.form.Timer1->isActive());
    EXPECT_TRUE(s.form.Timer2->isActive());
    PeerSocket peer = s.relay.accept();
    const auto hello = peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(as_text(hello).substr(0, 4), "CCN0");
    EXPECT_EQ(hello[6], 0);

    // Acceptance and list in one piece, handled in that order by the timer's own ticks.
    auto reply = std::vector<std::uint8_t>{'A', 'C', 'K', '0', 'O', 'K'};
    const auto list = wire::make_caster_list(std::vector<wire::CasterEntry>{{"Sunday race", "BL1", 2, 25}});
    reply.insert(reply.end(), list.begin(), list.end());
    peer.send(reply);
    ASSERT_TRUE(wait_until([&] { return s.form.btn_stop->isEnabled(); }));
    EXPECT_TRUE(s.state.registered);
    EXPECT_FALSE(s.form.btn_cast->isEnabled());
    EXPECT_FALSE(s.form.btn_watch->isEnabled());
    EXPECT_EQ(std::filesystem::file_size(s.install.replay_folder() / "kavro.mpr"), 0u);
    // The receive that brought the acceptance leaves the interval; the next one speeds it up.
    EXPECT_EQ(s.form.Timer1->interval(), 1000);
    peer.send(wire::make_message(wire::kTagKeepAlive, {}));
    ASSERT_TRUE(wait_until([&] { return s.form.Timer1->interval() == 50; }));

    QTest::mouseClick(s.form.btn_stop, Qt::LeftButton);
    expect_idle(s.form);
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_FALSE(s.log_has("The relay closed the connection."));
    EXPECT_FALSE(s.state.registered);
    EXPECT_TRUE(s.form.Timer1->isActive());
    EXPECT_EQ(s.form.Timer1->interval(), 1000);
    EXPECT_FALSE(s.form.Timer2->isActive());
    EXPECT_TRUE(peer.closed_by_client());
}

TEST(ModeController, CastThenWatchBeforeAcceptanceStartsOver) {
    Session s;
    QTest::mouseClick(s.form.btn_cast, Qt::LeftButton);
    EXPECT_FALSE(s.form.bg_cast->isHidden());
    EXPECT_TRUE(s.form.bg_watch->isHidden());
    EXPECT_TRUE(s.state.cast_mode);
    PeerSocket first = s.relay.accept();
    EXPECT_FALSE(first.read(1, std::chrono::milliseconds(200)).size());  // nothing sent yet
    s.state.bytes_sent = 999;

    QTest::mouseClick(s.form.btn_watch, Qt::LeftButton);
    EXPECT_TRUE(first.closed_by_client());
    PeerSocket second = s.relay.accept();
    const auto hello = second.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 0);
    EXPECT_EQ(s.state.bytes_sent, 52);  // counters reset by the connect, then the hello
    EXPECT_FALSE(s.state.cast_mode);
    EXPECT_TRUE(s.form.bg_cast->isHidden());
    EXPECT_FALSE(s.form.bg_watch->isHidden());
    EXPECT_EQ(log_lines(s.form.debug).count("Connected"), 2);
    EXPECT_TRUE(s.form.Timer2->isActive());
    EXPECT_FALSE(s.form.btn_stop->isEnabled());
}

TEST(ModeController, RelayErrorEndsTheRun) {
    Session s;
    QTest::mouseClick(s.form.btn_watch, Qt::LeftButton);
    PeerSocket peer = s.relay.accept();
    peer.read(52);
    const auto err = wire::make_error("No cast named Foo is live.");
    // The text arrives in two pieces; it is shown whole, once.
    peer.send(std::vector<std::uint8_t>(err.begin(), err.begin() + 10));
    ASSERT_TRUE(s.form.tcp1.PollReadable(std::chrono::milliseconds(kWait)));
    MessageBoxAnswerer answerer;
    s.tick();
    EXPECT_TRUE(answerer.texts.isEmpty());
    peer.send(std::vector<std::uint8_t>(err.begin() + 10, err.end()));
    ASSERT_TRUE(s.form.tcp1.PollReadable(std::chrono::milliseconds(kWait)));
    s.tick();
    ASSERT_EQ(answerer.texts.size(), 1);
    EXPECT_EQ(answerer.texts[0], "No cast named Foo is live.");
    EXPECT_EQ(answerer.captions[0], "kavro");
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_FALSE(s.form.btn_cast->isEnabled());
    EXPECT_FALSE(s.form.btn_watch->isEnabled());
    EXPECT_FALSE(s.form.btn_stop->isEnabled());
    EXPECT_TRUE(s.form.bg_watch->isHidden());
    EXPECT_FALSE(s.form.tcp1.Active());
    EXPECT_TRUE(peer.closed_by_client());
}

TEST(ModeController, RelayClosingTheConnectionReturnsToIdleAndSaysSo) {
    Session s;
    QTest::mouseClick(s.form.btn_watch, Qt::LeftButton);
    PeerSocket peer = s.relay.accept();
    peer.read(52);
    peer.send(std::string("ACK0OK"));
    ASSERT_TRUE(wait_until([&] { return s.form.btn_stop->isEnabled(); }));
    peer.close();
    ASSERT_TRUE(wait_until([&] { return !s.form.tcp1.Active(); }));
    const QStringList lines = log_lines(s.form.debug);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[lines.size() - 2], "The relay closed the connection.");
    EXPECT_EQ(lines.back(), "Disconnected.");
    expect_idle(s.form);
    EXPECT_FALSE(s.state.registered);
    EXPECT_FALSE(s.form.Timer2->isActive());
    EXPECT_EQ(s.form.Timer1->interval(), 1000);
}

TEST(ModeController, UnreachableRelayAndRefusalAreReported) {
    SimulatorInstall install;
    ProgramState state;
    TForm1 form{state, RelayAddress{"127.0.0.1", std::to_string(unused_port())}};
    QTest::mouseClick(form.btn_watch, Qt::LeftButton);
    EXPECT_EQ(log_lines(form.debug).back(), "Cannot reach the relay.");
    EXPECT_FALSE(log_lines(form.debug).contains("Connected"));
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_FALSE(form.Timer2->isActive());
    EXPECT_EQ(state.bytes_sent, 0);  // nothing reached a socket
    EXPECT_TRUE(form.btn_watch->isEnabled());

    Session s;
    QTest::mouseClick(s.form.btn_cast, Qt::LeftButton);
    PeerSocket peer = s.relay.accept();
    peer.send(std::string("ACK0NO"));
    ASSERT_TRUE(s.form.tcp1.PollReadable(std::chrono::milliseconds(kWait)));
    s.tick();
    EXPECT_EQ(s.last_line(), "The relay refused the request.");
    EXPECT_FALSE(s.state.registered);
    EXPECT_FALSE(s.form.btn_stop->isEnabled());
    EXPECT_FALSE(s.form.bg_cast->isHidden());
}

TEST(ModeController, AcceptanceEmptiesTheWatchReplayEvenWhenCasting) {
    Session s;
    const auto replay = s.install.replay_folder() / "kavro.mpr";
    std::ofstream(replay) << "previous replay";
    QTest::mouseClick(s.form.btn_cast, Qt::LeftButton);
    PeerSocket peer = s.relay.accept();
    peer.send(std::string("ACK0OK"));
    ASSERT_TRUE(wait_until([&] { return s.state.registered; }));
    EXPECT_EQ(std::filesystem::file_size(replay), 0u);
    EXPECT_TRUE(s.form.btn_stop->isEnabled());
    EXPECT_FALSE(s.form.bg_cast->isHidden());  // the Cast button was not used yet
}

TEST(ModeController, BytesLeftByAnEarlierConnectionDoNotSpoilTheNextOne) {
    Session s;
    s.start_watching_with_list_pending();
    // Half a data message, then Stop: the rest never comes.
    const auto data = wire::make_message(wire::kTagReplayData, std::vector<std::uint8_t>(100, 7));
    s.peer.send(std::vector<std::uint8_t>(data.begin(), data.begin() + 50));
    ASSERT_TRUE(s.form.tcp1.PollReadable(std::chrono::milliseconds(kWait)));
    s.tick();
    EXPECT_EQ(s.state.receive_buffer.count(), 50u);
    QTest::mouseClick(s.form.btn_stop, Qt::LeftButton);

    // The next connection's acknowledgement is read as such, not as the rest of that message.
    QTest::mouseClick(s.form.btn_watch, Qt::LeftButton);
    PeerSocket second = s.relay.accept();
    ASSERT_EQ(second.read(52).size(), 52u);
    second.send(std::string("ACK0OK"));
    ASSERT_TRUE(wait_until([&] { return s.state.registered; }));
    EXPECT_EQ(s.state.receive_buffer.count(), 0u);
}
