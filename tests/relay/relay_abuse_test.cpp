// A public relay tried as an attacker would, from one address and with no key: guessing a
// cast's key, squatting a reserved name with look-alikes, and flooding a cast with new
// recordings. The rules are tried on the relay's own clock (fake connections, time moved by the
// test), the guessing on a real relay with many connections at once, and the flood on the
// kavro-relay program with its data folder, whose memory and catalogue are looked at.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "relay/cast/relay_core.h"
#include "relay/policy/cast_names.h"
#include "tests/relay/exposition.h"
#include "tests/relay/fake_connection.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/relay_process.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

using Clock = std::chrono::steady_clock;

const Bytes kRefusedAck(wire::kAckRefused.begin(), wire::kAckRefused.end());
const Bytes kAcceptedAck(wire::kAckAccepted.begin(), wire::kAckAccepted.end());

// What the relay wrote to a fake connection: its acknowledgements ("ACK0OK", "ACK0NO") and
// ERR texts, in order.
std::vector<std::string> answers_in(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> answers;
    std::size_t at = 0;
    while (at + wire::kHeadSize <= bytes.size()) {
        const auto rest = std::span(bytes).subspan(at);
        if (wire::has_tag(rest, wire::kTagAck)) {
            answers.emplace_back(rest.begin(), rest.begin() + 6);
            at += 6;
            continue;
        }
        const std::size_t size = wire::kHeadSize + wire::payload_length(rest);
        if (std::string(rest.begin(), rest.begin() + 3) == "ERR") {
            answers.emplace_back(rest.begin() + wire::kHeadSize, rest.begin() + size - 1);
        }
        at += size;
    }
    return answers;
}

// The relay's rules on a clock the test moves, with the limits at their defaults.
class RelayAbuse : public ::testing::Test {
  protected:
    RelayOptions options_;
    Clock::time_point now_ = Clock::time_point(std::chrono::hours(1));
    std::vector<std::string> log_;
    RelayCore relay_{rule_settings(options_), [this](const std::string& line) { log_.push_back(line); },
                     [this] { return now_; }};
    int next_port_ = 1;
    std::vector<std::shared_ptr<FakeConnection>> connections_;

