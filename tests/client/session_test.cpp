// The session's transitions against the core with a scripted link and a clock the test moves:
// one table of (state, event, next state), then the paths the table cannot show in one line.
#include "client/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "scripted_core.h"

using namespace kavro;
using namespace kavro::test;
using namespace std::chrono_literals;
using State = Session::State;

namespace {

using Step = std::function<void(ScriptedCore&)>;

struct Transition {
    const char* from;
    Step reach;
    const char* event;
    Step act;
    State to;
};

const std::vector<std::uint8_t> kErr = wire::make_error("The relay is full.");

std::vector<Transition> transitions() {
    const Step idle = [](ScriptedCore&) {};
    const Step connecting = [](ScriptedCore& s) {
        s.link.connects = FakeRelayLink::Connects::kHanging;
        s.core.btn_watchClick();
    };
    const Step open = [](ScriptedCore& s) { s.core.btn_castClick(); };
    const Step awaiting = [](ScriptedCore& s) { s.core.btn_watchClick(); };
    const Step browsing = [](ScriptedCore& s) { s.watcher_accepted(); };
    const Step watching = [](ScriptedCore& s) { s.watching_race(); };
    const Step casting = [](ScriptedCore& s) { s.casting(); };
    const Step pausing = [](ScriptedCore& s) { s.pausing(); };
    const Step coming_back = [](ScriptedCore& s) {
        s.pausing();
        s.tick_after(1s);
    };
    const Step listing_wait = [](ScriptedCore& s) { s.awaiting_listing(); };
    const Step ended = [](ScriptedCore& s) {
        s.watcher_accepted();
        s.relay(kErr);
    };

    const Step stop = [](ScriptedCore& s) { s.core.btn_stopClick(); };
    const Step lost = [](ScriptedCore& s) { s.close_by_relay(); };
    const Step err = [](ScriptedCore& s) { s.relay(kErr); };
    const Step ack = [](ScriptedCore& s) { s.relay(kAcceptance); };
    const Step nak = [](ScriptedCore& s) { s.relay(kRefusal); };
    const Step watch = [](ScriptedCore& s) { s.core.btn_watchClick(); };
    const Step cast = [](ScriptedCore& s) { s.core.btn_castClick(); };
    const Step hour = [](ScriptedCore& s) { s.tick_after(1h); };

    return {
        {"idle", idle, "Watch LFS", watch, State::kAwaitingAcceptance},
        {"idle", idle, "Cast LFS", cast, State::kOpen},
        {"idle", idle, "an hour", hour, State::kIdle},
        {"idle", idle, "Stop", stop, State::kIdle},
        {"connecting", connecting, "5 s", [](ScriptedCore& s) { s.tick_after(5s); },
         State::kConnecting},
        {"connecting", connecting, "6 s", [](ScriptedCore& s) { s.tick_after(6s); }, State::kIdle},
        {"connecting", connecting, "the connect completing",
         [](ScriptedCore& s) {
             s.link.connects = FakeRelayLink::Connects::kSucceeding;
             s.tick_after(50ms);
         },
         State::kAwaitingAcceptance},
        {"connecting", connecting, "Stop", stop, State::kIdle},
        {"connecting", connecting, "Cast LFS", cast, State::kConnecting},
        {"open", open, "ACK0OK", ack, State::kCasting},
        {"open", open, "a lost connection", lost, State::kIdle},
        {"open", open, "ERR", err, State::kEnded},
        {"open", open, "Stop", stop, State::kIdle},
        {"awaiting acceptance", awaiting, "ACK0OK", ack, State::kWatching},
        {"awaiting acceptance", awaiting, "ACK0NO", nak, State::kOpen},
        {"awaiting acceptance", awaiting, "ERR", err, State::kEnded},
        {"awaiting acceptance", awaiting, "a lost connection", lost, State::kIdle},
        {"watching, no cast chosen", browsing, "a lost connection", lost, State::kIdle},
        {"watching, no cast chosen", browsing, "ERR", err, State::kEnded},
        {"watching a cast", watching, "a lost connection", lost, State::kPausing},
        {"watching a cast", watching, "ERR", err, State::kEnded},
        {"watching a cast", watching, "an hour of keep-alives",
         [](ScriptedCore& s) {
             for (int i = 0; i < 360; ++i) {
                 s.clock += 10s;
                 s.relay(wire::make_message(wire::kTagKeepAlive, {}));
             }
         },
         State::kWatching},
        {"watching a cast", watching, "45 s of silence", [](ScriptedCore& s) { s.tick_after(45s); },
         State::kPausing},
        {"watching a cast", watching, "Stop", stop, State::kIdle},
        {"casting", casting, "a lost connection", lost, State::kPausing},
        {"casting", casting, "ERR", err, State::kEnded},
        {"casting", casting, "ACK0NO", nak, State::kCasting},
        {"casting", casting, "Stop", stop, State::kIdle},
        {"pausing", pausing, "999 ms", [](ScriptedCore& s) { s.tick_after(999ms); },
         State::kPausing},
        {"pausing", pausing, "1 s", [](ScriptedCore& s) { s.tick_after(1s); },
         State::kAwaitingAcceptance},
        {"pausing", pausing, "1 s, unreachable",
         [](ScriptedCore& s) {
             s.link.connects = FakeRelayLink::Connects::kAtOnceFailing;
             s.tick_after(1s);
         },
         State::kPausing},
        {"pausing", pausing, "Stop", stop, State::kIdle},
        {"pausing", pausing, "Watch LFS", watch, State::kAwaitingAcceptance},
        {"coming back", coming_back, "ACK0OK and a list with the cast",
         [](ScriptedCore& s) { s.relay(joined(kAcceptance, listing({"Race"}))); },
         State::kWatching},
        {"coming back", coming_back, "ACK0OK and a list without it",
         [](ScriptedCore& s) { s.relay(joined(kAcceptance, listing({"Other"}))); },
         State::kAwaitingListing},
        {"coming back", coming_back, "ERR", err, State::kPausing},
        {"coming back", coming_back, "ACK0NO", nak, State::kPausing},
        {"coming back", coming_back, "a lost connection", lost, State::kPausing},
        {"coming back", coming_back, "Stop", stop, State::kIdle},
        {"awaiting listing", listing_wait, "the cast listed",
         [](ScriptedCore& s) {
             s.relay(listing({"Other", "Race"}));
         },
         State::kWatching},
        {"awaiting listing", listing_wait, "119 s of keep-alives",
         [](ScriptedCore& s) {
             for (int i = 0; i < 119; ++i) {
                 s.clock += 1s;
                 s.relay(wire::make_message(wire::kTagKeepAlive, {}));
             }
         },
         State::kAwaitingListing},
        {"awaiting listing", listing_wait, "2 min", [](ScriptedCore& s) { s.tick_after(2min); },
         State::kIdle},
        {"awaiting listing", listing_wait, "ERR", err, State::kPausing},
        {"awaiting listing", listing_wait, "a lost connection", lost, State::kPausing},
        {"awaiting listing", listing_wait, "Stop", stop, State::kIdle},
        {"ended", ended, "an hour", hour, State::kEnded},
        {"ended", ended, "Stop", stop, State::kIdle},
    };
}

}  // namespace

