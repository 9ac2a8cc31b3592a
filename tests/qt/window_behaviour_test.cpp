// The real window driven by mouse and key events on the offscreen platform: clicks reach the
// core and its answers reach the controls; the grid's header, Tab, scrolling and captions behave
// as a finished window should.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/qt/main_window.h"
#include "gui_test_support.h"
#include "loopback_peer.h"
#include "wire/wire_format.h"

using namespace kavro;
using namespace kavro::test;

namespace {

// A shown window whose relay is a scripted stand-in on loopback.
struct WindowSession {
    SimulatorInstall install;
    LoopbackListener relay;
    TForm1 form{RelayAddress{"127.0.0.1", relay.port_text()}};
    PeerSocket peer;

    WindowSession() {
        form.show();
        form.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
    }
    QString last_line() const { return log_lines(form.debug).back(); }
    // Reads `n` bytes from the relay's side while the window's event loop runs: a click only
    // starts the connect, and the window's Timer1 ticks finish it and send the hello.
    std::vector<std::uint8_t> read_as_the_window_runs(std::size_t n) {
        std::vector<std::uint8_t> bytes;
        wait_until([&] {
            const auto more = peer.read(n - bytes.size(), std::chrono::milliseconds(10));
            bytes.insert(bytes.end(), more.begin(), more.end());
            return bytes.size() == n;
        });
        return bytes;
    }
    // The next connection the window makes, accepted once it has come.
    void accept_the_next_connection() {
        ASSERT_TRUE(wait_until([&] { return relay.has_pending(); }));
        peer = relay.accept();
        ASSERT_TRUE(peer.valid());
    }
    // Clicks "Watch LFS", reads the hello, and lets the relay accept with `list` after it.
    void watch_with_list(const std::vector<wire::CasterEntry>& list) {
        QTest::mouseClick(form.btn_watch, Qt::LeftButton);
        ASSERT_NO_FATAL_FAILURE(accept_the_next_connection());
        ASSERT_EQ(read_as_the_window_runs(52).size(), 52u)
            << "the log: " << form.debug->toPlainText().toStdString();
        std::vector<std::uint8_t> reply{'A', 'C', 'K', '0', 'O', 'K'};
        const auto chl = wire::make_caster_list(list);
        reply.insert(reply.end(), chl.begin(), chl.end());
        peer.send(reply);
        ASSERT_TRUE(wait_until([&] { return form.sg_serverlist->rowCount() == int(list.size()); }));
    }
    void click_row(int row) {
        QTableWidget* grid = form.sg_serverlist;
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualItemRect(grid->item(row, 0)).center());
    }
    // The name in the watch request the relay receives next.
    std::string requested_name() {
        const auto request = peer.read(36);
        if (request.size() != 36u) return "(no request)";
        return std::string(request.begin() + 4, request.end()).c_str();
    }
};

std::vector<wire::CasterEntry> casts(int count) {
    std::vector<wire::CasterEntry> list;
    for (int i = 1; i <= count; ++i) list.push_back({"Cast " + std::to_string(i), "BL1", 1, 10});
    return list;
}

}  // namespace

