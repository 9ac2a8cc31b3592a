// The client's state table, run against a fake view with no window: mode buttons, Stop,
// acceptance, refusal, ERR, disconnects, timers, counters, and the cast and watch flows, with a
// real connection to a scripted relay stand-in on loopback.
#include "client/client_core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_session.h"
#include "wire/wire_format.h"

using namespace kavro;
using namespace kavro::test;

TEST(ClientCore, StartsIdleAndTheInstallationCheckWarnsOnlyWithoutTheSimulator) {
    const std::string warning =
        "KAVRO isn't correct installed.\n\nPlease see the readme for installation instructions.";
    {
        CoreSession s;
        s.core.FormCreate();
        EXPECT_TRUE(s.view.messages.empty());
        EXPECT_TRUE(s.view.idle());
        EXPECT_TRUE(s.view.timer_calls.empty());  // the window's timers start as the core knows
        EXPECT_FALSE(s.core.timer_enabled(WindowTimer::kPoll));
        EXPECT_FALSE(s.core.timer_enabled(WindowTimer::kMeter));
        EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1000);
        EXPECT_EQ(s.core.timer_interval(WindowTimer::kMeter), 1000);
        EXPECT_FALSE(s.state().cast_mode);
        EXPECT_FALSE(s.state().registered);
    }
    {
        Installation without(false);
        FakeClientView view;
        TcpConnection tcp1;
        ClientCore core(view, tcp1, without.paths());
        core.FormCreate();
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0], warning);
        EXPECT_TRUE(view.idle());  // the program goes on as usual

        std::filesystem::create_directory(without.folder.path() / "LFS.exe");  // not a file
        core.FormCreate();
        EXPECT_EQ(view.messages.size(), 2u);
    }
}

TEST(ClientCore, WatchSendsHelloAtOnceAndTheListArrivesWithoutAnotherClick) {
    CoreSession s;
    write_file(s.install.watch_replay(), {'o', 'l', 'd'});
    s.core.btn_watchClick();
    ASSERT_TRUE(s.finish_connect());
    EXPECT_TRUE(s.view.logged("Connected"));
    EXPECT_TRUE(s.view.panel_visible[Panel::kWatch]);
    EXPECT_FALSE(s.view.panel_visible[Panel::kCast]);
    EXPECT_FALSE(s.state().cast_mode);
    EXPECT_TRUE(s.core.timer_enabled(WindowTimer::kPoll));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1000);
    EXPECT_TRUE(s.core.timer_enabled(WindowTimer::kMeter));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kMeter), 1000);
    EXPECT_EQ(s.state().bytes_sent, 52);
    s.peer = s.relay.accept();
    const auto hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(text_of(hello).substr(0, 4), "CCN0");
    EXPECT_EQ(hello[6], 0);

    // Acceptance and list in one piece, handled in that order by one tick.
    s.deliver(joined(
        {'A', 'C', 'K', '0', 'O', 'K'},
        wire::make_caster_list(std::vector<wire::CasterEntry>{{"Sunday race", "BL1", 2, 25}})));
    EXPECT_TRUE(s.state().registered);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kCast]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kWatch]);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_EQ(s.view.grid_rows.at(0)[0], "Sunday race");
    EXPECT_EQ(std::filesystem::file_size(s.install.watch_replay()), 0u);
    EXPECT_EQ(s.state().bytes_received, 6 + 6 + 2 + 40);
    // The receive that brought the acceptance leaves the interval; the next one speeds it up,
    // and later ones ask the window for nothing.
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1000);
    s.deliver(wire::make_message(wire::kTagKeepAlive, {}));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 50);
    ASSERT_FALSE(s.view.timer_calls.empty());
    const auto last_call = s.view.timer_calls.back();
    EXPECT_EQ(last_call.timer, WindowTimer::kPoll);
    EXPECT_TRUE(last_call.enabled);
    EXPECT_EQ(last_call.interval_ms, 50);
    const auto calls = s.view.timer_calls.size();
    s.deliver(wire::make_message(wire::kTagKeepAlive, {}));
    EXPECT_EQ(s.view.timer_calls.size(), calls);

    s.core.btn_stopClick();
    EXPECT_TRUE(s.view.idle());
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_FALSE(s.view.logged("The relay closed the connection."));
    EXPECT_FALSE(s.state().registered);
    EXPECT_TRUE(s.core.timer_enabled(WindowTimer::kPoll));  // never disabled after a connect
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1000);
    EXPECT_FALSE(s.core.timer_enabled(WindowTimer::kMeter));
    EXPECT_TRUE(s.peer.closed_by_client());
    // A tick of the idle connection does nothing.
    const auto lines = s.view.log.size();
    s.core.Timer1Timer();
    EXPECT_EQ(s.view.log.size(), lines);
}

