#include "link/receive_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using kavro::ReceiveBuffer;
namespace wire = kavro::wire;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every reaction as a line, payloads as text.
class RecordingHandler : public kavro::MessageHandler {
  public:
    std::vector<std::string> seen;
    void accepted() override { seen.push_back("accepted"); }
    void refused() override { seen.push_back("refused"); }
    void error(const std::string& text) override { seen.push_back("error:" + text); }
    void caster_list(wire::ConstBytes p) override {
        seen.push_back("list:" + std::to_string(wire::caster_entry_count(p)));
    }
    void replay_header(wire::ConstBytes p) override { seen.push_back("header:" + as_text(p)); }
    void replay_data(wire::ConstBytes p) override { seen.push_back("data:" + as_text(p)); }
    void resume_offer(const wire::ResumeOffer& o) override {
        seen.push_back("offer:" + std::to_string(o.held_bytes) + "/" + std::to_string(o.digest));
    }

  private:
    static std::string as_text(wire::ConstBytes p) { return {p.begin(), p.end()}; }
};

Bytes message(std::string_view tag, const std::string& payload) {
    return wire::make_message(tag, Bytes(payload.begin(), payload.end()));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes ack(const std::string& six) { return {six.begin(), six.end()}; }

// Feeds `stream` cut at the given offsets, dispatching after every piece as the client does.
std::vector<std::string> feed(const Bytes& stream, std::vector<std::size_t> cuts) {
    ReceiveBuffer buffer;
    RecordingHandler handler;
    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        while (from < cut) {
            auto area = buffer.receive_area();
            const std::size_t n = std::min(area.size(), cut - from);
            std::copy_n(stream.begin() + static_cast<long>(from), n, area.begin());
            buffer.commit(n);
            from += n;
            buffer.dispatch(handler);
        }
    }
    EXPECT_EQ(buffer.count(), 0u);
    return handler.seen;
}

wire::CasterEntry entry(const std::string& name) { return {name, "BL1", 1, 10}; }

}  // namespace

TEST(ReceiveBuffer, ListSplitAtEveryByteIsHandledWhenItsLastByteArrives) {
    const std::vector<wire::CasterEntry> entries{entry("a"), entry("b"), entry("c")};
    const Bytes list = wire::make_caster_list(entries);
    for (std::size_t cut = 1; cut < list.size(); ++cut) {
        ReceiveBuffer buffer;
        RecordingHandler handler;
        auto area = buffer.receive_area();
        std::copy_n(list.begin(), cut, area.begin());
        buffer.commit(cut);
        buffer.dispatch(handler);
        ASSERT_TRUE(handler.seen.empty()) << "cut at " << cut;
        area = buffer.receive_area();
        std::copy(list.begin() + static_cast<long>(cut), list.end(), area.begin());
        buffer.commit(list.size() - cut);
        buffer.dispatch(handler);
        ASSERT_EQ(handler.seen, std::vector<std::string>{"list:3"}) << "cut at " << cut;
        EXPECT_EQ(buffer.count(), 0u);
    }
}

TEST(ReceiveBuffer, OnePieceAndTwentyPiecesGiveTheSameResult) {
    const Bytes stream = concat({ack("ACK0OK"), wire::make_caster_list(std::vector{entry("x")}),
                                 message("SRH", "HEAD"), message("SRD", "d1"), message("KAL", ""),
                                 message("SRD", "d2"), message("XYZ", "skipped by its length"),
                                 message("SRD", "d3"), ack("ACK0NO")});
    const std::vector<std::string> expected{"accepted", "list:1",  "header:HEAD", "data:d1",
                                            "data:d2",  "data:d3", "refused"};
    EXPECT_EQ(feed(stream, {}), expected);
    std::vector<std::size_t> twenty;
    for (std::size_t i = 1; i < 20; ++i) twenty.push_back(i * stream.size() / 20);
    EXPECT_EQ(feed(stream, twenty), expected);
    std::vector<std::size_t> every_byte;
    for (std::size_t i = 1; i < stream.size(); ++i) every_byte.push_back(i);
    EXPECT_EQ(feed(stream, every_byte), expected);
}

TEST(ReceiveBuffer, KeepAliveConsumesOnlyItselfEvenWhenItsPayloadArrivesLater) {
    const Bytes keep_alive = message("KAL", "xyz");
    const Bytes stream = concat({message("SRD", "before"), keep_alive, message("SRD", "after")});
    // Cut inside the keep-alive's payload: its rest must not be read as a new message.
    const std::size_t inside = message("SRD", "before").size() + 7;
    EXPECT_EQ(feed(stream, {inside}), (std::vector<std::string>{"data:before", "data:after"}));
}

