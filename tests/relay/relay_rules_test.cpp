// The relay's rules with fake connections and a fake clock: no sockets, no waiting. Time moves
// only when the test says, so the deadlines are checked at their exact edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "relay/cast/relay_core.h"
#include "tests/relay/fake_connection.h"
#include "tests/relay/recording_connection.h"
#include "tests/relay/test_client.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The tags of the messages in `bytes`, in order ("ACK0OK" for acknowledgements).
std::vector<std::string> tags_in(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::string> tags;
    std::size_t at = 0;
    while (at + wire::kHeadSize <= bytes.size()) {
        const auto rest = std::span(bytes).subspan(at);
        if (wire::has_tag(rest, wire::kTagAck)) {
            tags.emplace_back(rest.begin(), rest.begin() + 6);
            at += 6;
            continue;
        }
        tags.emplace_back(rest.begin(), rest.begin() + 3);
        at += wire::kHeadSize + wire::payload_length(rest);
    }
    return tags;
}

RelayOptions rules_options() {
    RelayOptions o;
    o.connections_per_address = 2;
    o.broadcast_delay = std::chrono::seconds(2);
    o.resume_grace = std::chrono::seconds(5);
    o.idle_timeout = std::chrono::seconds(30);
    o.keepalive_interval = std::chrono::seconds(60);
    o.max_replay_bytes = wire::kReplayHeaderSize + 4 * wire::kBlockSize;
    return o;
}

class RulesFixture : public ::testing::Test {
  protected:
    explicit RulesFixture(RelayOptions options) : options_(std::move(options)) {}

    RelayOptions options_;
    Clock::time_point now_ = Clock::time_point(std::chrono::hours(1));
    std::vector<std::string> log_;
    RelayCore relay_{rule_settings(options_), [this](const std::string& line) { log_.push_back(line); },
                     [this] { return now_; }};

    std::shared_ptr<FakeConnection> connect(const std::string& host, int port) {
        auto c = std::make_shared<FakeConnection>(
            relay_, Peer{boost::asio::ip::make_address(host), host + ":" + std::to_string(port)});
        relay_.admit(c);
        c->flush();
        return c;
    }
    void advance(std::chrono::milliseconds by) {
        now_ += by;
        relay_.tick(now_);
    }
    // A caster registered as `name` from `host`, its ACK taken.
    std::shared_ptr<FakeConnection> caster(const std::string& host, int port,
                                           const std::string& name) {
        auto c = connect(host, port);
        EXPECT_TRUE(c->deliver(hello_message(wire::kModeCast, name)));
        c->flush();
        return c;
    }
    // A watcher of `name` from `host`, its ACK and list taken.
    std::shared_ptr<FakeConnection> watcher(const std::string& host, const std::string& name) {
        auto c = connect(host, 1);
        EXPECT_TRUE(c->deliver(hello_message(wire::kModeWatch)));
        c->flush();
        EXPECT_TRUE(c->deliver(watch_message(name)));
        return c;
    }
    // Uploads blocks `from` to `to` of `recording`, taking what the caster is sent.
    void upload(FakeConnection& caster, const Recording& recording, std::size_t from,
                std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            caster.flush();
            EXPECT_TRUE(caster.deliver(block_upload(recording.block(i))));
        }
    }
};

class RelayRules : public RulesFixture {
  protected:
    RelayRules() : RulesFixture(rules_options()) {}
};

TEST_F(RelayRules, BroadcastDelayAndGracePeriodRunOnTheRelaysClock) {
    const Recording recording(3);
    auto caster = connect("10.0.0.1", 1);
    ASSERT_TRUE(caster->deliver(hello_message(wire::kModeCast, "live")));
    caster->flush();
    ASSERT_TRUE(caster->deliver(recording.header_upload()));
    auto watcher = connect("10.0.0.2", 1);
    ASSERT_TRUE(watcher->deliver(hello_message(wire::kModeWatch)));
    watcher->flush();
    ASSERT_TRUE(watcher->deliver(watch_message("live")));
    watcher->flush();
    ASSERT_TRUE(caster->deliver(block_upload(recording.block(0))));
    watcher->flush();
    EXPECT_EQ(tags_in(watcher->received()), (std::vector<std::string>{"ACK0OK", "CHL", "SRH"}));

    advance(std::chrono::milliseconds(1999));
    watcher->flush();
    EXPECT_EQ(tags_in(watcher->received()).size(), 3u) << "a block went out before its delay";
    advance(std::chrono::milliseconds(1));
    watcher->flush();
    EXPECT_EQ(tags_in(watcher->received()).back(), "SRD");
    EXPECT_EQ(watcher->received().size(),
              6 + 48 + 6 + wire::kReplayHeaderSize + 6 + wire::kBlockSize)
        << "ACK, a list of one cast, the header and one block";

    // The caster leaves: the cast waits exactly the grace period, then ends.
    caster->flush();
    caster->leave();
    advance(std::chrono::milliseconds(4999));
    ASSERT_NE(relay_.casts().find("live"), nullptr);
    EXPECT_FALSE(watcher->said_goodbye());
    advance(std::chrono::milliseconds(1));
    EXPECT_EQ(relay_.casts().find("live"), nullptr);
    watcher->flush();
    EXPECT_TRUE(watcher->said_goodbye());
}

