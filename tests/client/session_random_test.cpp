// The session driven by random sequences of clicks, relay answers, lost connections and time,
// each checked after every step against what must always hold: the watch file never shrinks
// unless a new recording's header arrives or the user's own hello was accepted; Stop ends
// everything at once; every state the session enters by itself is left within its bound. The
// seed of a failing sequence is printed; KAVRO_SESSION_SEED runs that one alone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "scripted_core.h"

using namespace kavro;
using namespace kavro::test;
using namespace std::chrono_literals;
using State = Session::State;

namespace {

// The replay writer continues a file whose header it already holds: only a different header may
// shrink the file.
constexpr bool kSameHeaderContinuesTheFile = true;

enum class Origin { kUser, kRefresh, kAutomatic };

struct Driver {
    explicit Driver(unsigned seed) : random(seed) {}

    std::mt19937 random;
    ScriptedCore s;
    std::vector<std::uint8_t> header_a = pattern_bytes(16384, 1);
    std::vector<std::uint8_t> header_b = pattern_bytes(16384, 9);
    int blocks = 0;  // the cast's blocks so far
    // Hellos sent on the current connection, not answered yet, as the test saw them leave.
    std::deque<Origin> hellos;
    bool user_connection = false;  // the current connection was opened by the user's click
    ClientCore::TimePoint connecting_since{};
    std::optional<ClientCore::TimePoint> listing_since;

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    std::vector<std::uint8_t> block(int i) { return pattern_bytes(4096, 100 + i); }

    void relay_sends_recording(const std::vector<std::uint8_t>& header) {
        auto bytes = wire::make_message(wire::kTagReplayHeader, header);
        for (int i = 0; i < blocks; ++i) {
            bytes = joined(bytes, wire::make_message(wire::kTagReplayData, block(i)));
        }
        s.relay(bytes);
    }

    // One random step; returns what it was, for the trace.
    std::string step(bool& header_arrived, bool& user_acceptance) {
        const bool chosen_before = !s.core.session().watched_cast().empty();
        const auto before = s.link.sent.size();
        const int attempts = s.link.connect_attempts;
        // `origin` is the click's; a step that is no click sends hellos of the connection's
        // own: the first hello of a connection the user opened is the user's.
        auto after_click = [&](Origin origin, bool click = true) {
            if (s.link.connect_attempts != attempts) {
                hellos.clear();
                user_connection = click;
            }
            if (!click) origin = user_connection ? Origin::kUser : Origin::kAutomatic;
            for (auto i = before; i < s.link.sent.size(); ++i) {
                const auto& r = s.link.sent[i];
                if (std::string(r.begin(), r.begin() + 4) == "CCN0") hellos.push_back(origin);
            }
        };
        auto acceptance = [&](const std::vector<std::uint8_t>& bytes) {
            if (s.link.connected() && !hellos.empty()) {
                const Origin o = hellos.front();
                hellos.pop_front();
                user_acceptance = o == Origin::kUser || (o == Origin::kRefresh && !chosen_before);
            } else if (s.link.connected()) {
                user_acceptance = true;  // an acceptance nobody asked for counts as the user's
            }
            s.relay(bytes);
            after_click(Origin::kAutomatic, false);
        };
        switch (pick(18)) {
            case 0:
                s.core.btn_watchClick();
                after_click(Origin::kUser);
                return "Watch LFS";
            case 1:
                s.core.btn_castClick();
                after_click(Origin::kUser);
                return "Cast LFS";
            case 2:
                s.core.btn_stopClick();
                return "Stop";
            case 3:
                s.view.typed_cast_name = "Club night";
                s.core.btn_cast1Click();
                after_click(Origin::kUser);
                return "Cast";
            case 4:
                s.view.selected_row = 1 + pick(2);
                s.core.btn_watch1Click();
                return "Watch";
            case 5:
                s.core.btn_refreshClick();
                after_click(Origin::kRefresh);
                return "Refresh";
            case 6:
                acceptance(joined(kAcceptance, listing(pick(2) ? std::vector<std::string>{"Race"}
                                                               : std::vector<std::string>{})));
                return "ACK0OK and a list";
            case 7:
                if (s.link.connected() && !hellos.empty()) hellos.pop_front();
                s.relay(kRefusal);
                return "ACK0NO";
            case 8:
                s.relay(wire::make_error("The relay is full."));
                return "ERR";
            case 9:
                s.relay(listing(pick(2) ? std::vector<std::string>{"Other", "Race"}
                                        : std::vector<std::string>{"Other"}));
                after_click(Origin::kAutomatic, false);
                return "a list";
            case 10:
            case 11:
                header_arrived = s.link.connected();
                relay_sends_recording(header_a);
                after_click(Origin::kAutomatic, false);
                return "the recording from its header";
            case 12:
                s.relay(wire::make_message(wire::kTagReplayData, block(blocks++)));
                after_click(Origin::kAutomatic, false);
                return "a block";
            case 13:
                if (pick(4) == 0) {
                    // A new recording under the same name.
                    std::swap(header_a, header_b);
                    blocks = 0;
                }
                return "nothing (the caster's next recording)";
            case 14:
                s.link.relay_closes();
                s.core.Timer1Timer();
                after_click(Origin::kAutomatic, false);
                return "the relay closes";
            case 15:
                s.link.connects = static_cast<FakeRelayLink::Connects>(pick(4));
                return "the relay's reachability changes";
            default: {
                const auto elapsed =
                    std::chrono::milliseconds(pick(4) == 0 ? pick(40000) : pick(1500));
                s.tick_after(elapsed);
                after_click(Origin::kAutomatic, false);
                return "a tick after " + std::to_string(elapsed.count()) + " ms";
            }
        }
    }
};

unsigned seed_count() { return std::getenv("KAVRO_SESSION_SEED") != nullptr ? 1 : 100; }

unsigned first_seed() {
    const char* chosen = std::getenv("KAVRO_SESSION_SEED");
    return chosen != nullptr ? static_cast<unsigned>(std::strtoul(chosen, nullptr, 10)) : 20261209;
}

}  // namespace