TEST(ReceiveBuffer, DataWaitsForItsLastBytes) {
    const Bytes data = message("SRD", std::string(100, 'q'));
    ReceiveBuffer buffer;
    RecordingHandler handler;
    std::copy_n(data.begin(), 60, buffer.receive_area().begin());
    buffer.commit(60);
    EXPECT_EQ(buffer.dispatch(handler), ReceiveBuffer::Outcome::kWaiting);
    EXPECT_TRUE(handler.seen.empty());
    EXPECT_EQ(buffer.count(), 60u);
    std::copy(data.begin() + 60, data.end(), buffer.receive_area().begin());
    buffer.commit(46);
    buffer.dispatch(handler);
    EXPECT_EQ(handler.seen, std::vector<std::string>{"data:" + std::string(100, 'q')});
}

TEST(ReceiveBuffer, ErrorIsActedOnWhenWholeAndEndsTheCycle) {
    const Bytes stream =
        concat({wire::make_error("No cast named x is live."), message("SRD", "late")});
    ReceiveBuffer buffer;
    RecordingHandler handler;
    std::copy_n(stream.begin(), 12, buffer.receive_area().begin());
    buffer.commit(12);
    EXPECT_EQ(buffer.dispatch(handler), ReceiveBuffer::Outcome::kWaiting);
    EXPECT_TRUE(handler.seen.empty());  // half a text is not shown
    std::copy(stream.begin() + 12, stream.end(), buffer.receive_area().begin());
    buffer.commit(stream.size() - 12);
    EXPECT_EQ(buffer.dispatch(handler), ReceiveBuffer::Outcome::kEnded);
    EXPECT_EQ(handler.seen, std::vector<std::string>{"error:No cast named x is live."});
}

TEST(ReceiveBuffer, ReceivesNeverOverflowAndAnImpossibleLengthEmptiesTheBuffer) {
    ReceiveBuffer buffer;
    RecordingHandler handler;
    EXPECT_EQ(buffer.receive_area().size(), ReceiveBuffer::kMaxReceive);
    // The largest message there can be (65,535 payload bytes) never fits 65,536 bytes.
    Bytes head = message("SRD", "");
    head[4] = 0xFF;
    head[5] = 0xFF;
    std::copy(head.begin(), head.end(), buffer.receive_area().begin());
    buffer.commit(head.size());
    EXPECT_EQ(buffer.dispatch(handler), ReceiveBuffer::Outcome::kOverflow);
    EXPECT_EQ(buffer.count(), 0u);

    // A message that fits exactly is taken in pieces no larger than the space left.
    const Bytes big = message("SRD", std::string(65530, 'z'));
    ASSERT_EQ(big.size(), ReceiveBuffer::kCapacity);
    std::size_t from = 0;
    while (from < big.size()) {
        auto area = buffer.receive_area();
        ASSERT_GT(area.size(), 0u);
        const std::size_t n = std::min(area.size(), big.size() - from);
        std::copy_n(big.begin() + static_cast<long>(from), n, area.begin());
        buffer.commit(n);
        from += n;
        EXPECT_LE(buffer.count(), ReceiveBuffer::kCapacity);
        buffer.dispatch(handler);
    }
    ASSERT_EQ(handler.seen.size(), 1u);
    EXPECT_EQ(handler.seen[0].size(), 5u + 65530u);
}

TEST(ReceiveBuffer, OnlyAKeepAliveCarryingAWholeOfferReachesTheHandler) {
    const Bytes good = wire::make_accepted_with_offer({16384 + 2 * 4096, 0x0102030405060708});
    Bytes short_offer = message("KAL", "RSM1abc");
    Bytes odd_size = wire::make_message("KAL", wire::encode_resume_offer({16384 + 100, 5}));
    Bytes other = message("KAL", "RSM2....................");
    const Bytes stream =
        concat({good, message("KAL", ""), short_offer, odd_size, other, message("SRD", "after")});
    const std::vector<std::string> expected{"accepted", "offer:24576/72623859790382856",
                                            "data:after"};
    EXPECT_EQ(feed(stream, {}), expected);
    // Cut anywhere, the offer is acted on once, when its last byte arrives.
    for (std::size_t cut = 1; cut < good.size(); ++cut) {
        EXPECT_EQ(feed(stream, {cut}), expected) << "cut at " << cut;
    }
}