TEST(QtWindow, ClicksDriveTheCoreAndItsAnswersReachTheControls) {
    WindowSession s;
    MessageBoxAnswerer answerer;
    QTest::mouseClick(s.form.btn_cast, Qt::LeftButton);
    EXPECT_FALSE(s.form.bg_cast->isHidden());
    ASSERT_TRUE(wait_until([&] { return s.last_line() == "Connected"; }));
    EXPECT_TRUE(s.form.Timer1->isActive());
    EXPECT_TRUE(s.form.Timer2->isActive());
    ASSERT_NO_FATAL_FAILURE(s.accept_the_next_connection());
    QTest::mouseClick(s.form.btn_cast1, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return answerer.texts.size() == 1; }));
    EXPECT_EQ(answerer.texts[0], "Type in a cast name and choose a track.");
    EXPECT_EQ(answerer.captions[0], "kavro");
    QTest::keyClicks(s.form.ed_castname, "Club night");
    QTest::mouseClick(s.form.btn_cast1, Qt::LeftButton);
    EXPECT_TRUE(s.form.bg_cast->isHidden());
    const auto hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(std::string(hello.begin() + 15, hello.begin() + 26), std::string("Club night\0", 11));

    // Acceptance by the window's own Timer1 ticks: buttons swap, then the poll speeds up.
    s.peer.send(std::string("ACK0OK"));
    ASSERT_TRUE(wait_until([&] { return s.form.btn_stop->isEnabled(); }));
    EXPECT_FALSE(s.form.btn_cast->isEnabled());
    EXPECT_FALSE(s.form.btn_watch->isEnabled());
    s.peer.send(wire::make_message(wire::kTagKeepAlive, {}));
    ASSERT_TRUE(wait_until([&] { return s.form.Timer1->interval() == 50; }));
    // Timer2 writes the meter.
    ASSERT_TRUE(wait_until([&] { return s.form.socket_data->text().contains("kb/sec"); }));

    QTest::mouseClick(s.form.btn_stop, Qt::LeftButton);
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_TRUE(s.form.btn_cast->isEnabled());
    EXPECT_FALSE(s.form.btn_stop->isEnabled());
    EXPECT_EQ(s.form.Timer1->interval(), 1000);
    EXPECT_TRUE(s.form.Timer1->isActive());
    EXPECT_FALSE(s.form.Timer2->isActive());
    EXPECT_TRUE(s.peer.closed_by_client());

    // The list fills the grid below its header; the relay's error closes the run in a box.
    ASSERT_NO_FATAL_FAILURE(s.watch_with_list(casts(2)));
    EXPECT_EQ(s.form.sg_serverlist->horizontalHeaderItem(0)->text(), "Cast name");
    EXPECT_EQ(s.form.sg_serverlist->horizontalHeaderItem(3)->text(), "Packet time");
    EXPECT_EQ(s.form.sg_serverlist->item(1, 0)->text(), "Cast 2");
    EXPECT_EQ(s.form.sg_serverlist->item(1, 3)->text(), "1.0 sec");
    s.peer.send(wire::make_error("No cast named Foo is live."));
    ASSERT_TRUE(wait_until([&] { return answerer.texts.size() == 2; }));
    EXPECT_EQ(answerer.texts[1], "No cast named Foo is live.");
    EXPECT_EQ(answerer.captions[1], "kavro");
    EXPECT_FALSE(s.form.btn_cast->isEnabled());
    EXPECT_FALSE(s.form.btn_watch->isEnabled());
    EXPECT_FALSE(s.form.btn_stop->isEnabled());
}

TEST(QtWindow, TheGridHeaderIsNeverSelectedAndWatchTakesTheChosenRow) {
    WindowSession s;
    MessageBoxAnswerer answerer;  // a box here is a fault, and must not wait for a click
    ASSERT_NO_FATAL_FAILURE(s.watch_with_list(casts(3)));
    QTableWidget* grid = s.form.sg_serverlist;
    EXPECT_EQ(grid->currentRow(), 0);  // the first data row, shown selected

    // The user picks the third cast, then clicks the header row: the choice stands.
    s.click_row(2);
    const QPoint on_header(20, grid->frameWidth() + 8);  // in the grid's top row of cells
    QWidget* header_target = grid->childAt(on_header);
    ASSERT_NE(header_target, nullptr);
    QTest::mouseClick(header_target, Qt::LeftButton, {}, header_target->mapFrom(grid, on_header));
    EXPECT_EQ(grid->currentRow(), 2);
    QTest::mouseClick(s.form.btn_watch1, Qt::LeftButton);
    EXPECT_EQ(s.requested_name(), "Cast 3");

    // Up from the first data row stays on it: the header never becomes current.
    s.form.bg_watch->show();
    s.click_row(0);
    QTest::keyClick(grid, Qt::Key_Up);
    QTest::keyClick(grid, Qt::Key_Up);
    EXPECT_EQ(grid->currentRow(), 0);
    QTest::mouseClick(s.form.btn_watch1, Qt::LeftButton);
    EXPECT_EQ(s.requested_name(), "Cast 1");

    // A shorter list moves the current row that fell off the end up to the last row.
    s.click_row(2);
    s.peer.send(wire::make_caster_list(casts(2)));
    ASSERT_TRUE(wait_until([&] { return grid->rowCount() == 2; }));
    EXPECT_EQ(grid->currentRow(), 1);
    ASSERT_EQ(grid->selectedRanges().size(), 1);
    EXPECT_EQ(grid->selectedRanges().front().rowCount(), 1);
    EXPECT_EQ(grid->selectedRanges().front().columnCount(), 1);
    EXPECT_TRUE(answerer.texts.empty());
}

