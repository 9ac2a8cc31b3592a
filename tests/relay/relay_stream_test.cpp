// A real relay forwarding casts: byte-exact streams, catch-up, new recordings, resume, the end
// of a cast, the list, keep-alives, the broadcast delay and slow watchers.
#include <gtest/gtest.h>

#include <thread>

#include "polling.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The list a fresh watcher gets, as entries.
std::vector<wire::CasterEntry> list_of(std::uint16_t port) {
    TestClient client(port);
    client.send(hello_message(wire::kModeWatch));
    const auto ack = client.read_skipping_keepalives();
    const auto list = client.read_skipping_keepalives();
    std::vector<wire::CasterEntry> entries;
    if (!ack || !list || list->tag != wire::kTagCasterList) return entries;
    for (std::size_t i = 0; i < wire::caster_entry_count(list->payload()); ++i) {
        entries.push_back(wire::read_caster_entry(list->payload(), i));
    }
    return entries;
}

// Polls the list until `check` holds; the relay handles each client on its own schedule.
template <typename Check>
bool list_becomes(std::uint16_t port, Check check) {
    return test::wait_until([&] { return check(list_of(port)); }, kDeadline, 20ms);
}

TEST(RelayStream, WatcherHelloGetsExactlyAckThenTheList) {
    RunningRelay relay;
    TestClient watcher(relay.port());
    ASSERT_TRUE(watcher.send(hello_message(wire::kModeWatch)));
    const auto ack = watcher.read();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->whole, text_bytes("ACK0OK"));
    const auto list = watcher.read();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->whole, (Bytes{'C', 'H', 'L', '0', 2, 0, 0, 0}));
}

TEST(RelayStream, CasterGetsAckThenAKeepAliveAboutASecondLater) {
    RunningRelay relay;
    TestClient caster(relay.port());
    ASSERT_TRUE(caster.send(hello_message(wire::kModeCast, "first", "BL1r")));
    const auto ack = caster.read();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->whole, text_bytes("ACK0OK"));
    const auto started = std::chrono::steady_clock::now();
    const auto keepalive = caster.read();
    ASSERT_TRUE(keepalive);
    EXPECT_EQ(keepalive->whole, (Bytes{'K', 'A', 'L', '0', 0, 0}));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms);  // not at once
    EXPECT_TRUE(relay.logged({"cast first started by", caster.local_address()}));
}

TEST(RelayStream, WatcherWhoJoinsBeforeTheHeaderGetsTheExactReplayFramedFromPieces) {
    RunningRelay relay;
    const Recording recording(1);
    TestClient caster(relay.port());
    TestClient watcher(relay.port());
    // The caster's messages arrive in many small TCP pieces, cut across message boundaries.
    Bytes hello = hello_message(wire::kModeCast, "pieces");
    ASSERT_TRUE(caster.send_in_pieces(hello, 5));
    ASSERT_TRUE(caster.read_skipping_keepalives());
    ASSERT_TRUE(watcher.watch("pieces"));
    ASSERT_TRUE(relay.logged({"joined pieces"}));
    Bytes uploads = recording.header_upload();
    for (std::size_t i = 0; i < 5; ++i) {
        const Bytes block = block_upload(recording.block(i));
        uploads.insert(uploads.end(), block.begin(), block.end());
    }
    ASSERT_TRUE(caster.send_in_pieces(uploads, 1000));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(5)));
    EXPECT_EQ(reader.file(), recording.file(5));
    EXPECT_EQ(reader.headers_seen, 1);
}