TEST(ClientCore, CastThenWatchBeforeAcceptanceStartsOver) {
    CoreSession s;
    s.core.btn_castClick();
    EXPECT_TRUE(s.view.panel_visible[Panel::kCast]);
    EXPECT_FALSE(s.view.panel_visible[Panel::kWatch]);
    EXPECT_TRUE(s.state().cast_mode);
    ASSERT_TRUE(s.finish_connect());
    PeerSocket first = s.relay.accept();
    EXPECT_FALSE(first.read(1, std::chrono::milliseconds(200)).size());  // nothing sent yet
    s.state().bytes_sent = 999;
    s.state().bytes_received = 999;

    s.core.btn_watchClick();
    EXPECT_TRUE(first.closed_by_client());
    ASSERT_TRUE(s.finish_connect());
    PeerSocket second = s.relay.accept();
    const auto hello = second.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 0);
    EXPECT_EQ(s.state().bytes_sent, 52);  // counters reset by the connect, then the hello
    EXPECT_EQ(s.state().bytes_received, 0);
    EXPECT_FALSE(s.state().cast_mode);
    EXPECT_FALSE(s.view.panel_visible[Panel::kCast]);
    EXPECT_TRUE(s.view.panel_visible[Panel::kWatch]);
    EXPECT_EQ(s.view.log_count("Connected"), 2);
    EXPECT_TRUE(s.core.timer_enabled(WindowTimer::kMeter));
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kCast]);
}

TEST(ClientCore, RelayErrorEndsTheRunWithEveryModeButtonDisabled) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.click_watch());
    const auto err = wire::make_error("No cast named Foo is live.");
    // The text arrives in two pieces; it is shown whole, once, after the connection closed.
    bool connected_while_shown = true;
    s.view.while_message_shows = [&] { connected_while_shown = s.tcp1.Active(); };
    s.deliver(std::vector<std::uint8_t>(err.begin(), err.begin() + 10));
    EXPECT_TRUE(s.view.messages.empty());
    s.deliver(std::vector<std::uint8_t>(err.begin() + 10, err.end()));
    ASSERT_EQ(s.view.messages.size(), 1u);
    EXPECT_EQ(s.view.messages[0], "No cast named Foo is live.");
    EXPECT_FALSE(connected_while_shown);
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kCast]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kWatch]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_FALSE(s.view.panel_visible[Panel::kWatch]);
    EXPECT_FALSE(s.view.panel_visible[Panel::kCast]);
    EXPECT_FALSE(s.tcp1.Active());
    EXPECT_FALSE(s.core.timer_enabled(WindowTimer::kMeter));
    EXPECT_TRUE(s.peer.closed_by_client());
}

TEST(ClientCore, RelayClosingTheConnectionReturnsToIdleAndSaysSo) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    s.deliver(wire::make_message(wire::kTagKeepAlive, {}));
    ASSERT_EQ(s.core.timer_interval(WindowTimer::kPoll), 50);
    s.peer.close();
    ASSERT_TRUE(s.tick_until([&] { return !s.tcp1.Active(); }));
    ASSERT_GE(s.view.log.size(), 2u);
    EXPECT_EQ(s.view.log[s.view.log.size() - 2], "The relay closed the connection.");
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_TRUE(s.view.idle());
    EXPECT_FALSE(s.state().registered);
    EXPECT_FALSE(s.core.timer_enabled(WindowTimer::kMeter));
    EXPECT_TRUE(s.core.timer_enabled(WindowTimer::kPoll));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1000);
}

TEST(ClientCore, AFailedSendEndsTheConnection) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    s.peer.close();
    // The first send after the close may still be taken; a later one fails and ends it all.
    EXPECT_TRUE(wait_until(
        [&] {
            if (s.tcp1.Active()) s.core.btn_refreshClick();
            return !s.tcp1.Active();
        },
        kGenerous));
    EXPECT_TRUE(s.view.logged("The relay closed the connection."));
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_TRUE(s.view.idle());
    // Nothing more is sent or counted on the closed connection.
    const auto sent = s.state().bytes_sent;
    s.core.btn_refreshClick();
    EXPECT_EQ(s.state().bytes_sent, sent);
}