TEST(QtWindow, TabWalksTheControlsInTheirOrderAndLeavesTheLogAndTheGrid) {
    WindowSession s;
    TForm1& f = s.form;
    const auto tab_from = [](QWidget* from) {
        QTest::keyClick(from, Qt::Key_Tab);
        return QApplication::focusWidget();
    };
    // Idle with the cast panel shown: Stop is disabled and the chooser hidden, so Tab skips them.
    f.bg_cast->show();
    f.btn_cast->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), f.btn_cast);
    const QString log_before = f.debug->toPlainText();
    const std::vector<QWidget*> cast_order = {f.btn_watch, f.debug, f.ed_castname, f.btn_cast1,
                                              f.btn_cast};
    QWidget* at = f.btn_cast;
    for (std::size_t i = 0; i < cast_order.size(); ++i) {
        at = tab_from(at);
        EXPECT_EQ(at, cast_order[i]) << "cast panel, press " << i + 1;
    }
    EXPECT_EQ(f.debug->toPlainText(), log_before);  // Tab typed nothing into the log

    // Every control shown and enabled: the whole order, through the grid and round to the start.
    f.bg_watch->show();
    f.btn_stop->setEnabled(true);
    f.btn_about->show();
    f.cb_track->show();
    const std::vector<QWidget*> whole_order = {
        f.btn_watch, f.debug,      f.btn_stop,    f.btn_about,     f.ed_castname, f.cb_track,
        f.btn_cast1, f.btn_watch1, f.btn_refresh, f.sg_serverlist, f.btn_cast};
    at = f.btn_cast;
    for (std::size_t i = 0; i < whole_order.size(); ++i) {
        at = tab_from(at);
        EXPECT_EQ(at, whole_order[i]) << "whole order, press " << i + 1;
    }
    // The log stays editable.
    f.debug->setFocus();
    QTest::keyClicks(f.debug, "x");
    EXPECT_NE(f.debug->toPlainText(), log_before);
}

TEST(QtWindow, ManyCastsScrollBeneathAFixedHeaderWithNoHorizontalBar) {
    WindowSession s;
    const std::string long_name(32, 'W');
    auto list = casts(12);
    list[11].name = long_name;
    ASSERT_NO_FATAL_FAILURE(s.watch_with_list(list));
    QTableWidget* grid = s.form.sg_serverlist;
    QApplication::processEvents();

    // Walk down to the last row with the keyboard; the rows scroll, the header does not.
    s.click_row(0);
    for (int i = 0; i < 11; ++i) QTest::keyClick(grid, Qt::Key_Down);
    ASSERT_EQ(grid->currentRow(), 11);
    QApplication::processEvents();
    EXPECT_GT(grid->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(grid->verticalScrollBar()->isVisible());
    EXPECT_LT(grid->rowViewportPosition(0), 0);  // the first data row scrolled out of view
    const QHeaderView* header = grid->horizontalHeader();
    EXPECT_TRUE(header->isVisible());
    EXPECT_EQ(header->geometry().top(), grid->frameWidth());
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "Cast name");
    EXPECT_FALSE(grid->horizontalScrollBar()->isVisible());
    int total = 0;
    for (int c = 0; c < 4; ++c) total += grid->columnWidth(c);
    EXPECT_LE(total, grid->viewport()->width());
    const QRect last = grid->visualItemRect(grid->item(11, 0));
    EXPECT_TRUE(grid->viewport()->rect().contains(last));

    // The 32-character name is wider than its column: drawn clipped, not with an ellipsis.
    EXPECT_EQ(grid->item(11, 0)->text().toStdString(), long_name);
    EXPECT_GT(grid->fontMetrics().horizontalAdvance(grid->item(11, 0)->text()),
              grid->columnWidth(0));
    EXPECT_EQ(grid->textElideMode(), Qt::ElideNone);
}

