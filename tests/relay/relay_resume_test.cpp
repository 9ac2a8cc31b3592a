// A real relay when things go wrong under a cast: a caster that is cut and uploads again from
// its header, one whose recording changed meanwhile, one whose old connection still looks
// alive, and a cast that ends while the broadcast delay still holds blocks back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

// `caster` registers `name`, `watcher` joins it, and the caster uploads the header and the first
// `blocks` blocks of `recording`.
void start_cast(TestClient& caster, TestClient& watcher, std::string_view name,
                const Recording& recording, std::size_t blocks) {
    ASSERT_TRUE(caster.cast(name));
    ASSERT_TRUE(watcher.watch(name));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(upload(caster, recording, 0, blocks));
}

TEST(RelayResume, ReUploadFromTheHeaderAfterACutFillsTheGapWithoutRepeats) {
    RunningRelay relay;
    const Recording recording(21);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    // The caster counts 8 blocks as sent, but the relay gets only 5 before the path is cut.
    ASSERT_NO_FATAL_FAILURE(start_cast(*caster, watcher, "cut", recording, 5));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(5)));
    caster->cut();
    ASSERT_TRUE(relay.logged({"caster of cut left"}));

    TestClient back(relay.port());
    ASSERT_TRUE(back.cast("cut"));
    ASSERT_TRUE(back.send(recording.header_upload()));
    ASSERT_TRUE(upload(back, recording, 0, 12));
    ASSERT_TRUE(reader.read_until(watcher, file_size(12)));
    EXPECT_EQ(reader.file(), recording.file(12));
    EXPECT_EQ(reader.headers_seen, 1);
    EXPECT_TRUE(relay.logged({"cast cut: ", "sent the same header again", "against the 5 held"}));
}

TEST(RelayResume, ABlockThatDiffersStartsANewRecordingOfWhatTheCasterReSent) {
    RunningRelay relay;
    const Recording first(22);
    const Recording changed(23);  // the caster's file from block 3 on, after the relay held 6
    TestClient caster(relay.port());
    TestClient early(relay.port());
    ASSERT_NO_FATAL_FAILURE(start_cast(caster, early, "changed", first, 6));
    ReplayReader before;
    ASSERT_TRUE(before.read_until(early, file_size(6)));

    ASSERT_TRUE(caster.send(first.header_upload()));
    ASSERT_TRUE(upload(caster, first, 0, 3));
    ASSERT_TRUE(upload(caster, changed, 3, 8));
    Bytes expected = first.file(3);
    for (std::size_t i = 3; i < 8; ++i) {
        const Bytes block = changed.block(i);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    ReplayReader after;  // the SRH again, then the new recording from its start
    ASSERT_TRUE(after.read_until(early, file_size(8)));
    EXPECT_EQ(after.file(), expected);
    EXPECT_EQ(after.headers_seen, 1);
    TestClient late(relay.port());
    ASSERT_TRUE(late.watch("changed"));
    ReplayReader late_reader;
    ASSERT_TRUE(late_reader.read_until(late, file_size(8)));
    EXPECT_EQ(late_reader.file(), expected);
}

// What a client of the original protocol makes of the bytes it receives: ACK is six bytes, and
// a KAL empties its whole buffer, whatever follows. Returns the acknowledgements seen; `buffer`
// keeps what it would still hold.
std::vector<std::string> original_client_reads(Bytes& buffer, const Bytes& piece) {
    std::vector<std::string> acks;
    buffer.insert(buffer.end(), piece.begin(), piece.end());
    while (buffer.size() >= 6) {
        if (wire::has_tag(buffer, wire::kTagAck)) {
            acks.emplace_back(buffer.begin(), buffer.begin() + 6);
            buffer.erase(buffer.begin(), buffer.begin() + 6);
        } else if (wire::has_tag(buffer, wire::kTagKeepAlive)) {
            buffer.clear();
        } else {
            break;  // anything else would wait for more, or jam it
        }
    }
    return acks;
}

TEST(RelayResumeOffer, AReturningOwnerGetsAckAndTheOfferInOnePieceThatAnOriginalClientEmpties) {
    RunningRelay relay;
    const Recording recording(31);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    ASSERT_NO_FATAL_FAILURE(start_cast(*caster, watcher, "offered", recording, 9));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(9)));
    caster->cut();
    ASSERT_TRUE(relay.logged({"caster of offered left"}));

    TestClient back(relay.port());
    ASSERT_TRUE(back.send(hello_message(wire::kModeCast, "offered")));
    const Bytes piece = back.receive_piece();
    const Bytes upload_of_header = recording.header_upload();
    const Bytes header(upload_of_header.begin() + 4,
                       upload_of_header.begin() + 4 + wire::kReplayHeaderSize);
    const wire::ResumeOffer offer{file_size(9), wire::resume_digest(header, recording.block(8))};
    EXPECT_EQ(piece, wire::make_accepted_with_offer(offer));
    // An original client sees the acceptance, then empties its buffer on the KAL: nothing is
    // left that it could not read, and nothing jams it.
    Bytes buffer;
    EXPECT_EQ(original_client_reads(buffer, piece), std::vector<std::string>{"ACK0OK"});
    EXPECT_TRUE(buffer.empty());

    // The owner that took the offer sends only what follows; the watcher's file just grows.
    ASSERT_TRUE(upload(back, recording, 9, 14));
    ASSERT_TRUE(reader.read_until(watcher, file_size(14)));
    EXPECT_EQ(reader.file(), recording.file(14));
    EXPECT_EQ(reader.headers_seen, 1);
}