TEST(RelayStream, WatcherWhoJoinsMidCastCatchesUpFromTheStart) {
    RunningRelay relay;
    const Recording recording(2);
    TestClient caster(relay.port());
    ASSERT_TRUE(caster.cast("midway"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    for (std::size_t i = 0; i < 9; ++i) ASSERT_TRUE(caster.send(block_upload(recording.block(i))));
    ASSERT_TRUE(list_becomes(relay.port(), [](const auto& list) {
        return list.size() == 1 && list[0].packet_time != 0;
    }));
    TestClient watcher(relay.port());
    ASSERT_TRUE(watcher.watch("midway"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(9)));
    for (std::size_t i = 9; i < 12; ++i) ASSERT_TRUE(caster.send(block_upload(recording.block(i))));
    ASSERT_TRUE(reader.read_until(watcher, file_size(12)));
    EXPECT_EQ(reader.file(), recording.file(12));
}

TEST(RelayStream, NewHeaderRestartsTheStreamForWatchersOldAndNew) {
    RunningRelay relay;
    const Recording first(3);
    const Recording second(4);
    TestClient caster(relay.port());
    TestClient early(relay.port());
    ASSERT_TRUE(caster.cast("restart"));
    ASSERT_TRUE(caster.send(first.header_upload()));
    ASSERT_TRUE(early.watch("restart"));
    for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(caster.send(block_upload(first.block(i))));
    ReplayReader early_reader;
    ASSERT_TRUE(early_reader.read_until(early, file_size(3)));
    EXPECT_EQ(early_reader.file(), first.file(3));

    ASSERT_TRUE(caster.send(second.header_upload()));
    for (std::size_t i = 0; i < 2; ++i) ASSERT_TRUE(caster.send(block_upload(second.block(i))));
    ReplayReader restarted;
    ASSERT_TRUE(restarted.read_until(early, file_size(2)));
    EXPECT_EQ(restarted.file(), second.file(2));

    TestClient late(relay.port());
    ASSERT_TRUE(late.watch("restart"));
    ReplayReader late_reader;
    ASSERT_TRUE(late_reader.read_until(late, file_size(2)));
    EXPECT_EQ(late_reader.file(), second.file(2));  // nothing of the first recording
    EXPECT_EQ(late_reader.headers_seen, 1);
}

TEST(RelayStream, ResumedCastFromTheSameAddressContinuesWithoutAGap) {
    RunningRelay relay;
    const Recording recording(5);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    ASSERT_TRUE(caster->cast("resume", "SO1"));
    ASSERT_TRUE(caster->send(recording.header_upload()));
    ASSERT_TRUE(caster->send(block_upload(recording.block(0))));
    ASSERT_TRUE(watcher.watch("resume"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(1)));

    caster.reset();  // the caster's connection drops
    ASSERT_TRUE(relay.logged({"caster of resume left"}));
    EXPECT_TRUE(list_becomes(relay.port(), [](const auto& list) {
        return list.size() == 1 && list[0].name == "resume" && list[0].watchers == 1;
    }));
    TestClient back(relay.port());
    ASSERT_TRUE(back.cast("resume", "SO1"));
    ASSERT_TRUE(relay.logged({"cast resume resumed by"}));
    for (std::size_t i = 1; i < 4; ++i) ASSERT_TRUE(back.send(block_upload(recording.block(i))));
    ASSERT_TRUE(reader.read_until(watcher, file_size(4)));
    EXPECT_EQ(reader.file(), recording.file(4));
    EXPECT_EQ(reader.headers_seen, 1);
}

TEST(RelayStream, CastEndsAfterTheGracePeriodAndItsWatchersAreClosed) {
    RelayOptions options = test_options();
    options.resume_grace = 300ms;
    RunningRelay relay(options);
    const Recording recording(6);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    ASSERT_TRUE(caster->cast("brief"));
    ASSERT_TRUE(caster->send(recording.header_upload()));
    ASSERT_TRUE(watcher.watch("brief"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(0)));
    caster.reset();
    EXPECT_TRUE(watcher.closed_by_relay());
    EXPECT_TRUE(relay.logged({"cast brief ended: its caster did not return"}));
    EXPECT_TRUE(list_of(relay.port()).empty());
    // The name is free again, for anyone.
    TestClient next(relay.port());
    EXPECT_TRUE(next.cast("brief"));
}

TEST(RelayStream, ListPutsMostWatchersFirstWithCountsTrackAndPacketTime) {
    RunningRelay relay;
    const Recording recording(7);
    TestClient quiet(relay.port());
    TestClient busy(relay.port());
    ASSERT_TRUE(quiet.cast("quiet", "BL1"));
    ASSERT_TRUE(busy.cast("busy", "FE2r"));
    EXPECT_TRUE(list_becomes(relay.port(), [](const auto& list) {
        return list.size() == 2 && list[0].name == "quiet" && list[1].name == "busy" &&
               list[0].packet_time == 0 && list[1].packet_time == 0;
    }));
    TestClient w1(relay.port()), w2(relay.port()), w3(relay.port());
    ASSERT_TRUE(w1.watch("busy"));
    ASSERT_TRUE(w2.watch("busy"));
    ASSERT_TRUE(w3.watch("quiet"));
    ASSERT_TRUE(busy.send(recording.header_upload()));
    ASSERT_TRUE(busy.send(block_upload(recording.block(0))));
    EXPECT_TRUE(list_becomes(relay.port(), [](const auto& list) { return list.size() == 2; }));
    std::this_thread::sleep_for(300ms);  // spaces two blocks at least 0.3 s apart
    ASSERT_TRUE(busy.send(block_upload(recording.block(1))));
    EXPECT_TRUE(list_becomes(relay.port(), [](const auto& list) {
        return list.size() == 2 && list[0].name == "busy" && list[0].track == "FE2r" &&
               list[0].watchers == 2 && list[0].packet_time >= 3 && list[1].name == "quiet" &&
               list[1].track == "BL1" && list[1].watchers == 1 && list[1].packet_time == 0;
    }));
}

TEST(RelayStream, TrackWithControlBytesReachesTheLogAndTheListPrintably) {
    RunningRelay relay;
    TestClient caster(relay.port());
    ASSERT_TRUE(caster.cast("tracked", std::string("A\nB\x1b", 4)));
    EXPECT_TRUE(relay.logged({"cast tracked started by", " on A?B?"}));
    const auto list = list_of(relay.port());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].track, "A?B?");
    for (const std::string& line : relay.lines()) {
        EXPECT_EQ(line.find_first_of(std::string("\n\x1b")), std::string::npos) << line;
    }
}

