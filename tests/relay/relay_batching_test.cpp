// The relay's rules driven through fake connections: how blocks are batched into writes, and how
// a cast reaches watchers on other event loops.
#include <gtest/gtest.h>

#include "relay/cast/relay_core.h"
#include "relay/cast/shared_relay_state.h"
#include "tests/relay/recording_connection.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

Bytes uploads(const Recording& recording, std::size_t first, std::size_t count) {
    Bytes all;
    for (std::size_t i = first; i < first + count; ++i) {
        const Bytes upload = block_upload(recording.block(i));
        all.insert(all.end(), upload.begin(), upload.end());
    }
    return all;
}

// Connects a fake connection from `address` to `relay` and says hello in `mode`.
std::shared_ptr<RecordingConnection> hello(RelayCore& relay, std::uint8_t mode,
                                           const std::string& name,
                                           const std::string& address = "10.0.0.1") {
    static std::uint16_t port = 40000;
    auto connection = std::make_shared<RecordingConnection>(relay, address, ++port);
    relay.admit(connection);
    connection->deliver(hello_message(mode, name));
    return connection;
}

TEST(RelayBatching, OneBlockGoesAloneAndAWatcherBehindGetsFourMessagesOfFourBlocksPerWrite) {
    RelayCore relay(rule_settings(RelayOptions{}), [](const std::string&) {});
    const Recording recording(21);
    auto caster = hello(relay, wire::kModeCast, "batch");
    caster->deliver(recording.header_upload());
    auto watcher = hello(relay, wire::kModeWatch, "");
    watcher->complete_writes();
    watcher->deliver(watch_message("batch"));
    watcher->complete_writes();
    const std::size_t joined = watcher->writes.size();

    // Light load: one block, one write of its SRD, at once.
    caster->deliver(uploads(recording, 0, 1));
    ASSERT_EQ(watcher->writes.size(), joined + 1);
    EXPECT_EQ(watcher->writes.back().bytes.size(), wire::kHeadSize + wire::kBlockSize);
    watcher->complete_writes();

    // Three blocks read at once: the watcher is told once and gets them as one SRD.
    EXPECT_EQ(caster->deliver(uploads(recording, 1, 3)), 1u);
    ASSERT_EQ(watcher->writes.size(), joined + 2);
    std::size_t messages = 0;
    replay_in(watcher->writes.back().bytes, &messages);
    EXPECT_EQ(messages, 1u);
    EXPECT_EQ(watcher->writes.back().bytes.size(), wire::kHeadSize + 3 * wire::kBlockSize);
    watcher->complete_writes();

    // A watcher whose socket is busy falls behind by 20 blocks, then gets them 16 to a write:
    // four SRDs of four blocks, then one of four.
    caster->deliver(uploads(recording, 4, 1));
    ASSERT_TRUE(watcher->writing);
    caster->deliver(uploads(recording, 5, 20));
    const std::size_t before = watcher->writes.size();
    watcher->complete_write();
    ASSERT_EQ(watcher->writes.size(), before + 1);
    replay_in(watcher->writes.back().bytes, &messages);
    EXPECT_EQ(messages, 4u);
    EXPECT_EQ(watcher->writes.back().bytes.size(),
              4 * (wire::kHeadSize + wire::kMaxReplayDataPayload));
    watcher->complete_write();
    replay_in(watcher->writes.back().bytes, &messages);
    EXPECT_EQ(messages, 1u);
    EXPECT_EQ(watcher->writes.back().bytes.size(), wire::kHeadSize + 4 * wire::kBlockSize);
    watcher->complete_writes();

    // And the stream is byte-exact.
    Bytes stream;
    for (const auto& write : watcher->writes) {
        stream.insert(stream.end(), write.bytes.begin(), write.bytes.end());
    }
    EXPECT_EQ(replay_in(stream), recording.file(25));
}

TEST(RelayBatching, CasterReadsWholeUploadsAtOnceAndStillJudgesEachTag) {
    std::vector<std::string> lines;
    RelayCore relay(rule_settings(RelayOptions{}), [&](const std::string& line) { lines.push_back(line); });
    const Recording recording(22);
    auto caster = hello(relay, wire::kModeCast, "bulk");
    caster->complete_writes();
    caster->deliver(recording.header_upload());
    // Fifteen uploads (61,500 bytes) fit one read.
    EXPECT_EQ(caster->deliver(uploads(recording, 0, 15)), 1u);
    EXPECT_EQ(relay.casts().find("bulk")->store().block_count(), 15u);
    // A hello from a caster behind good blocks in the same read: the blocks count, the hello is
    // refused at its tag and the caster gets ERR.
    Bytes mixed = uploads(recording, 15, 2);
    const Bytes again = hello_message(wire::kModeCast, "bulk");
    mixed.insert(mixed.end(), again.begin(), again.end());
    caster->deliver(mixed);
    EXPECT_EQ(relay.casts().find("bulk")->store().block_count(), 17u);
    caster->complete_writes();
    ASSERT_FALSE(caster->writes.empty());
    EXPECT_TRUE(wire::has_tag(caster->writes.back().bytes, wire::kTagError));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("This connection is already casting.") != std::string::npos;
    }));
}