TEST(ClientSession, EachStateAnswersEachEventAsTheTableSays) {
    for (const Transition& t : transitions()) {
        SCOPED_TRACE(std::string(t.from) + " + " + t.event);
        ScriptedCore s;
        t.reach(s);
        t.act(s);
        EXPECT_STREQ(Session::name(s.state()), Session::name(t.to));
        // Idle and ended hold no connection; every other state but pausing holds or opens one.
        const bool holds = s.link.connected() || s.link.connecting();
        if (t.to == State::kIdle || t.to == State::kEnded || t.to == State::kPausing) {
            EXPECT_FALSE(holds);
        } else {
            EXPECT_TRUE(holds);
        }
        if (std::string(t.event) == "Stop") {
            EXPECT_TRUE(s.view.idle());
        }
    }
}

TEST(ClientSession, TheCastEndingOnTheRelayKeepsTheReplayAndEndsInIdleOnce) {
    ScriptedCore s;
    s.watching_race();
    const auto whole = joined(pattern_bytes(16384, 1), pattern_bytes(4096, 2));
    ASSERT_EQ(s.watch_file(), whole);
    // The relay ends the cast and closes its watchers: not a failure of the path, but the client
    // cannot tell until it asks.
    s.close_by_relay();
    ASSERT_EQ(s.state(), State::kPausing);
    s.tick_after(1s);
    ASSERT_EQ(s.link.last_tag(), "CCN0");
    s.relay(joined(kAcceptance, listing({})));
    EXPECT_EQ(s.watch_file(), whole);  // an automatic acceptance empties nothing
    const int hellos = s.link.count_tag("CCN0");
    std::vector<std::chrono::seconds> asked;
    auto since = s.clock;
    for (auto t = 1s; t <= 2min; t += 1s) {
        s.tick_after(1s);
        if (s.link.count_tag("CCN0") > hellos + static_cast<int>(asked.size())) {
            asked.push_back(std::chrono::duration_cast<std::chrono::seconds>(s.clock - since));
            since = s.clock;
            s.relay(joined(kAcceptance, listing({"Other"})));
            EXPECT_EQ(s.watch_file(), whole);
        }
        if (s.state() == State::kIdle) break;
    }
    // Asked again after the growing pauses, for 2 minutes; then said once, and idle.
    const std::vector<std::chrono::seconds> pauses{1s, 2s, 4s, 8s, 16s, 30s, 30s};
    ASSERT_GE(asked.size(), pauses.size());
    EXPECT_EQ(std::vector<std::chrono::seconds>(asked.begin(), asked.begin() + 7), pauses);
    EXPECT_EQ(s.state(), State::kIdle);
    EXPECT_EQ(s.view.log_count("The cast Race has ended; the replay is kept."), 1);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kWatch]);
    EXPECT_TRUE(s.view.button_enabled[ModeButton::kCast]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_TRUE(s.view.messages.empty());
    EXPECT_FALSE(s.link.connected());
    EXPECT_EQ(s.watch_file(), whole);
    const int attempts = s.link.connect_attempts;
    s.tick_after(10min);
    EXPECT_EQ(s.link.connect_attempts, attempts);
}