TEST(RelayStream, SilentConnectionsGetAKeepAliveAfterTheInterval) {
    RelayOptions options = test_options();
    options.keepalive_interval = 200ms;
    RunningRelay relay(options);
    TestClient idle(relay.port());
    ASSERT_TRUE(idle.send(hello_message(wire::kModeWatch)));
    ASSERT_TRUE(idle.read());  // ACK
    ASSERT_TRUE(idle.read());  // CHL
    const auto keepalive = idle.read();
    ASSERT_TRUE(keepalive);
    EXPECT_EQ(keepalive->tag, "KAL");
    EXPECT_EQ(keepalive->whole.size(), 6u);
}

TEST(RelayStream, BroadcastDelayHoldsBlocksBackButNotTheHeader) {
    RelayOptions options = test_options();
    options.broadcast_delay = 1s;
    RunningRelay relay(options);
    const Recording recording(8);
    TestClient caster(relay.port());
    TestClient watcher(relay.port());
    ASSERT_TRUE(caster.cast("delayed"));
    ASSERT_TRUE(watcher.watch("delayed"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(0)));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(caster.send(block_upload(recording.block(0))));
    ASSERT_TRUE(caster.send(block_upload(recording.block(1))));
    ASSERT_TRUE(reader.read_until(watcher, file_size(2)));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_EQ(reader.file(), recording.file(2));
}

TEST(RelayStream, WatcherThatStopsReadingStallsNeitherTheCasterNorOtherWatchers) {
    RunningRelay relay;
    const Recording recording(9);
    TestClient caster(relay.port());
    TestClient stalled(relay.port(), 4096);  // small window: the relay's writes back up fast
    TestClient reading(relay.port());
    ASSERT_TRUE(caster.cast("busy"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(stalled.watch("busy"));
    ASSERT_TRUE(reading.watch("busy"));
    // Far more than the socket buffers between the relay and the stalled watcher hold.
    constexpr std::size_t kBlocks = 3000;
    std::thread upload([&] {
        for (std::size_t i = 0; i < kBlocks; ++i) {
            if (!caster.send(block_upload(recording.block(i)))) return;
        }
    });
    ReplayReader reader;
    const bool all_arrived = reader.read_until(reading, file_size(kBlocks), 120s);
    upload.join();
    ASSERT_TRUE(all_arrived);
    EXPECT_EQ(reader.file(), recording.file(kBlocks));
    // The stalled watcher lost nothing: it reads from its own position when it wakes up.
    ReplayReader late;
    ASSERT_TRUE(late.read_until(stalled, file_size(kBlocks), 120s));
    EXPECT_EQ(late.file(), recording.file(kBlocks));
}

TEST(RelayStream, DataBeforeAnyHeaderIsDroppedAndLogged) {
    RunningRelay relay;
    const Recording recording(10);
    TestClient caster(relay.port());
    TestClient watcher(relay.port());
    ASSERT_TRUE(caster.cast("early"));
    ASSERT_TRUE(watcher.watch("early"));
    ASSERT_TRUE(caster.send(block_upload(recording.block(7))));
    EXPECT_TRUE(relay.logged({"early", "before any header"}));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(caster.send(block_upload(recording.block(0))));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(1)));
    EXPECT_EQ(reader.file(), recording.file(1));
}

TEST(RelayStream, ReplayPastThePerCastLimitEndsTheCast) {
    RelayOptions options = test_options();
    options.max_replay_bytes = wire::kReplayHeaderSize + 2 * wire::kBlockSize;
    RunningRelay relay(options);
    const Recording recording(11);
    Bystanders bystanders(relay.port());  // under the limit with one block
    TestClient caster(relay.port());
    TestClient watcher(relay.port());
    ASSERT_TRUE(caster.cast("large"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(watcher.watch("large"));
    ASSERT_TRUE(relay.logged({"joined large"}));  // before the cast ends
    for (std::size_t i = 0; i < 3; ++i) caster.send(block_upload(recording.block(i)));
    const auto error = caster.read_skipping_keepalives();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->tag, "ERR");
    EXPECT_EQ(error->text(), "The replay is too large for this relay.");
    EXPECT_TRUE(caster.closed_by_relay());
    ReplayReader reader;  // the watcher keeps what fitted, then the relay closes it
    ASSERT_TRUE(reader.read_until(watcher, file_size(2)));
    EXPECT_EQ(reader.file(), recording.file(2));
    EXPECT_TRUE(watcher.closed_by_relay());
    EXPECT_TRUE(bystanders.undisturbed());
}

}  // namespace
}  // namespace kavro::relay::testing