TEST(RelayBatching, WatchersOnAnotherLoopGetTheSameBlocksOnlyThroughThatLoopsQueue) {
    QueuedLoops loops(2);
    RelayOptions options;
    options.connections_per_address = 3;
    options.resume_grace = Duration::zero();
    SharedRelayState shared(
        rule_settings(options), [](const std::string&) {}, {}, loops);
    RelayCore first(shared, 0);
    RelayCore second(shared, 1);
    const Recording recording(23);

    auto caster = hello(first, wire::kModeCast, "loops");
    caster->deliver(recording.header_upload());
    auto near = hello(first, wire::kModeWatch, "");
    auto far = hello(second, wire::kModeWatch, "");
    for (auto& watcher : {near, far}) {
        watcher->complete_writes();
        watcher->deliver(watch_message("loops"));
    }
    caster->deliver(uploads(recording, 0, 2));
    // Nothing reaches a watcher until its own loop runs the cast's news.
    const std::size_t far_before = far->writes.size();
    loops.run(0);
    near->complete_writes();
    EXPECT_EQ(far->writes.size(), far_before);
    loops.run(1);
    far->complete_writes();
    EXPECT_GT(far->writes.size(), far_before);

    // Both loops write the very same block buffers: shared, never copied per loop.
    const auto last_piece = [](const RecordingConnection& c) {
        return c.writes.back().pieces.back();
    };
    EXPECT_EQ(last_piece(*near).data(), last_piece(*far).data());
    for (const auto& watcher : {near, far}) {
        Bytes stream;
        for (const auto& write : watcher->writes) {
            stream.insert(stream.end(), write.bytes.begin(), write.bytes.end());
        }
        EXPECT_EQ(replay_in(stream), recording.file(2));
    }

    // The per-address cap counts connections on every loop: a fourth from 10.0.0.1 is refused
    // on either loop, and one from elsewhere is not.
    EXPECT_EQ(first.connections_from(boost::asio::ip::make_address("10.0.0.1")), 3u);
    auto fourth = std::make_shared<RecordingConnection>(second, "10.0.0.1", 50000);
    second.admit(fourth);
    fourth->complete_writes();
    ASSERT_FALSE(fourth->writes.empty());
    EXPECT_TRUE(wire::has_tag(fourth->writes[0].bytes, wire::kTagError));
    EXPECT_EQ(first.connection_count(), 3u);
    auto other = hello(second, wire::kModeWatch, "", "10.0.0.2");
    EXPECT_EQ(first.connection_count(), 4u);

    // When the cast ends (its caster gone, no grace), each loop's watchers hear it from their
    // own loop, and finish.
    caster->close("test");
    first.tick(shared.clock());
    EXPECT_EQ(shared.casts.size(), 0u);
    loops.run(0);
    near->complete_writes();
    EXPECT_TRUE(near->shut_down);
    EXPECT_FALSE(far->shut_down);
    loops.run(1);
    far->complete_writes();
    EXPECT_TRUE(far->shut_down);
}

TEST(RelayBatching, AConnectionWhoseCastWasTakenOverOnAnotherLoopChangesNothingMeanwhile) {
    QueuedLoops loops(2);
    SharedRelayState shared(
        rule_settings(RelayOptions{}), [](const std::string&) {}, {}, loops);
    RelayCore first(shared, 0);
    RelayCore second(shared, 1);
    const Recording recording(24);
    auto old_caster = hello(second, wire::kModeCast, "moved");
    old_caster->deliver(recording.header_upload());
    old_caster->deliver(uploads(recording, 0, 2));
    auto new_caster = hello(first, wire::kModeCast, "moved");
    new_caster->complete_writes();
    const auto cast = first.casts().find("moved");
    ASSERT_EQ(cast->store().generation(), 1u);

    // The old connection's loop has not yet heard that it was sent away, and it reads on.
    old_caster->complete_writes();
    old_caster->deliver(Recording(25).header_upload());
    old_caster->deliver(uploads(Recording(25), 2, 1));
    EXPECT_EQ(cast->store().generation(), 1u);
    EXPECT_EQ(cast->store().block_count(), 2u);
    loops.run(1);
    old_caster->complete_writes();
    EXPECT_EQ(old_caster->writes.back().bytes,
              wire::make_error("This cast was taken over by a new connection."));
    EXPECT_TRUE(old_caster->shut_down);
    // The new caster continues the same recording.
    new_caster->deliver(uploads(recording, 2, 1));
    EXPECT_EQ(cast->store().block_count(), 3u);
}

}  // namespace
}  // namespace kavro::relay::testing