TEST(ClientCore, UnreachableRelayAndRefusalAreReported) {
    {
        Installation install;
        FakeClientView view;
        TcpConnection tcp1;
        tcp1.RemoteHost = "127.0.0.1";
        tcp1.RemotePort = std::to_string(unused_port());
        ClientCore core(view, tcp1, install.paths());
        core.btn_watchClick();
        // The refusal may come at once or on one of the ticks that advance the connect.
        ASSERT_TRUE(wait_until(
            [&] {
                if (view.logged("Cannot reach the relay.")) return true;
                core.Timer1Timer();
                return view.logged("Cannot reach the relay.");
            },
            kGenerous));
        ASSERT_FALSE(view.log.empty());
        EXPECT_EQ(view.log.back(), "Cannot reach the relay.");
        EXPECT_FALSE(view.logged("Connected"));
        // The poll timer runs only while the connect is in progress; a failed connect leaves no
        // timer running, and never starts the meter.
        EXPECT_FALSE(core.timer_enabled(WindowTimer::kPoll));
        EXPECT_FALSE(core.timer_enabled(WindowTimer::kMeter));
        for (const auto& call : view.timer_calls) EXPECT_EQ(call.timer, WindowTimer::kPoll);
        EXPECT_EQ(core.state().bytes_sent, 0);  // nothing reached a socket
        EXPECT_TRUE(view.button_enabled[ModeButton::kWatch]);
        EXPECT_TRUE(view.panel_visible[Panel::kWatch]);
    }
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.click_cast());
    s.deliver(std::vector<std::uint8_t>{'A', 'C', 'K', '0', 'O', 'K'});
    ASSERT_TRUE(s.state().registered);
    s.deliver(std::vector<std::uint8_t>{'A', 'C', 'K', '0', 'N', 'O'});
    EXPECT_EQ(s.last_line(), "The relay refused the request.");
    EXPECT_FALSE(s.state().registered);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kStop]);  // nothing else changes
    EXPECT_TRUE(s.view.panel_visible[Panel::kCast]);
}

TEST(ClientCore, AcceptanceEmptiesTheWatchReplayEvenWhenCasting) {
    CoreSession s;
    write_file(s.install.watch_replay(), {'o', 'l', 'd'});
    ASSERT_NO_FATAL_FAILURE(s.click_cast());
    s.deliver(std::vector<std::uint8_t>{'A', 'C', 'K', '0', 'O', 'K'});
    EXPECT_TRUE(s.state().registered);
    EXPECT_EQ(std::filesystem::file_size(s.install.watch_replay()), 0u);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_TRUE(s.view.panel_visible[Panel::kCast]);  // the Cast button was not used yet
}

TEST(ClientCore, BytesLeftByAnEarlierConnectionDoNotSpoilTheNextOne) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    // Half a data message, then Stop, enabled by the acceptance: the rest never comes.
    const auto data = wire::make_message(wire::kTagReplayData, std::vector<std::uint8_t>(100, 7));
    s.deliver(std::vector<std::uint8_t>(data.begin(), data.begin() + 50));
    EXPECT_EQ(s.state().receive_buffer.count(), 50u);
    ASSERT_TRUE(s.view.button_enabled[ModeButton::kStop]);
    s.core.btn_stopClick();
    EXPECT_TRUE(s.peer.closed_by_client());
    EXPECT_FALSE(s.state().registered);

    // The next connection's acknowledgement is read as such, not as the rest of that message.
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    EXPECT_EQ(s.state().receive_buffer.count(), 0u);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kStop]);
}

TEST(ClientCore, AReactionThatThrowsDoesNotStopLaterPolls) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    bool fail_once = true;
    s.view.on_log_line = [&](const std::string& line) {
        if (line == "Received a replay header." && fail_once) {
            fail_once = false;
            throw std::runtime_error("the window failed");
        }
    };
    s.peer.send(wire::make_message(wire::kTagReplayHeader, pattern_bytes(100, 1)));
    ASSERT_TRUE(s.tcp1.PollReadable(kGenerous));
    EXPECT_THROW(s.core.Timer1Timer(), std::runtime_error);
    // The next ticks poll again and go on after the header, which left the buffer before its
    // reaction ran: it is never handled a second time.
    s.peer.send(wire::make_caster_list(std::vector<wire::CasterEntry>{{"After", "SO1", 1, 10}}));
    ASSERT_TRUE(s.tick_until([&] { return s.view.grid_rows.at(0)[0] == "After"; }));
    EXPECT_TRUE(read_file(s.install.watch_replay()).empty());
}

