// The caster's resume after an automatic re-acceptance: with the relay's offer it continues at
// the relay's held size when the digest says the relay holds its own recording; without one, or
// with one that does not match, it uploads from the header exactly as after the user's Cast.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "cast_fixture.h"
#include "link/receive_pump.h"
#include "link/tcp_connection.h"
#include "loopback_peer.h"
#include "polling.h"
#include "wire/wire_format.h"

using namespace kavro::test;
using namespace std::chrono_literals;
namespace wire = kavro::wire;

namespace {

// The offer a relay makes that received the header upload and the first `blocks` blocks of
// `cast`'s recording, computed from what was uploaded (the header as sent, track bytes set).
wire::ResumeOffer offer_from_upload(const Cast& cast, std::size_t blocks) {
    const Bytes uploaded = reassembled(cast.relay.sent);
    EXPECT_GE(uploaded.size(), kHeader + blocks * kBlock);
    const Bytes head = slice(uploaded, 0, kHeader);
    const Bytes tail =
        blocks > 0 ? slice(uploaded, kHeader + (blocks - 1) * kBlock, kBlock) : Bytes{};
    return {kHeader + blocks * kBlock, wire::resume_digest(head, tail)};
}

// A cast on track BL2r (bytes 72 and 73 of the uploaded header differ from the recording's)
// whose first connection uploaded the header and 6 blocks.
struct ResumedCast {
    Cast cast;
    ResumedCast() {
        cast.records.set_cast("resumed", "BL2r");
        cast.lfs.start_recording(kHeader + 6 * kBlock, 41);
        cast.step();  // the header alone
        cast.step();  // then the blocks
        EXPECT_EQ(cast.relay.sent.size(), 7u);
        EXPECT_NE(data_of(cast.relay.sent[0])[wire::kReplayTrackNumberOffset],
                  cast.lfs.recording()[wire::kReplayTrackNumberOffset]);
    }
    // The records a streamer sends in two ticks after restart(), as after the user's own Cast.
    std::vector<Bytes> upload_from_the_header() {
        Cast fresh;
        fresh.records.set_cast("resumed", "BL2r");
        fresh.lfs.start_recording(0, 41);
        write_file(fresh.lfs.paths().source, cast.lfs.recording());
        fresh.streamer.restart();
        fresh.step();
        fresh.step();
        return fresh.relay.sent;
    }
};

}  // namespace

TEST(CastResume, AMatchingOfferSendsOnlyTheBlocksTheRelayLacks) {
    ResumedCast r;
    Cast& cast = r.cast;
    const wire::ResumeOffer offer = offer_from_upload(cast, 4);  // the relay got 4 of the 6
    cast.lfs.grow(3 * kBlock);
    cast.relay.sent.clear();

    cast.streamer.await_resume_offer(cast.now + 2s);
    cast.step();
    EXPECT_TRUE(cast.relay.sent.empty());  // nothing until the offer or the deadline
    EXPECT_TRUE(cast.streamer.awaiting_resume_offer());
    cast.streamer.take_resume_offer(offer);
    cast.step();
    // Blocks 4..8: no header, nothing the relay holds.
    ASSERT_EQ(cast.relay.sent.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(tag_of(cast.relay.sent[i]), "ERF0");
        EXPECT_EQ(data_of(cast.relay.sent[i]),
                  slice(cast.lfs.recording(), kHeader + (4 + i) * kBlock, kBlock));
    }
    EXPECT_EQ(cast.streamer.last_cast_size(), static_cast<std::int64_t>(kHeader + 9 * kBlock));
}

TEST(CastResume, AnOfferOfTheHeaderAloneSendsEveryBlock) {
    ResumedCast r;
    Cast& cast = r.cast;
    const wire::ResumeOffer offer = offer_from_upload(cast, 0);
    cast.relay.sent.clear();
    cast.streamer.await_resume_offer(cast.now + 2s);
    cast.streamer.take_resume_offer(offer);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 6u);
    EXPECT_EQ(tag_of(cast.relay.sent[0]), "ERF0");
    EXPECT_EQ(data_of(cast.relay.sent[0]), slice(cast.lfs.recording(), kHeader, kBlock));
}

TEST(CastResume, WithoutAnOfferTheDeadlineBringsExactlyTheUploadFromTheHeader) {
    ResumedCast r;
    Cast& cast = r.cast;
    cast.relay.sent.clear();
    cast.streamer.await_resume_offer(cast.now + 2s);
    cast.now += 1999ms;
    cast.step();
    EXPECT_TRUE(cast.relay.sent.empty());
    cast.now += 1ms;
    cast.step();
    cast.step();
    EXPECT_EQ(cast.relay.sent, r.upload_from_the_header());
    // An offer that comes after the deadline changes nothing.
    cast.streamer.take_resume_offer(offer_from_upload(cast, 6));
    cast.lfs.grow(kBlock);
    cast.step();
    EXPECT_EQ(cast.relay.sent.size(), 8u);
}

