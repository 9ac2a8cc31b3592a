// The core coming back by itself after an acceptance, against a fake view, a scripted relay
// stand-in on loopback and a clock the test moves: the pauses between attempts, what a caster
// and a watcher say and upload on coming back, what stays final, and the two signs of a dead
// path.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core_session.h"
#include "wire/wire_format.h"

using namespace kavro;
using namespace kavro::test;
using namespace std::chrono_literals;

namespace {

const std::string kLost = "The connection to the relay was lost; reconnecting.";
const std::vector<std::uint8_t> kAccepted{'A', 'C', 'K', '0', 'O', 'K'};

// A session whose relay can be made unreachable, counting the connects it tries.
struct ComingBack : CoreSession {
    std::atomic<bool> reachable{true};
    std::atomic<int> attempts{0};

    ComingBack() {
        tcp1.lookup = [this](const std::string& host, const std::string& port) {
            ++attempts;
            return reachable ? net::resolve(host, port) : std::nullopt;
        };
    }

    // "Cast LFS", a name, Cast, and the relay's acceptance; the hello is read.
    void start_casting(const std::string& name) {
        ASSERT_NO_FATAL_FAILURE(click_cast());
        view.typed_cast_name = name;
        core.btn_cast1Click();
        ASSERT_EQ(peer.read(52).size(), 52u);
        peer.send(kAccepted);
        ASSERT_TRUE(tick_until([&] { return state().registered; }));
    }
    // Reads what the caster uploads after an acceptance: the header and `blocks` blocks, joined
    // back into the recording they came from.
    std::vector<std::uint8_t> upload(std::size_t blocks) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i <= blocks; ++i) {
            const std::size_t size = i == 0 ? 16390 : 4100;
            std::vector<std::uint8_t> record;
            const bool whole = wait_until(
                [&] {
                    core.Timer1Timer();
                    const auto more = peer.read(size - record.size(), 20ms);
                    record.insert(record.end(), more.begin(), more.end());
                    return record.size() == size;
                },
                kGenerous);
            if (!whole) return bytes;
            bytes.insert(bytes.end(), record.begin() + 4, record.begin() + (i == 0 ? 16388 : 4100));
        }
        return bytes;
    }
    // The relay goes away; ticks until the core has noticed.
    void lose_the_relay() {
        peer.close();
        ASSERT_TRUE(tick_until([&] { return core.reconnecting(); }));
    }
    // One more connection to the stand-in, and its hello.
    std::vector<std::uint8_t> next_hello() {
        if (!finish_connect()) return {};
        peer = relay.accept();
        return peer.read(52);
    }
};

}  // namespace

TEST(ClientReconnection, ACasterComesBackAfterGrowingPausesAndUploadsFromTheHeaderAgain) {
    ComingBack s;
    const auto recording = pattern_bytes(16384 + 3 * 4096, 31);
    write_file(s.install.recording(), recording);
    ASSERT_NO_FATAL_FAILURE(s.start_casting("Club night"));
    ASSERT_EQ(s.upload(3), recording);

    s.lose_the_relay();
    EXPECT_EQ(s.view.log_count(kLost), 1);
    EXPECT_FALSE(s.tcp1.Active());
    EXPECT_FALSE(s.state().registered);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kStop]);  // Stop stays the way out
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kCast]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kWatch]);

    // Unreachable: each attempt comes one pause after the one before, and says nothing.
    s.reachable = false;
    const int before = s.attempts;
    const auto lines = s.view.log.size();
    int tried = 0;
    for (const auto pause : {1s, 2s, 4s, 8s, 16s, 30s, 30s}) {
        s.tick_after(pause - 1ms);
        EXPECT_EQ(s.attempts - before, tried) << "too early, pause " << pause.count();
        s.tick_after(1ms);
        ASSERT_TRUE(s.finish_attempt());  // the next pause counts from the failure
        EXPECT_EQ(s.attempts - before, ++tried) << "pause " << pause.count();
    }
    EXPECT_EQ(s.view.log.size(), lines);

    // Reachable again: the same hello, "Connected" once accepted, and the whole recording from
    // the header, a block recorded meanwhile included.
    const auto grown = joined(recording, pattern_bytes(4096, 32));
    write_file(s.install.recording(), grown);
    s.reachable = true;
    s.tick_after(30s);
    const auto hello = s.next_hello();
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 1);
    EXPECT_EQ(text_of(hello).substr(15, 11), std::string("Club night\0", 11));
    EXPECT_EQ(s.view.log_count("Connected"), 1);  // not before the relay takes the cast
    s.peer.send(kAccepted);
    ASSERT_TRUE(s.tick_until([&] { return s.state().registered; }));
    EXPECT_FALSE(s.core.reconnecting());
    EXPECT_EQ(s.view.log_count("Connected"), 2);
    // This relay offers nothing to resume from: the caster waits 2 s for an offer, uploading
    // nothing meanwhile, then starts again from the header.
    s.tick_after(1999ms);
    EXPECT_TRUE(s.peer.read(1, 100ms).empty());
    s.tick_after(1ms);
    EXPECT_EQ(s.upload(4), grown);

    // A later outage is said again and starts again from the first pause.
    s.lose_the_relay();
    EXPECT_EQ(s.view.log_count(kLost), 2);
    const int later = s.attempts;
    s.reachable = false;
    s.tick_after(1s);
    ASSERT_TRUE(s.finish_attempt());
    EXPECT_EQ(s.attempts - later, 1);

    // Stop ends it: idle, and nothing more is tried.
    s.core.btn_stopClick();
    EXPECT_TRUE(s.view.idle());
    EXPECT_EQ(s.last_line(), "Disconnected.");
    s.reachable = true;
    s.tick_after(60s);
    s.tick_after(60s);
    EXPECT_EQ(s.attempts - later, 1);
    EXPECT_FALSE(s.relay.has_pending());
}