TEST(ClientCore, GridFollowsTheListAndWatchRequestsTheSelectedCast) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());

    s.deliver(wire::make_caster_list({}));
    EXPECT_EQ(s.view.grid_header, (CasterRow{"Cast name", "Track", "Watcher", "Packet time"}));
    ASSERT_EQ(s.view.grid_rows.size(), 1u);
    EXPECT_EQ(s.view.grid_rows[0], CasterRow{});
    s.core.btn_watch1Click();
    ASSERT_EQ(s.view.messages.size(), 1u);
    EXPECT_EQ(s.view.messages[0], "Caster not available.");
    EXPECT_TRUE(s.view.panel_visible[Panel::kWatch]);

    const std::string long_name(32, 'L');
    s.view.separator = ',';
    s.deliver(wire::make_caster_list(std::vector<wire::CasterEntry>{
        {long_name, "FE2r", 0, 600}, {"Second", "BL1", 3, 0}, {"Third", "AU1", 1, 25}}));
    ASSERT_EQ(s.view.grid_rows.size(), 3u);
    EXPECT_EQ(s.view.grid_rows[0], (CasterRow{long_name, "FE2r", "0", "60,0 sec"}));
    EXPECT_EQ(s.view.grid_rows[1][3], "n.a.");
    EXPECT_EQ(s.view.grid_rows[2][3], "2,5 sec");

    // The top selected data row is requested.
    s.view.selected_row = 2;
    s.core.btn_watch1Click();
    auto request = s.peer.read(36);
    ASSERT_EQ(request.size(), 36u);
    EXPECT_EQ(text_of(request).substr(0, 4), "HOS0");
    EXPECT_EQ(text_of(request).substr(4, 7), std::string("Second\0", 7));
    EXPECT_FALSE(s.view.panel_visible[Panel::kWatch]);
    EXPECT_EQ(s.view.messages.size(), 1u);

    // With no data row selected (the user clicked the header row, say), the first data row.
    s.view.selected_row = 0;
    s.core.btn_watch1Click();
    request = s.peer.read(36);
    ASSERT_EQ(request.size(), 36u);
    EXPECT_EQ(std::string(request.begin() + 4, request.begin() + 36).c_str(), long_name);

    // Refresh asks again with a hello in watch mode.
    const auto sent = s.state().bytes_sent;
    s.core.btn_refreshClick();
    const auto hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(text_of(hello).substr(0, 4), "CCN0");
    EXPECT_EQ(hello[6], 0);
    EXPECT_EQ(s.state().bytes_sent, sent + 52);
}

TEST(ClientCore, HeaderAndDataFillTheReplayFileAndTheLogSaysWhenReady) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    const auto header = pattern_bytes(16384, 2);
    const auto block1 = pattern_bytes(4096, 3);
    const auto block2 = pattern_bytes(4096, 4);
    // A header with stale data, then a new header restarts the file; then two data messages in
    // one piece are both appended.
    s.peer.send(joined(wire::make_message(wire::kTagReplayHeader, pattern_bytes(16384, 1)),
                       wire::make_message(wire::kTagReplayData, pattern_bytes(4096, 9))));
    ASSERT_TRUE(s.tick_until([&] { return s.view.logged("Replay ready to watch."); }));
    s.peer.send(wire::make_message(wire::kTagReplayHeader, header));
    ASSERT_TRUE(s.tick_until([&] { return s.view.log_count("Received a replay header.") == 2; }));
    s.peer.send(joined(wire::make_message(wire::kTagReplayData, block1),
                       wire::make_message(wire::kTagReplayData, block2)));
    ASSERT_TRUE(s.tick_until(
        [&] { return std::filesystem::file_size(s.install.watch_replay()) == 16384 + 2 * 4096; }));
    EXPECT_EQ(read_file(s.install.watch_replay()), joined(joined(header, block1), block2));
    EXPECT_EQ(s.view.log_count("Replay ready to watch."), 2);
    EXPECT_EQ(s.last_line(), "Replay ready to watch.");
    // A replay's header may start a late join: the next ticks come at once for a while, then
    // every 50 ms again, though nothing more arrives.
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1);
    s.tick_after(std::chrono::milliseconds(250));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 50);
}