TEST_F(RelayRules, AConnectionIsCountedUnderItsOwnAddressUntilItCloses) {
    const auto home = boost::asio::ip::make_address("10.0.0.7");
    auto first = connect("10.0.0.7", 1);
    auto second = connect("10.0.0.7", 2);
    EXPECT_EQ(relay_.connections_from(home), 2u);
    auto third = connect("10.0.0.7", 3);
    EXPECT_TRUE(third->said_goodbye());
    EXPECT_EQ(tags_in(third->received()), std::vector<std::string>{"ERR"});
    EXPECT_EQ(relay_.connections_from(home), 2u) << "a refused connection is not counted";
    third->leave();

    first->leave();
    EXPECT_EQ(relay_.connections_from(home), 1u);
    auto fourth = connect("10.0.0.7", 4);
    EXPECT_FALSE(fourth->said_goodbye());
    second->leave();
    fourth->leave();
    EXPECT_EQ(relay_.connections_from(home), 0u);
    EXPECT_EQ(relay_.connection_count(), 0u);
}

TEST_F(RelayRules, MessageBegunButNotFinishedEndsTheConnectionAtTheIdleTimeOut) {
    auto client = connect("10.0.0.3", 1);
    ASSERT_TRUE(client->deliver(hello_message(wire::kModeWatch)));
    client->flush();
    advance(std::chrono::seconds(20));
    const Bytes request = watch_message("x");
    ASSERT_TRUE(client->deliver(std::span(request).first(10)));
    advance(std::chrono::seconds(29));
    client->flush();
    EXPECT_FALSE(client->said_goodbye());
    advance(std::chrono::seconds(1));
    client->flush();
    EXPECT_TRUE(client->said_goodbye());
    EXPECT_EQ(tags_in(client->received()).back(), "ERR");
}

TEST_F(RelayRules, ReSentBlocksAreMatchedNotStoredSentOrTimedAgain) {
    const Recording recording(12);
    auto first = caster("10.0.0.1", 1, "live");
    ASSERT_TRUE(first->deliver(recording.header_upload()));
    auto viewer = watcher("10.0.0.2", "live");
    for (std::size_t i = 0; i < 4; ++i) {  // one a second, at the per-cast limit
        upload(*first, recording, i, i + 1);
        advance(std::chrono::seconds(1));
    }
    ASSERT_EQ(relay_.casts().find("live")->packet_time(), 10);
    first->flush();
    first->leave();  // block 3 is still held back by the broadcast delay

    auto back = caster("10.0.0.1", 2, "live");
    ASSERT_TRUE(back->deliver(recording.header_upload()));
    upload(*back, recording, 0, 4);
    const auto cast = relay_.casts().find("live");
    ASSERT_NE(cast, nullptr) << "re-sent blocks counted against the per-cast limit";
    EXPECT_EQ(cast->store().block_count(), 4u);
    EXPECT_EQ(cast->packet_time(), 10) << "re-sent blocks moved the packet clock";
    advance(std::chrono::seconds(1));
    viewer->flush();
    EXPECT_EQ(replay_in(viewer->received()), recording.file(4));
    const auto tags = tags_in(viewer->received());
    EXPECT_EQ(std::count(tags.begin(), tags.end(), "SRH"), 1);
}

class RelayTail : public RulesFixture {
  protected:
    RelayTail()
        : RulesFixture([] {
              RelayOptions o = rules_options();
              o.resume_grace = std::chrono::seconds(1);  // over before the broadcast delay
              o.idle_timeout = std::chrono::minutes(10);
              o.keepalive_interval = std::chrono::minutes(10);
              o.max_replay_bytes = 64u * 1024 * 1024;
              return o;
          }()) {}
};

TEST_F(RelayTail, AnEndedCastsWatcherTakesEveryBlockForAsLongAsItKeepsTakingBytes) {
    const Recording recording(13);
    auto source = caster("10.0.0.1", 1, "tail");
    ASSERT_TRUE(source->deliver(recording.header_upload()));
    auto slow = watcher("10.0.0.2", "tail");
    slow->flush();
    auto stuck = watcher("10.0.0.3", "tail");  // its SRH stays unwritten from here on
    const auto stuck_since = now_;
    upload(*source, recording, 0, 40);
    source->flush();
    source->leave();
    advance(std::chrono::seconds(1));  // the cast ends with every block held back
    ASSERT_EQ(relay_.casts().find("tail"), nullptr);

    // Three writes of backlog, one taken every 4 s: longer than the 5 s closing limit.
    while (!slow->said_goodbye()) {
        ASSERT_FALSE(slow->closed()) << "cut off while it was taking bytes";
        ASSERT_TRUE(slow->flush_one());
        if (!slow->said_goodbye()) advance(std::chrono::seconds(4));
    }
    EXPECT_EQ(replay_in(slow->received()), recording.file(40));
    advance(std::chrono::milliseconds(4999));
    EXPECT_FALSE(slow->closed()) << "lingers for the client's own close";
    advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(slow->closed());

    // The watcher that takes nothing goes at the stall limit, not at the idle time-out.
    advance(std::chrono::duration_cast<std::chrono::milliseconds>(
        stuck_since + options_.stall_timeout - std::chrono::milliseconds(1) - now_));
    EXPECT_FALSE(stuck->closed());
    advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(stuck->closed());
}

}  // namespace
}  // namespace kavro::relay::testing