TEST(ClientSessionRandom, RandomEventsNeverShrinkTheFileAndEveryStateHasAWayOut) {
    for (unsigned n = 0; n < seed_count(); ++n) {
        const unsigned seed = first_seed() + n;
        SCOPED_TRACE("seed " + std::to_string(seed) +
                     " (KAVRO_SESSION_SEED=" + std::to_string(seed) + " runs it alone)");
        Driver d(seed);
        ScriptedCore& s = d.s;
        std::vector<std::string> steps;
        std::vector<std::uint8_t> file = s.watch_file();
        State state = s.state();
        for (int i = 0; i < 400 && !HasFailure(); ++i) {
            bool header_arrived = false;
            bool user_acceptance = false;
            const auto header_before = std::vector<std::uint8_t>(
                file.begin(), file.begin() + std::min<std::size_t>(file.size(), 16384));
            steps.push_back(d.step(header_arrived, user_acceptance));
            const std::string trace = "after step " + std::to_string(i) + ": " + steps.back() +
                                      ", in " + Session::name(s.state());
            const auto now_file = s.watch_file();
            if (now_file.size() < file.size()) {
                const bool new_header =
                    header_arrived &&
                    (!kSameHeaderContinuesTheFile ||
                     header_before !=
                         std::vector<std::uint8_t>(
                             now_file.begin(),
                             now_file.begin() + std::min<std::size_t>(now_file.size(), 16384)));
                EXPECT_TRUE(new_header || user_acceptance)
                    << trace << ": the file shrank from " << file.size() << " to "
                    << now_file.size();
            }
            file = now_file;

            const State now_state = s.state();
            if (now_state == State::kConnecting && state != State::kConnecting) {
                d.connecting_since = s.clock;
            }
            if (!s.core.session().in_outage()) d.listing_since.reset();
            if (now_state == State::kAwaitingListing && !d.listing_since) d.listing_since = s.clock;
            state = now_state;

            switch (now_state) {
                case State::kIdle:
                case State::kEnded:
                    EXPECT_FALSE(s.link.connected() || s.link.connecting()) << trace;
                    break;
                case State::kConnecting:
                    EXPECT_LE(s.clock - d.connecting_since, Session::kConnectLimit) << trace;
                    break;
                case State::kPausing:
                    ASSERT_TRUE(s.core.session().next_deadline().has_value()) << trace;
                    EXPECT_LE(*s.core.session().next_deadline() - s.clock, Session::kLongestPause)
                        << trace;
                    EXPECT_TRUE(s.view.button_enabled[ModeButton::kStop]) << trace;
                    break;
                case State::kAwaitingListing:
                    EXPECT_LT(s.clock - *d.listing_since, Session::kRetryLimit) << trace;
                    break;
                default:
                    break;
            }
            if (now_state == State::kEnded) {
                EXPECT_FALSE(s.view.button_enabled[ModeButton::kStop]) << trace;
            }
            if (steps.back() == "Stop") {
                EXPECT_EQ(now_state, State::kIdle) << trace;
                EXPECT_TRUE(s.view.idle()) << trace;
            }
        }
        // However it ended, Stop ends it all at once, and nothing happens by itself afterwards.
        s.core.btn_stopClick();
        EXPECT_EQ(s.state(), State::kIdle);
        EXPECT_FALSE(s.link.connected() || s.link.connecting());
        const int attempts = s.link.connect_attempts;
        const auto sent = s.link.sent.size();
        s.tick_after(10min);
        s.tick_after(10min);
        EXPECT_EQ(s.link.connect_attempts, attempts);
        EXPECT_EQ(s.link.sent.size(), sent);
        if (HasFailure()) {
            std::string all;
            for (const auto& step : steps) all += step + "; ";
            ADD_FAILURE() << "steps: " << all;
            return;
        }
    }
}