TEST(ClientCore, CastRegistersAndUploadsTheGrowingRecording) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.click_cast());

    s.core.btn_cast1Click();
    ASSERT_EQ(s.view.messages.size(), 1u);
    EXPECT_EQ(s.view.messages[0], "Type in a cast name and choose a track.");
    EXPECT_TRUE(s.view.panel_visible[Panel::kCast]);
    EXPECT_FALSE(s.peer.read(1, std::chrono::milliseconds(100)).size());

    s.view.typed_cast_name = "Club night";
    s.core.btn_cast1Click();
    EXPECT_FALSE(s.view.panel_visible[Panel::kCast]);
    const auto hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 1);
    EXPECT_EQ(text_of(hello).substr(15, 11), std::string("Club night\0", 11));

    // The simulator has recorded a header and two blocks; nothing goes up before acceptance.
    const auto recording = pattern_bytes(16384 + 2 * 4096, 5);
    write_file(s.install.recording(), recording);
    s.core.Timer1Timer();
    EXPECT_FALSE(std::filesystem::exists(s.install.cast_copy()));

    s.peer.send(std::string("ACK0OK"));
    // The tick that takes the acceptance uploads the header; the blocks follow a tick later.
    ASSERT_TRUE(s.tick_until([&] { return s.state().registered; }));
    EXPECT_TRUE(s.state().cast_streamer.header_sent());
    EXPECT_EQ(s.state().cast_streamer.last_cast_size(), 0);
    s.core.Timer1Timer();
    EXPECT_EQ(s.state().cast_streamer.last_cast_size(), 16384 + 2 * 4096);
    const auto header = s.peer.read(16390);
    ASSERT_EQ(header.size(), 16390u);
    EXPECT_EQ(text_of(header).substr(0, 4), "NRF0");
    std::vector<std::uint8_t> uploaded(header.begin() + 4, header.begin() + 4 + 16384);
    for (int block = 0; block < 2; ++block) {
        const auto tail = s.peer.read(4100);
        ASSERT_EQ(tail.size(), 4100u);
        EXPECT_EQ(text_of(tail).substr(0, 4), "ERF0");
        uploaded.insert(uploaded.end(), tail.begin() + 4, tail.end());
    }
    // No track chosen: the recording's own byte 72 goes up unchanged.
    EXPECT_EQ(uploaded, recording);
    EXPECT_EQ(read_file(s.install.cast_copy()), recording);
    EXPECT_EQ(s.state().bytes_sent, 52 + 16390 + 2 * 4100);
}

TEST(ClientCore, MeterShowsTheRatesAndStartsEachSecondFromZero) {
    CoreSession s;
    s.view.separator = ',';
    s.state().bytes_sent = 10 * 4100;
    s.state().bytes_received = 2048;
    s.core.Timer2Timer();
    EXPECT_EQ(s.view.meter_text, "sent: 8,0 kb/sec     ---     recv: 0,4 kb/sec");
    EXPECT_EQ(s.state().bytes_sent, 0);
    EXPECT_EQ(s.state().bytes_received, 0);
    s.core.Timer2Timer();
    EXPECT_EQ(s.view.meter_text, "sent: 8,0 kb/sec     ---     recv: 0,4 kb/sec");
}

TEST(ClientCore, AMessageTooLongForTheBufferEndsTheConnectionAsStopDoes) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    // A data head announcing 65,535 payload bytes: with its head, more than the buffer holds.
    s.deliver(std::vector<std::uint8_t>{'S', 'R', 'D', '0', 0xFF, 0xFF, 1, 2, 3});
    EXPECT_FALSE(s.tcp1.Active());
    EXPECT_EQ(s.state().receive_buffer.count(), 0u);
    EXPECT_EQ(s.last_line(), "Disconnected.");
    EXPECT_TRUE(s.view.idle());
    EXPECT_FALSE(s.state().registered);
    EXPECT_TRUE(s.peer.closed_by_client());
}

TEST(ClientCore, OneTickTakesEveryWaitingReceiveUpToItsBound) {
    CoreSession s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    s.deliver(wire::make_message(wire::kTagReplayHeader, pattern_bytes(16384, 7)));
    // Twelve blocks waiting at once: far more than one receive of 16,386 bytes.
    std::vector<std::uint8_t> blocks;
    std::vector<std::uint8_t> expected = pattern_bytes(16384, 7);
    for (std::uint32_t i = 0; i < 12; ++i) {
        const auto block = pattern_bytes(4096, 100 + i);
        blocks = joined(blocks, wire::make_message(wire::kTagReplayData, block));
        expected = joined(expected, block);
    }
    s.deliver(blocks);
    EXPECT_EQ(read_file(s.install.watch_replay()), expected);
}