TEST(ClientSession, RefusalsOfAnAutomaticReconnectAreLoggedAndEndTheSessionOnlyAfterTwoMinutes) {
    ScriptedCore s;
    s.casting();
    s.close_by_relay();
    const auto outage = s.clock;
    int answered = 0;
    while (s.state() != State::kEnded && s.clock - outage < 10min) {
        s.tick_after(1s);
        if (s.state() != State::kAwaitingAcceptance) continue;
        // The relay is full for now, and says so in turns with a refusing ACK.
        s.relay(answered++ % 2 == 0 ? kErr : kRefusal);
        if (s.state() != State::kEnded) {
            EXPECT_EQ(s.state(), State::kPausing);
        }
    }
    EXPECT_EQ(s.state(), State::kEnded);
    EXPECT_GE(s.clock - outage, 2min);
    EXPECT_LE(s.clock - outage, 2min + 31s);
    EXPECT_GE(answered, 6);  // 1, 2, 4, 8, 16, 30, 30, 30 s apart
    // Logged once each while retrying; one box at the end, and every button off.
    EXPECT_EQ(s.view.log_count("The relay is full."), 1);
    EXPECT_EQ(s.view.log_count("The relay refused the request."), 1);
    ASSERT_EQ(s.view.messages.size(), 1u);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kStop]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kCast]);
    EXPECT_FALSE(s.view.button_enabled[ModeButton::kWatch]);

    // An ERR answering the user's own click stays final at once.
    ScriptedCore user;
    user.core.btn_watchClick();
    user.relay(kErr);
    EXPECT_EQ(user.state(), State::kEnded);
    EXPECT_EQ(user.view.messages, std::vector<std::string>{"The relay is full."});
}