TEST(RelayResumeOffer, AnOwnerThatUploadsFromTheHeaderAsBeforeLosesNothing) {
    RunningRelay relay;
    const Recording recording(32);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    ASSERT_NO_FATAL_FAILURE(start_cast(*caster, watcher, "classic", recording, 4));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(4)));
    caster->cut();
    ASSERT_TRUE(relay.logged({"caster of classic left"}));

    // An original client: its own acknowledgement handling, then today's re-upload.
    TestClient back(relay.port());
    ASSERT_TRUE(back.send(hello_message(wire::kModeCast, "classic")));
    Bytes buffer;
    EXPECT_EQ(original_client_reads(buffer, back.receive_piece()),
              std::vector<std::string>{"ACK0OK"});
    EXPECT_TRUE(buffer.empty());
    ASSERT_TRUE(back.send(recording.header_upload()));
    ASSERT_TRUE(upload(back, recording, 0, 7));
    ASSERT_TRUE(reader.read_until(watcher, file_size(7)));
    EXPECT_EQ(reader.file(), recording.file(7));
    EXPECT_EQ(reader.headers_seen, 1);
}

TEST(RelayResumeOffer, ANewCastAndATakeoverBeforeAnyHeaderGetAPlainAcceptance) {
    RunningRelay relay;
    TestClient first(relay.port());
    ASSERT_TRUE(first.send(hello_message(wire::kModeCast, "fresh")));
    EXPECT_EQ(first.receive_piece(), Bytes(wire::kAckAccepted.begin(), wire::kAckAccepted.end()));
    TestClient again(relay.port());  // the same address: the owner, while nothing is recorded
    ASSERT_TRUE(again.send(hello_message(wire::kModeCast, "fresh")));
    EXPECT_EQ(again.receive_piece(), Bytes(wire::kAckAccepted.begin(), wire::kAckAccepted.end()));
}

TEST(RelayTakeover, TheOwnerTakesItsCastOverFromAConnectionThatStoppedReading) {
    RunningRelay relay;
    const Recording recording(24);
    TestClient frozen(relay.port());  // stays open and reads nothing from here on
    TestClient watcher(relay.port());
    ASSERT_NO_FATAL_FAILURE(start_cast(frozen, watcher, "held", recording, 4));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(4)));

    TestClient owner(relay.port());
    ASSERT_TRUE(owner.cast("held"));
    EXPECT_TRUE(relay.logged(
        {"cast held taken over by " + owner.local_address(), "from " + frozen.local_address()}));
    EXPECT_TRUE(relay.logged({"connection from " + frozen.local_address(), "was taken over"}));
    // What the old connection still sends counts for nothing.
    frozen.send(block_upload(Recording(25).block(4)));
    ASSERT_TRUE(owner.send(recording.header_upload()));
    ASSERT_TRUE(upload(owner, recording, 0, 7));
    ASSERT_TRUE(reader.read_until(watcher, file_size(7)));
    EXPECT_EQ(reader.file(), recording.file(7));
    EXPECT_EQ(reader.headers_seen, 1);
    const auto error = frozen.read_skipping_keepalives();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), "This cast was taken over by a new connection.");
    EXPECT_TRUE(frozen.closed_by_relay());
}

TEST(RelayDelayedTail, WatchersGetEveryHeldBackBlockWhenTheCastEndsThenAnOrderlyEnd) {
    RelayOptions options = test_options();
    options.broadcast_delay = 3s;
    options.resume_grace = 1s;
    RunningRelay relay(options);
    const Recording recording(26);
    auto caster = std::make_unique<TestClient>(relay.port());
    TestClient watcher(relay.port());
    ASSERT_NO_FATAL_FAILURE(start_cast(*caster, watcher, "tail", recording, 20));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(watcher, file_size(0)));  // the header goes out at once
    caster.reset();  // gone for good: the grace period ends before the delay does
    ASSERT_TRUE(reader.read_until(watcher, file_size(20)));
    EXPECT_EQ(reader.file(), recording.file(20));
    EXPECT_TRUE(watcher.ends_cleanly());
    EXPECT_TRUE(relay.logged({"cast tail ended: its caster did not return"}));

    // A relay that stops ends its casts the same way, on whichever loop each watcher is.
    TestClient last_caster(relay.port());
    std::vector<std::unique_ptr<TestClient>> watchers;
    ASSERT_TRUE(last_caster.cast("last"));
    for (int i = 0; i < 4; ++i) {
        watchers.push_back(std::make_unique<TestClient>(relay.port(), 4096));  // fills fast
        ASSERT_TRUE(watchers.back()->watch("last"));
    }
    ASSERT_TRUE(relay.logged({"joined last (4 watchers)"}));
    ASSERT_TRUE(last_caster.send(recording.header_upload()));
    // More than the sockets between the relay and a watcher hold: most is still to write.
    ASSERT_TRUE(upload(last_caster, recording, 0, 1000));
    // The header again, once the relay holds every block, says so in the log.
    ASSERT_TRUE(last_caster.send(recording.header_upload()));
    ASSERT_TRUE(relay.logged({"cast last: ", "against the 1000 held"}));
    relay.stop();
    for (auto& each : watchers) {
        ReplayReader stopped;
        ASSERT_TRUE(stopped.read_until(*each, file_size(1000)));
        EXPECT_EQ(stopped.file(), recording.file(1000));
        EXPECT_TRUE(each->ends_cleanly());
    }
}

}  // namespace
}  // namespace kavro::relay::testing