TEST(QtWindow, CaptionIsKavroAloneAndBoxesSayKavro) {
    WindowSession s;
    EXPECT_EQ(s.form.windowTitle(), "KAVRO");
    EXPECT_EQ(s.form.windowHandle()->title(), "KAVRO");
    // No display name is set for the platform to append to the caption (" — kavro" on X11 and
    // Windows): an unset display name follows the application name.
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("renamed"));
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "renamed");
    // Boxes carry their caption themselves.
    MessageBoxAnswerer answerer;
    s.form.bg_cast->show();
    QTest::mouseClick(s.form.btn_cast1, Qt::LeftButton);
    QCoreApplication::setApplicationName(name);
    ASSERT_EQ(answerer.captions.size(), 1);
    EXPECT_EQ(answerer.captions[0], "kavro");
}

TEST(QtWindow, ARefusalOfAnAutomaticReconnectIsLoggedWithoutABoxAndStopStaysTheWayOut) {
    WindowSession s;
    MessageBoxAnswerer answerer;
    ASSERT_NO_FATAL_FAILURE(s.watch_with_list(casts(2)));
    QTest::mouseClick(s.form.btn_watch1, Qt::LeftButton);
    EXPECT_EQ(s.requested_name(), "Cast 1");

    // The relay goes away; the window's own timer brings the session back after a pause, and
    // the relay, full for now, answers with ERR.
    s.peer.close();
    ASSERT_TRUE(wait_until([&] {
        return log_lines(s.form.debug)
            .contains("The connection to the relay was lost; reconnecting.");
    }));
    ASSERT_NO_FATAL_FAILURE(s.accept_the_next_connection());
    ASSERT_EQ(s.read_as_the_window_runs(52).size(), 52u);
    s.peer.send(wire::make_error("The relay is full."));
    ASSERT_TRUE(wait_until([&] { return s.last_line() == "The relay is full."; }));
    EXPECT_TRUE(answerer.texts.empty());
    EXPECT_TRUE(s.form.btn_stop->isEnabled());
    EXPECT_FALSE(s.form.btn_watch->isEnabled());
    EXPECT_FALSE(s.form.btn_cast->isEnabled());

    // It is tried again after the next pause; Stop ends it.
    ASSERT_NO_FATAL_FAILURE(s.accept_the_next_connection());
    ASSERT_EQ(s.read_as_the_window_runs(52).size(), 52u);
    QTest::mouseClick(s.form.btn_stop, Qt::LeftButton);
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_TRUE(s.form.btn_watch->isEnabled());
    EXPECT_TRUE(s.form.btn_cast->isEnabled());
    EXPECT_TRUE(answerer.texts.empty());
    EXPECT_TRUE(s.peer.closed_by_client());
}

TEST(QtWindow, TheWindowAnswersWhileItsRelayIsABlackHole) {
    // A relay address that answers nothing: its backlog is full and never accepted, so the
    // kernel drops every SYN, and a connect neither succeeds nor fails until its deadline.
    const int hole = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(hole, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(hole, 0), 0);
    ::getsockname(hole, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM, 0));
        ::fcntl(fillers.back(), F_SETFL, O_NONBLOCK);
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    SimulatorInstall install;
    TForm1 form{RelayAddress{"127.0.0.1", std::to_string(ntohs(address.sin_port))}};
    form.show();

    // How late the event loop runs a 10 ms timer is how long the window could not answer.
    QElapsedTimer clock;
    qint64 last = 0, longest_gap = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest_gap = std::max(longest_gap, now - last);
        last = now;
    });
    clock.start();
    probe.start(10);
    QTest::mouseClick(form.btn_watch, Qt::LeftButton);
    EXPECT_TRUE(
        wait_until([&] { return log_lines(form.debug).contains("Cannot reach the relay."); }));
    EXPECT_GE(clock.elapsed(), 4000) << "the connect gave up before its deadline";
    EXPECT_LT(longest_gap, 500) << "the window did not answer for " << longest_gap << " ms";
    for (const int filler : fillers) ::close(filler);
    ::close(hole);
}