    std::shared_ptr<FakeConnection> connect(const std::string& host) {
        auto c = std::make_shared<FakeConnection>(
            relay_,
            Peer{boost::asio::ip::make_address(host), host + ":" + std::to_string(next_port_++)});
        relay_.admit(c);
        c->flush();
        connections_.push_back(c);
        return c;
    }
    // A fresh connection from `host` registers `typed`; what it was answered.
    std::string try_name(const std::string& host, const std::string& typed,
                         std::shared_ptr<FakeConnection>* kept = nullptr) {
        auto c = connect(host);
        EXPECT_TRUE(c->deliver(hello_message(wire::kModeCast, typed)));
        c->flush();
        if (kept) *kept = c;
        const auto answers = answers_in(c->received());
        return answers.empty() ? "(nothing)" : answers.front();
    }
    // Moves the clock; every client takes what it was sent, as a live one does.
    void advance(Duration by) {
        now_ += by;
        relay_.tick(now_);
        for (const auto& c : connections_) c->flush();
    }
    Duration pause_of(const std::string& host) {
        return relay_.shared()
            .key_pauses.pause_left(boost::asio::ip::make_address(host), now_)
            .value_or(Duration::zero());
    }
    bool logged(const std::string& part) const {
        return std::any_of(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    }
};

TEST(CastNames, BytesAFontMayShowAsNothingAreRefusedAndAccentedLettersFoldToTheirBase) {
    for (int byte = 0x80; byte <= 0x9F; ++byte) {
        const std::string name = "Le" + std::string(1, static_cast<char>(byte)) + "ague";
        EXPECT_TRUE(cast_name_problem(name)) << byte;
    }
    EXPECT_TRUE(cast_name_problem("Leag\xADue"));
    EXPECT_FALSE(
        cast_name_problem("L\xE9"
                          "ague"));  // é is a letter like any other
    EXPECT_FALSE(cast_name_problem("\xA1Ol\xE9!"));

    EXPECT_EQ(comparable_name("L\xC9"
                              "AGUE"),
              "league");
    EXPECT_EQ(comparable_name("\xC5"
                              "land  \xDF"
                              "e"),
              "aland sse");
    EXPECT_EQ(comparable_name("\xC6gir \xDE"
                              "or \xFF"),
              "aegir thor y");
    EXPECT_EQ(comparable_name("\xF1\xE7\xF8\xFC\xFD\xF0"), "ncouyd");
    // Signs among the letters, and symbols, stay themselves.
    EXPECT_EQ(comparable_name("2\xD7"
                              "3 \xF7 \xA9"),
              "2\xD7"
              "3 \xF7 \xA9");
    EXPECT_NE(comparable_name("Cafe"), comparable_name("Caf"));
}

TEST_F(RelayAbuse, AWrongKeyClosesTheConnectionAndItsAddressWaitsAPauseThatDoubles) {
    std::shared_ptr<FakeConnection> owner;
    ASSERT_EQ(try_name("10.0.0.1", "Cup#owners-key", &owner), "ACK0OK");
    ASSERT_TRUE(owner->deliver(Recording(1).header_upload()));

    std::shared_ptr<FakeConnection> guesser;
    EXPECT_EQ(try_name("10.0.0.2", "Cup#guess-1", &guesser), "Wrong key for this cast.");
    EXPECT_TRUE(guesser->said_goodbye()) << "the connection stays open for another guess";
    EXPECT_EQ(pause_of("10.0.0.2"), std::chrono::seconds(1));
    // During the pause even the right key is turned away, unread, with another text.
    EXPECT_EQ(try_name("10.0.0.2", "Cup#owners-key"),
              "Too many wrong keys from your address; try again in 1 s.");
    EXPECT_EQ(try_name("10.0.0.2", "cup#guess-2"), "ACK0NO") << "a look-alike tries no key";
    EXPECT_EQ(try_name("10.0.0.2", "Cup"), "ACK0NO") << "without a key, the name is taken";
    EXPECT_EQ(try_name("10.0.0.2", "Mug#own-key"), "ACK0OK") << "a new cast tries no key";
    EXPECT_EQ(try_name("10.0.0.3", "Cup#guess-3"), "Wrong key for this cast.")
        << "another address has its own pause";

    // Each guess looked at doubles the pause, up to five minutes.
    Duration expected = std::chrono::seconds(1);
    for (int guess = 0; guess < 11; ++guess) {
        advance(pause_of("10.0.0.2") - std::chrono::milliseconds(1));
        EXPECT_EQ(try_name("10.0.0.2", "Cup#early"),
                  "Too many wrong keys from your address; try again in 1 s.");
        advance(std::chrono::milliseconds(1));
        EXPECT_EQ(try_name("10.0.0.2", "Cup#guess"), "Wrong key for this cast.");
        expected = std::min<Duration>(expected * 2, std::chrono::minutes(5));
        EXPECT_EQ(pause_of("10.0.0.2"), expected) << "after guess " << guess;
    }
    EXPECT_FALSE(owner->said_goodbye()) << "no guess disturbed the owner";
    // Once the pause is over, the owner's key, from that address, is looked at again.
    advance(pause_of("10.0.0.2"));
    EXPECT_EQ(try_name("10.0.0.2", "Cup#owners-key"), "ACK0OK");
    owner->flush();
    EXPECT_EQ(answers_in(owner->received()).back(),
              "This cast was taken over by a new connection.");

    const auto& counters = relay_.counters();
    EXPECT_EQ(counters.refused(Refusal::kWrongKey), 13u);
    EXPECT_EQ(counters.refused(Refusal::kKeyPaused), 12u);
    EXPECT_EQ(counters.key_attempts_refused(), 25u);
    EXPECT_TRUE(logged("key attempts refused in the last minute: "));
    for (const std::string& line : log_) {
        EXPECT_EQ(line.find("owners-key"), std::string::npos) << line;
        EXPECT_EQ(line.find("guess"), std::string::npos) << line;
    }
    // The minute's line says how many; a quiet minute says nothing.
    const auto lines_before = log_.size();
    advance(std::chrono::minutes(1));
    advance(std::chrono::minutes(1));
    EXPECT_EQ(std::count_if(log_.begin() + static_cast<std::ptrdiff_t>(lines_before), log_.end(),
                            [](const std::string& line) {
                                return line.find("key attempts refused") != std::string::npos;
                            }),
              0);
}

TEST_F(RelayAbuse, AReservedNameWithoutItsKeyClosesTheConnectionAndStartsThePause) {
    std::string problem;
    auto reserved = ReservedNames::parse("l3ague-key League\n", problem);
    ASSERT_TRUE(reserved) << problem;
    relay_.shared().reserved_names = std::make_shared<const ReservedNames>(std::move(*reserved));

    EXPECT_EQ(try_name("10.0.0.2",
                       "L\xC9"
                       "AGUE"),
              "This name is reserved and needs its key.");
    EXPECT_EQ(pause_of("10.0.0.2"), std::chrono::seconds(1));
    EXPECT_EQ(try_name("10.0.0.2", "League#l3ague-key"),
              "Too many wrong keys from your address; try again in 1 s.");
    advance(std::chrono::seconds(1));
    EXPECT_EQ(try_name("10.0.0.2", "League#wrong"), "This name is reserved and needs its key.");
    EXPECT_EQ(pause_of("10.0.0.2"), std::chrono::seconds(2));
    EXPECT_EQ(try_name("10.0.0.3", "League#l3ague-key"), "ACK0OK");
    EXPECT_EQ(relay_.counters().refused(Refusal::kReservedName), 2u);
}

TEST_F(RelayAbuse, ACastStartsAtMostFourRecordingsAMinuteCountingHeadersAndBlocksThatDiffer) {
    std::shared_ptr<FakeConnection> caster;
    ASSERT_EQ(try_name("10.0.0.1", "race", &caster), "ACK0OK");
    const auto cast = relay_.casts().find("race");
    ASSERT_TRUE(caster->deliver(Recording(1).header_upload()));  // its first: one
    ASSERT_TRUE(caster->deliver(block_upload(Recording(1).block(0))));
    ASSERT_TRUE(caster->deliver(Recording(2).header_upload()));  // two
    ASSERT_TRUE(caster->deliver(block_upload(Recording(2).block(0))));
    ASSERT_TRUE(caster->deliver(Recording(2).header_upload()));  // the same: none
    ASSERT_TRUE(caster->deliver(block_upload(Recording(2).block(0))));
    ASSERT_TRUE(caster->deliver(block_upload(Recording(3).block(1))));  // past the end: none
    ASSERT_TRUE(caster->deliver(Recording(2).header_upload()));
    ASSERT_TRUE(caster->deliver(block_upload(Recording(4).block(0))));  // differs: three
    advance(std::chrono::seconds(50));
    ASSERT_TRUE(caster->deliver(Recording(5).header_upload()));  // four
    EXPECT_EQ(cast->store().generation(), 4u);
    caster->deliver(Recording(6).header_upload());
    caster->flush();
    EXPECT_EQ(answers_in(caster->received()).back(), "Too many new recordings; try again later.");
    EXPECT_TRUE(caster->said_goodbye());
    EXPECT_EQ(cast->store().generation(), 4u) << "the refused header was kept";
    EXPECT_FALSE(cast->ended()) << "the cast waits for its caster, with its recording";
    EXPECT_TRUE(logged("a new recording refused for 10.0.0.1:"));

    // The caster comes back: the first recording is a minute old at 60 s, and one more may
    // start then, not before.
    caster->leave();
    advance(std::chrono::seconds(9));
    std::shared_ptr<FakeConnection> back;
    ASSERT_EQ(try_name("10.0.0.1", "race", &back), "ACK0OK");
    back->deliver(Recording(7).header_upload());
    back->flush();
    EXPECT_EQ(answers_in(back->received()).back(), "Too many new recordings; try again later.");
    back->leave();
    advance(std::chrono::seconds(1));
    ASSERT_EQ(try_name("10.0.0.1", "race", &back), "ACK0OK");
    ASSERT_TRUE(back->deliver(Recording(8).header_upload()));
    back->flush();
    EXPECT_EQ(cast->store().generation(), 5u);
    EXPECT_EQ(relay_.counters().refused(Refusal::kRecordingsPerCast), 2u);
}

TEST_F(RelayAbuse, AnAddressStartsAtMostTwentyRecordingsAnHourAcrossItsCasts) {
    std::uint32_t seed = 1;
    std::shared_ptr<FakeConnection> caster;
    ASSERT_EQ(try_name("10.0.0.1", "one", &caster), "ACK0OK");
    for (int minute = 0; minute < 5; ++minute) {
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(caster->deliver(Recording(seed++).header_upload()));
        advance(std::chrono::minutes(1));
    }
    // Twenty in five minutes: another cast from the address gets none.
    std::shared_ptr<FakeConnection> other;
    ASSERT_EQ(try_name("10.0.0.1", "two", &other), "ACK0OK");
    other->deliver(Recording(seed++).header_upload());
    other->flush();
    EXPECT_EQ(answers_in(other->received()).back(), "Too many new recordings; try again later.");
    EXPECT_EQ(relay_.counters().refused(Refusal::kRecordingsPerAddress), 1u);
    EXPECT_FALSE(relay_.casts().find("two")->store().has_header());
    // Another address is not held back by it; the first is again once the hour has passed.
    std::shared_ptr<FakeConnection> elsewhere;
    ASSERT_EQ(try_name("10.0.0.9", "three", &elsewhere), "ACK0OK");
    ASSERT_TRUE(elsewhere->deliver(Recording(seed++).header_upload()));
    advance(std::chrono::minutes(55));
    ASSERT_TRUE(caster->deliver(Recording(seed++).header_upload()));
    EXPECT_EQ(relay_.counters().refused(Refusal::kRecordingsPerAddress), 1u);
}

TEST_F(RelayAbuse, AKeyGivenByTheOwnerOfACastWithoutOneKeysItFromThenOn) {
    std::shared_ptr<FakeConnection> first;
    ASSERT_EQ(try_name("10.0.0.1", "Open", &first), "ACK0OK");
    first->leave();
    std::shared_ptr<FakeConnection> keyed;
    ASSERT_EQ(try_name("10.0.0.1", "Open#fresh-key", &keyed), "ACK0OK");
    EXPECT_TRUE(logged("cast Open is keyed from now on: its owner 10.0.0.1:"));
    EXPECT_EQ(relay_.casts().find("Open")->key(), "fresh-key");
    // Its address alone no longer owns it; the key does, from anywhere.
    EXPECT_EQ(try_name("10.0.0.1", "Open"), "ACK0NO");
    EXPECT_EQ(try_name("10.0.0.7", "Open#fresh-key"), "ACK0OK");
    keyed->flush();
    EXPECT_EQ(answers_in(keyed->received()).back(),
              "This cast was taken over by a new connection.");
}

// From one address, many connections at once guess a cast's key for 20 s.
TEST(RelayAbuseLive, ManyParallelGuessesFromOneAddressGetFewerThanAHundredAnswersIn20Seconds) {
    RunningRelay relay;
    TestClient owner(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(owner.cast("Cup#a-key-nobody-guesses"));
    ASSERT_TRUE(owner.send(Recording(5).header_upload()));
    Bystanders bystanders(relay.port());

    std::atomic<int> attempts{0}, looked_at{0}, paused{0}, other{0};
    const auto until = Clock::now() + 20s;
    std::vector<std::thread> guessers;
    for (int g = 0; g < 16; ++g) {
        guessers.emplace_back([&, g] {
            for (int n = 0; Clock::now() < until; ++n) {
                TestClient guesser(relay.port());
                guesser.send(hello_message(wire::kModeCast,
                                           "Cup#" + std::to_string(g) + "-" + std::to_string(n)));
                const auto answer = guesser.read_skipping_keepalives(5s);
                ++attempts;
                const std::string text = answer && answer->tag == "ERR" ? answer->text() : "";
                if (text == "Wrong key for this cast.") {
                    ++looked_at;
                } else if (text.starts_with("Too many wrong keys from your address")) {
                    ++paused;
                } else {
                    ++other;
                }
            }
        });
    }
    for (auto& thread : guessers) thread.join();
    std::printf("%d guesses in 20 s: %d looked at, %d refused in a pause\n", attempts.load(),
                looked_at.load(), paused.load());
    EXPECT_LT(looked_at, 100);
    EXPECT_GE(looked_at, 3) << "the pause ends, and a guess is looked at again";
    EXPECT_GT(paused, 100) << "the guessers were not fast enough to show anything";
    EXPECT_EQ(other, 0);
    EXPECT_TRUE(bystanders.undisturbed());
    EXPECT_TRUE(owner.send(block_upload(Recording(5).block(0))));
    const auto still = owner.read(1s);
    EXPECT_FALSE(still && still->tag == "ERR") << "the owner was sent away";

    const auto answer = http_get(relay.http_port(), "/metrics");
    ASSERT_TRUE(answer);
    const Exposition scraped = parse_exposition(answer->body());
    EXPECT_EQ(scraped.value("kavro_relay_key_attempts_refused_total"), attempts.load());
    EXPECT_EQ(scraped.value("kavro_relay_refusals_total{reason=\"wrong_key\"}"), looked_at.load());
    EXPECT_TRUE(scraped.value("kavro_relay_key_pauses"));
}

TEST(RelayAbuseLive, LookAlikesOfALeagueReservedOrLiveAreRefused) {
    const std::vector<std::string> look_alikes = {"Leag\xADue",
                                                  "League\xAD",
                                                  "\xADLeague",
                                                  "Le\x81"
                                                  "ague",
                                                  "Le\x8D"
                                                  "ague",
                                                  "LEAGUE",
                                                  "L\xE9"
                                                  "ague",
                                                  "L\xC9"
                                                  "AGUE",
                                                  "L\xEB"
                                                  "ague",
                                                  "Leag\xFC"
                                                  "e"};
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("kavro-look-alikes-" + std::to_string(::getpid()) + "-" + std::to_string(test_threads()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "reserved.txt") << "s3cret League\n";

    for (const bool reserved : {true, false}) {
        RelayOptions options = test_options();
        if (reserved) options.reserved_names_file = folder / "reserved.txt";
        RunningRelay relay(options);
        TestClient owner(relay.port(), 0, "127.0.0.2");
        ASSERT_TRUE(owner.cast(reserved ? "League#s3cret" : "League"));
        int source = 3;
        for (const std::string& name : look_alikes) {
            // Each from an address of its own, so no key pause stands in for the rule.
            const std::string address = "127.0.0." + std::to_string(source++);
            TestClient squatter(relay.port(), 0, address.c_str());
            ASSERT_TRUE(squatter.send(hello_message(wire::kModeCast, name)));
            const auto answer = squatter.read_skipping_keepalives();
            ASSERT_TRUE(answer) << name;
            EXPECT_TRUE(answer->whole == kRefusedAck ||
                        (answer->tag == "ERR" &&
                         answer->text() == "This name is reserved and needs its key."))
                << name << (reserved ? " with League reserved" : " with League live");
            if (!reserved) {
                EXPECT_EQ(answer->whole, kRefusedAck) << name;
            }
        }
        TestClient watcher(relay.port(), 0, "127.0.0.99");
        ASSERT_TRUE(watcher.send(hello_message(wire::kModeWatch)));
        ASSERT_TRUE(watcher.read_skipping_keepalives());
        const auto list = watcher.read_skipping_keepalives();
        ASSERT_TRUE(list && list->tag == wire::kTagCasterList);
        ASSERT_EQ(wire::caster_entry_count(list->payload()), 1u);
        EXPECT_EQ(wire::read_caster_entry(list->payload(), 0).name, "League");
    }
    std::filesystem::remove_all(folder);
}

TEST(RelayAbuseLive, AKeyGivenOnResumeStillOwnsTheCastAfterARestart) {
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("kavro-keyed-" + std::to_string(::getpid()) + "-" + std::to_string(test_threads()));
    std::filesystem::remove_all(folder);
    RelayOptions options = test_options();
    options.data_dir = folder;
    const Recording recording(21);
    {
        RunningRelay relay(options);
        auto first = std::make_unique<TestClient>(relay.port(), 0, "127.0.0.2");
        ASSERT_TRUE(first->cast("Open"));
        ASSERT_TRUE(first->send(recording.header_upload()));
        ASSERT_TRUE(first->send(block_upload(recording.block(0))));
        first.reset();
        ASSERT_TRUE(relay.logged({"caster of Open left"}));
        TestClient keyed(relay.port(), 0, "127.0.0.2");
        ASSERT_TRUE(keyed.cast("Open#k3y-on-resume"));
        ASSERT_TRUE(relay.logged({"cast Open is keyed from now on"}));
    }
    RunningRelay relay(options);
    ASSERT_TRUE(relay.logged({"cast Open restored from the data folder"}));
    TestClient by_address(relay.port(), 0, "127.0.0.2");
    ASSERT_TRUE(by_address.send(hello_message(wire::kModeCast, "Open")));
    const auto refused = by_address.read_skipping_keepalives();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->whole, kRefusedAck) << "its address alone took the cast back";
    TestClient by_key(relay.port(), 0, "127.0.0.9");
    EXPECT_TRUE(by_key.cast("Open#k3y-on-resume"));
    std::filesystem::remove_all(folder);
}

// The kavro-relay program, its data folder on and its limits at their defaults, flooded with
// differing headers: by one connection, then by the same address connecting again and again.
TEST(RelayAbuseProgram, AFloodOfDifferingHeadersMakesAFewRecordingsAndLittleMemory) {
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("kavro-flood-" + std::to_string(::getpid()) + "-" + std::to_string(test_threads()));
    std::filesystem::remove_all(folder);
    RelayProcess relay({"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir",
                        folder.string(), "--threads", std::to_string(test_threads())});
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(port, 0);
    ASSERT_NE(http_port, 0);
    const auto metric = [&](const std::string& sample) {
        const auto answer = http_get(http_port, "/metrics");
        const auto value = answer ? parse_exposition(answer->body()).value(sample) : std::nullopt;
        return value ? *value : -1.0;
    };
    Bystanders bystanders(port);  // the relay's own cast, from 127.0.0.1
    const std::size_t before = relay.memory_field("VmRSS");

    // The ERR that ends a flooder's connection.
    const auto error_of = [](TestClient& flooder) {
        for (;;) {
            const auto message = flooder.read();
            if (!message) return std::string("(none)");
            if (message->tag == "ERR") return message->text();
        }
    };
    std::size_t sent = 0, connections = 0, most_rss = 0;
    {
        TestClient flooder(port, 0, "127.0.0.2");
        ASSERT_TRUE(flooder.cast("flood"));
        ++connections;
        for (std::uint32_t i = 0; i < 3000; ++i) {
            // The relay drops what follows its ERR until the flooder closes (or 5 s pass).
            if (!flooder.send(Recording(1000 + i).header_upload())) break;
            ++sent;
        }
        EXPECT_EQ(error_of(flooder), "Too many new recordings; try again later.");
        most_rss = std::max(most_rss, relay.memory_field("VmRSS"));
    }
    // The same address keeps on, taking its cast up again, 20 headers a connection.
    for (std::uint32_t i = 0; i < 3000 && connections < 400; ++connections) {
        TestClient flooder(port, 0, "127.0.0.2");
        if (!flooder.cast("flood")) continue;
        for (int n = 0; n < 20 && flooder.send(Recording(5000 + i).header_upload()); ++n) {
            ++i;
            ++sent;
        }
        EXPECT_EQ(error_of(flooder), "Too many new recordings; try again later.");
        most_rss = std::max(most_rss, relay.memory_field("VmRSS"));
    }
    const std::size_t after = relay.memory_field("VmRSS");
    most_rss = std::max(most_rss, after);
    std::printf(
        "%zu headers sent over %zu connections; VmRSS %zu KiB before, %zu KiB at most, "
        "%zu KiB after; %.0f recordings in the catalogue\n",
        sent, connections, before / 1024, most_rss / 1024, after / 1024,
        metric("kavro_relay_store_recordings"));
    EXPECT_LT(most_rss, before + 64u * 1024 * 1024);
    EXPECT_TRUE(bystanders.undisturbed());
    EXPECT_TRUE(becomes([&] { return metric("kavro_relay_store_recordings") >= 2; }));
    const double recordings = metric("kavro_relay_store_recordings");
    EXPECT_LE(recordings, 1 + 100) << "the bystander's and at most 100 of the flood";
    EXPECT_LE(recordings, 1 + 20) << "the address's twenty an hour";
    EXPECT_GE(metric("kavro_relay_refusals_total{reason=\"recordings_per_cast\"}"), 1);
    // The relay is still up for anyone.
    TestClient newcomer(port, 0, "127.0.0.3");
    EXPECT_TRUE(newcomer.cast("after the flood"));
    EXPECT_TRUE(relay.signal(SIGTERM));
    EXPECT_EQ(relay.exit_status(), 0);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kavro::relay::testing