TEST(CastResume, AnOfferThatDoesNotMatchTheCopyBringsTheUploadFromTheHeader) {
    const auto check = [](auto change_offer) {
        ResumedCast r;
        Cast& cast = r.cast;
        wire::ResumeOffer offer = offer_from_upload(cast, 4);
        change_offer(offer);
        cast.relay.sent.clear();
        cast.streamer.await_resume_offer(cast.now + 2s);
        cast.streamer.take_resume_offer(offer);
        cast.step();
        cast.step();
        EXPECT_EQ(cast.relay.sent, r.upload_from_the_header());
    };
    check([](wire::ResumeOffer& offer) { offer.digest ^= 1; });           // another recording
    check([](wire::ResumeOffer& offer) { offer.held_bytes += kBlock; });  // another last block
    check([](wire::ResumeOffer& offer) {
        offer.held_bytes = kHeader + 7 * kBlock;
    });  // past the copy
    // The header digested without the track bytes, as a relay of another caster would hold it.
    {
        ResumedCast r;
        Cast& cast = r.cast;
        const Bytes raw_head = slice(cast.lfs.recording(), 0, kHeader);
        const Bytes tail = slice(cast.lfs.recording(), kHeader + 3 * kBlock, kBlock);
        cast.relay.sent.clear();
        cast.streamer.await_resume_offer(cast.now + 2s);
        cast.streamer.take_resume_offer(
            {kHeader + 4 * kBlock, wire::resume_digest(raw_head, tail)});
        cast.step();
        cast.step();
        EXPECT_EQ(cast.relay.sent, r.upload_from_the_header());
    }
}

TEST(CastResume, TheUsersOwnCastIgnoresAnOffer) {
    ResumedCast r;
    Cast& cast = r.cast;
    const wire::ResumeOffer offer = offer_from_upload(cast, 6);
    cast.relay.sent.clear();
    cast.streamer.restart();
    cast.streamer.take_resume_offer(offer);
    cast.step();
    cast.step();
    EXPECT_EQ(cast.relay.sent, r.upload_from_the_header());
}

namespace {

// The caster's side of the link as the core drives it: an acceptance after a reconnect waits
// for the offer, and an offer goes to the streamer.
class CasterLink : public kavro::MessageHandler {
  public:
    explicit CasterLink(Cast& cast) : cast_(cast) {}
    bool accepted_once = false;
    void accepted() override {
        accepted_once = true;
        cast_.streamer.await_resume_offer(cast_.now + 2s);
    }
    void refused() override {}
    void error(const std::string&) override {}
    void caster_list(wire::ConstBytes) override {}
    void replay_header(wire::ConstBytes) override {}
    void replay_data(wire::ConstBytes) override {}
    void resume_offer(const wire::ResumeOffer& offer) override {
        cast_.streamer.take_resume_offer(offer);
    }

  private:
    Cast& cast_;
};

}  // namespace

TEST(CastResume, ARelayThatOnlyAcceptsGetsTodaysUploadFromTheHeaderByteForByte) {
    ResumedCast r;
    Cast& cast = r.cast;
    std::vector<std::uint8_t> expected;
    for (const Bytes& record : r.upload_from_the_header()) {
        expected.insert(expected.end(), record.begin(), record.end());
    }

    // A relay of the original protocol: it answers the hello with ACK0OK and nothing else.
    LoopbackListener listener;
    kavro::TcpConnection tcp;
    tcp.RemoteHost = "127.0.0.1";
    tcp.RemotePort = listener.port_text();
    ASSERT_TRUE(tcp.Connect());
    PeerSocket relay = listener.accept();
    relay.send(std::string("ACK0OK"));
    kavro::ReceiveBuffer buffer;
    CasterLink link(cast);
    ASSERT_TRUE(wait_until([&] {
        kavro::receive_and_dispatch(tcp, buffer, link);
        return link.accepted_once;
    }));
    const auto tick = [&] {
        tcp.PumpOutbound();
        kavro::receive_and_dispatch(tcp, buffer, link);
        cast.streamer.step(
            true, true, cast.records,
            [&](std::span<const std::uint8_t> record) { return tcp.SendBytes(record).ok; },
            [&] { return tcp.PollWritable(); }, cast.now);
    };
    // Until the wait for an offer is over, nothing goes.
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_TRUE(relay.read(1, 200ms).empty());
    cast.now += 2s;
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(relay.read(expected.size()), expected);
    EXPECT_TRUE(relay.read(1, 200ms).empty());
}