TEST(ClientReconnection, ARefusedComebackIsTriedAgainAndNothingComesBackBeforeAnAcceptance) {
    ComingBack s;
    ASSERT_NO_FATAL_FAILURE(s.start_casting("Club night"));
    s.lose_the_relay();
    // The relay still holds the name for the connection that died: refused, and tried again
    // after a longer pause; the refusal is said once.
    for (int refusal = 0; refusal < 2; ++refusal) {
        const int before = s.attempts;
        s.tick_after(refusal == 0 ? 1s : 2s);
        ASSERT_TRUE(s.finish_attempt());
        ASSERT_EQ(s.attempts - before, 1);
        ASSERT_EQ(s.next_hello().size(), 52u);
        s.peer.send(std::string("ACK0NO"));
        ASSERT_TRUE(s.tick_until([&] { return !s.tcp1.Active(); }));
        EXPECT_TRUE(s.core.reconnecting());
    }
    EXPECT_EQ(s.view.log_count("The relay refused the request."), 1);
    s.tick_after(4s);
    ASSERT_EQ(s.next_hello().size(), 52u);
    s.peer.send(kAccepted);
    ASSERT_TRUE(s.tick_until([&] { return s.state().registered; }));
    EXPECT_EQ(s.view.log_count(kLost), 1);

    // Before an acceptance the user is still choosing: a lost connection goes back to idle.
    ComingBack early;
    ASSERT_NO_FATAL_FAILURE(early.click_cast());
    early.peer.close();
    early.view.typed_cast_name = "Club night";
    early.core.btn_cast1Click();  // the send or the next receive finds the connection gone
    ASSERT_TRUE(early.tick_until([&] { return !early.tcp1.Active(); }));
    EXPECT_TRUE(early.view.idle());
    EXPECT_TRUE(early.view.logged("The relay closed the connection."));
    const int attempts = early.attempts;
    early.tick_after(60s);
    EXPECT_EQ(early.attempts, attempts);
}