TEST(ClientSession, AWatchPressedOnAStaleGridBeforeTheAcceptanceComesBackAfterAnOutage) {
    ScriptedCore s;
    s.core.btn_watchClick();
    // The grid still shows the list of an earlier connection.
    s.core.btn_stopClick();
    s.watcher_accepted({"Race"});
    s.core.btn_stopClick();
    s.core.btn_watchClick();
    s.view.selected_row = 1;
    s.core.btn_watch1Click();
    EXPECT_EQ(s.link.last_tag(), "HOS0");
    s.relay(joined(kAcceptance, listing({"Race"})));
    s.close_by_relay();
    EXPECT_EQ(s.state(), State::kPausing);
    EXPECT_TRUE(s.core.reconnecting());
    s.tick_after(1s);
    s.relay(joined(kAcceptance, listing({"Race"})));
    EXPECT_EQ(s.link.last_tag(), "HOS0");
    EXPECT_EQ(s.state(), State::kWatching);
}

TEST(ClientSession, ConnectingNeverWaitsAndStopEndsItAtOnce) {
    ScriptedCore s;
    s.link.connects = FakeRelayLink::Connects::kHanging;
    s.core.btn_watchClick();
    EXPECT_EQ(s.state(), State::kConnecting);
    // The poll timer follows the connect quickly, then slows again once it is over.
    EXPECT_TRUE(s.core.timer_enabled(WindowTimer::kPoll));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 50);
    for (int i = 0; i < 100; ++i) s.tick_after(50ms);
    EXPECT_EQ(s.state(), State::kConnecting);
    s.tick_after(1s);
    EXPECT_EQ(s.state(), State::kIdle);
    EXPECT_EQ(s.view.log.back(), "Cannot reach the relay.");
    EXPECT_FALSE(s.view.logged("Connected"));
    EXPECT_EQ(s.core.timer_interval(WindowTimer::kPoll), 1000);

    s.core.btn_castClick();
    ASSERT_EQ(s.state(), State::kConnecting);
    s.core.btn_stopClick();
    EXPECT_EQ(s.state(), State::kIdle);
    EXPECT_FALSE(s.link.connecting());
    EXPECT_TRUE(s.view.idle());

    // An automatic attempt that hangs is given up the same way and the next pause follows.
    ScriptedCore back;
    back.casting();
    back.close_by_relay();
    back.link.connects = FakeRelayLink::Connects::kHanging;
    back.tick_after(1s);
    EXPECT_EQ(back.state(), State::kConnecting);
    back.tick_after(6s);
    EXPECT_EQ(back.state(), State::kPausing);
    EXPECT_FALSE(back.view.logged("Cannot reach the relay."));
    back.link.connects = FakeRelayLink::Connects::kSucceeding;
    back.tick_after(2s);
    EXPECT_EQ(back.state(), State::kAwaitingAcceptance);
}

TEST(ClientSession, ARefreshWhileACastIsWatchedLeavesItsFileWhole) {
    ScriptedCore s;
    s.watching_race();
    const auto file = s.watch_file();
    ASSERT_EQ(file.size(), 16384u + 4096u);
    s.core.btn_refreshClick();
    EXPECT_EQ(s.link.last_tag(), "CCN0");
    s.relay(joined(kAcceptance, listing({"Race"})));
    EXPECT_EQ(s.watch_file(), file);
    // Before a cast is chosen a refresh's acceptance empties the file, as a Watch LFS's does.
    ScriptedCore browsing;
    browsing.watcher_accepted();
    write_file(browsing.install.watch_replay(), {'o', 'l', 'd'});
    browsing.core.btn_refreshClick();
    browsing.relay(kAcceptance);
    EXPECT_TRUE(browsing.watch_file().empty());
}