TEST(ClientReconnection, AWatcherAsksForItsCastOnceListedAndItsFileStartsAgainWhole) {
    ComingBack s;
    const auto list = [](std::vector<wire::CasterEntry> entries) {
        return wire::make_caster_list(entries);
    };
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    s.deliver(list({{"Other", "BL1", 1, 10}, {"Race", "SO1", 2, 10}}));
    s.view.selected_row = 2;
    s.core.btn_watch1Click();
    ASSERT_EQ(text_of(s.peer.read(36)).substr(0, 8), std::string("HOS0Race"));
    const auto header = pattern_bytes(16384, 41);
    const auto block = pattern_bytes(4096, 42);
    s.peer.send(joined(wire::make_message(wire::kTagReplayHeader, header),
                       wire::make_message(wire::kTagReplayData, block)));
    ASSERT_TRUE(s.tick_until([&] { return s.view.logged("Replay ready to watch."); }));

    // Back after a relay restart: hello, and no HOS0 while the cast is not listed (that would
    // be answered with ERR); the list is asked for again after the growing pauses. The
    // acceptance of a hello the user did not send leaves the watch file as it is.
    s.lose_the_relay();
    s.tick_after(1s);
    auto hello = s.next_hello();
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 0);
    s.deliver(joined(kAccepted, list({})));
    EXPECT_EQ(s.view.log_count("Connected"), 2);
    EXPECT_TRUE(s.view.logged("Waiting for Race to be listed again."));
    EXPECT_EQ(read_file(s.install.watch_replay()), joined(header, block));
    EXPECT_TRUE(s.peer.read(1, 200ms).empty());
    s.tick_after(999ms);
    EXPECT_TRUE(s.peer.read(1, 200ms).empty());
    s.tick_after(1ms);
    hello = s.peer.read(52);
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(text_of(hello).substr(0, 4), "CCN0");
    EXPECT_EQ(hello[6], 0);
    s.deliver(joined(kAccepted, list({{"Other", "BL1", 1, 10}})));
    EXPECT_EQ(read_file(s.install.watch_replay()), joined(header, block));
    s.tick_after(1s);
    EXPECT_TRUE(s.peer.read(1, 200ms).empty());
    s.tick_after(1s);
    ASSERT_EQ(s.peer.read(52).size(), 52u);
    s.deliver(list({{"Race", "SO1", 0, 10}}));
    ASSERT_EQ(text_of(s.peer.read(36)).substr(0, 9), std::string("HOS0Race\0", 9));
    EXPECT_EQ(s.view.log_count("Waiting for Race to be listed again."), 1);

    // The relay sends the recording from its header: the file starts again and is whole.
    const auto block2 = pattern_bytes(4096, 43);
    s.peer.send(joined(joined(wire::make_message(wire::kTagReplayHeader, header),
                              wire::make_message(wire::kTagReplayData, block)),
                       wire::make_message(wire::kTagReplayData, block2)));
    const auto whole = joined(joined(header, block), block2);
    ASSERT_TRUE(s.tick_until([&] { return read_file(s.install.watch_replay()) == whole; }));

    // A file that lost what was written to it cannot be mended: the cast is asked for again at
    // once, and comes whole.
    std::filesystem::remove(s.install.watch_replay());
    s.deliver(wire::make_message(wire::kTagReplayData, block2));
    EXPECT_TRUE(s.core.reconnecting());
    s.tick_after(0ms);
    ASSERT_EQ(s.next_hello().size(), 52u);
    s.deliver(joined(kAccepted, list({{"Race", "SO1", 0, 10}})));
    ASSERT_EQ(s.peer.read(36).size(), 36u);
    s.peer.send(joined(wire::make_message(wire::kTagReplayHeader, header),
                       wire::make_message(wire::kTagReplayData, block)));
    ASSERT_TRUE(
        s.tick_until([&] { return read_file(s.install.watch_replay()) == joined(header, block); }));

    // An ERR stays final: nothing comes back after it.
    s.deliver(wire::make_error("No cast named Race is live."));
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kWatch]);
    const int attempts = s.attempts;
    s.tick_after(60s);
    EXPECT_EQ(s.attempts, attempts);
}

TEST(ClientDeadPath, SilenceOrAnUploadWithoutRoomForTheirLimitsIsALostConnection) {
    {
        // A watcher of a chosen cast: a keep-alive now and then is a live relay, 45 s of nothing
        // is not.
        ComingBack s;
        ASSERT_NO_FATAL_FAILURE(s.start_watching());
        s.deliver(wire::make_caster_list(std::vector<wire::CasterEntry>{{"Race", "SO1", 0, 0}}));
        s.core.btn_watch1Click();
        ASSERT_EQ(s.peer.read(36).size(), 36u);
        for (int i = 0; i < 3; ++i) {
            s.tick_after(44s);
            ASSERT_TRUE(s.tcp1.Connected());
            s.peer.send(wire::make_message(wire::kTagKeepAlive, {}));
            ASSERT_TRUE(s.tcp1.PollReadable(kGenerous));
            s.tick_after(0ms);
        }
        s.tick_after(44s);
        EXPECT_TRUE(s.tcp1.Connected());
        s.tick_after(1s);
        EXPECT_FALSE(s.tcp1.Active());
        EXPECT_TRUE(s.core.reconnecting());
        EXPECT_EQ(s.view.log_count(kLost), 1);
    }
    {
        // A caster whose relay takes nothing more (a frozen path): the upload waits 30 s, then
        // the connection counts as lost, though the relay still seems to be there.
        ComingBack s;
        write_file(s.install.recording(), pattern_bytes(16384 + 6000 * 4096, 51));
        ASSERT_NO_FATAL_FAILURE(s.start_casting("Club night"));
        ASSERT_TRUE(wait_until(
            [&] {
                if (s.tcp1.PollWritable()) s.core.Timer1Timer();
                return !s.tcp1.PollWritable();
            },
            kGenerous))
            << "the connection never filled";
        s.tick_after(0ms);
        s.tick_after(29s);
        EXPECT_TRUE(s.tcp1.Connected());
        s.tick_after(1s);
        EXPECT_FALSE(s.tcp1.Active());
        EXPECT_TRUE(s.core.reconnecting());
    }
}

TEST(ClientCast, ACopyThatFailsIsSaidOnceAndSoIsItsRecovery) {
    ComingBack s;
    write_file(s.install.recording(), pattern_bytes(16384, 61));
    // A folder where the copy goes: it cannot be written, as under a protected folder.
    std::filesystem::create_directory(s.install.cast_copy());
    ASSERT_NO_FATAL_FAILURE(s.start_casting("Club night"));
    for (int i = 0; i < 3; ++i) s.tick_after(50ms);
    const std::string cannot = "Cannot copy " + s.install.recording().generic_string() + " to " +
                               s.install.cast_copy().generic_string() + ".";
    EXPECT_EQ(s.view.log_count(cannot), 1);
    std::filesystem::remove(s.install.cast_copy());
    for (int i = 0; i < 3; ++i) s.tick_after(50ms);
    EXPECT_EQ(s.view.log_count("Copying " + s.install.recording().generic_string() + " to " +
                               s.install.cast_copy().generic_string() + " works again."),
              1);
    EXPECT_EQ(s.view.log_count(cannot), 1);
    EXPECT_EQ(read_file(s.install.cast_copy()), pattern_bytes(16384, 61));
    // No recording at all is the simulator not recording: nothing to say.
    std::filesystem::remove(s.install.recording());
    const auto lines = s.view.log.size();
    s.tick_after(50ms);
    EXPECT_EQ(s.view.log.size(), lines);
}

TEST(ClientReconnection,
     ACastTheRelayEndedIsLookedForTwoMinutesThenTheWatcherIsIdleWithItsFileWhole) {
    ComingBack s;
    ASSERT_NO_FATAL_FAILURE(s.start_watching());
    s.deliver(wire::make_caster_list(std::vector<wire::CasterEntry>{{"Race", "SO1", 1, 10}}));
    s.core.btn_watch1Click();
    ASSERT_EQ(s.peer.read(36).size(), 36u);
    const auto whole = joined(pattern_bytes(16384, 71), pattern_bytes(3 * 4096, 72));
    s.peer.send(
        joined(wire::make_message(wire::kTagReplayHeader, pattern_bytes(16384, 71)),
               wire::make_message(wire::kTagReplayData,
                                  std::vector<std::uint8_t>(whole.begin() + 16384, whole.end()))));
    ASSERT_TRUE(s.tick_until([&] { return read_file(s.install.watch_replay()) == whole; }));

    // The relay ends the cast and closes the connection: the client comes back, is accepted,
    // and looks for the cast; every answer lists other casts only. The file is sampled at each.
    s.lose_the_relay();
    s.tick_after(1s);
    ASSERT_EQ(s.next_hello().size(), 52u);
    const auto started = s.clock;
    int answers = 0;
    s.deliver(joined(kAccepted, wire::make_caster_list({})));
    while (s.core.session().state() != Session::State::kIdle && s.clock - started < 3min) {
        EXPECT_EQ(read_file(s.install.watch_replay()), whole);
        s.tick_after(1s);
        if (s.tcp1.Connected() && s.peer.read(52, 50ms).size() == 52u) {
            ++answers;
            s.deliver(joined(kAccepted, wire::make_caster_list(std::vector<wire::CasterEntry>{
                                            {"Other", "BL1", 0, 10}})));
        }
    }
    EXPECT_GE(s.clock - started, 2min);
    EXPECT_LE(s.clock - started, 2min + 1s);
    EXPECT_GE(answers, 7);
    EXPECT_EQ(s.view.log_count("The cast Race has ended; the replay is kept."), 1);
    EXPECT_EQ(read_file(s.install.watch_replay()), whole);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kWatch]);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kCast]);
    EXPECT_FALSE(s.tcp1.Active());
    EXPECT_TRUE(s.peer.closed_by_client());
}
