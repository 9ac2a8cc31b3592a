#include "wire/wire_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

using namespace kavro::wire;
namespace wire = kavro::wire;

TEST(WireFormat, U16IsLittleEndian) {
    std::array<std::uint8_t, 4> buf{};
    put_u16le(buf, 1, 0x1234);
    EXPECT_EQ(buf[1], 0x34);
    EXPECT_EQ(buf[2], 0x12);
    EXPECT_EQ(get_u16le(buf, 1), 0x1234);
}

TEST(WireFormat, TextFieldFillsWithZerosAndCutsAtWidth) {
    std::array<std::uint8_t, 6> buf;
    buf.fill(0xEE);
    put_text_field(buf, 1, 4, "ab");
    EXPECT_EQ(buf, (std::array<std::uint8_t, 6>{0xEE, 'a', 'b', 0, 0, 0xEE}));
    put_text_field(buf, 1, 4, "FE2rX");
    EXPECT_EQ(buf, (std::array<std::uint8_t, 6>{0xEE, 'F', 'E', '2', 'r', 0xEE}));
    // A full field has no terminator: the reader stops at the width, not at the next byte.
    EXPECT_EQ(read_text_field(buf, 1, 4), "FE2r");
    // Never past the buffer.
    EXPECT_EQ(read_text_field(buf, 4, 32), "r\xEE");
    EXPECT_EQ(read_text_field(buf, 9, 32), "");
}

TEST(WireFormat, TagTestNeedsThreeBytes) {
    const std::vector<std::uint8_t> two{'K', 'A'};
    const std::vector<std::uint8_t> three{'K', 'A', 'L'};
    EXPECT_FALSE(has_tag(two, kTagKeepAlive));
    EXPECT_TRUE(has_tag(three, kTagKeepAlive));
    EXPECT_FALSE(has_tag(three, kTagAck));
}

TEST(WireFormat, EmptyCasterListIsEightBytes) {
    const auto message = make_caster_list({});
    ASSERT_EQ(message.size(), 8u);
    EXPECT_TRUE(has_tag(message, kTagCasterList));
    EXPECT_EQ(payload_length(message), 2u);
    EXPECT_EQ(caster_entry_count(std::span(message).subspan(kHeadSize)), 0u);
}

TEST(WireFormat, CasterEntriesRoundTripAndCountIsLimitedToWhatThePayloadHolds) {
    const std::vector<CasterEntry> entries{{std::string(32, 'n'), "FE2r", 0, 600}, {"b", "", 7, 0}};
    auto message = make_caster_list(entries);
    ASSERT_EQ(message.size(), 6u + 2 + 80);
    std::span<const std::uint8_t> payload = std::span(message).subspan(kHeadSize);
    ASSERT_EQ(caster_entry_count(payload), 2u);
    const CasterEntry first = read_caster_entry(payload, 0);
    EXPECT_EQ(first.name, std::string(32, 'n'));
    EXPECT_EQ(first.track, "FE2r");
    EXPECT_EQ(first.watchers, 0);
    EXPECT_EQ(first.packet_time, 600);
    EXPECT_EQ(read_caster_entry(payload, 1).watchers, 7);
    // A count larger than the entries present is limited; a one-byte payload holds none.
    message[kHeadSize] = 200;
    EXPECT_EQ(caster_entry_count(payload), 2u);
    EXPECT_EQ(caster_entry_count(payload.first(41)), 0u);
    EXPECT_EQ(caster_entry_count(payload.first(1)), 0u);
}

TEST(WireFormat, ErrorCarriesZeroTerminatedText) {
    const auto message = make_error("The relay is full.");
    EXPECT_TRUE(has_tag(message, kTagError));
    EXPECT_EQ(message[3], '0');
    EXPECT_EQ(payload_length(message), 19u);
    EXPECT_EQ(message.back(), 0);
    EXPECT_EQ(read_text_field(message, kHeadSize, 1000), "The relay is full.");
}

TEST(WireFormat, ClientMessageSizeFollowsFromTheFourByteTag) {
    const auto size_of = [](std::string_view tag) {
        return client_message_size(
            std::span(reinterpret_cast<const std::uint8_t*>(tag.data()), tag.size()));
    };
    EXPECT_EQ(size_of("CCN0"), 52u);
    EXPECT_EQ(size_of("HOS0"), 36u);
    EXPECT_EQ(size_of("NRF0"), 16390u);
    EXPECT_EQ(size_of("ERF0"), 4100u);
    EXPECT_EQ(size_of("ERF0 and more"), 4100u);
    EXPECT_EQ(size_of("ERF1"), 0u);
    EXPECT_EQ(size_of("CCN"), 0u);
    EXPECT_EQ(size_of("SRD0"), 0u);
}

TEST(WireFormat, HeadIsTagZeroDigitAndLittleEndianLength) {
    std::array<std::uint8_t, 8> buf;
    buf.fill(0xEE);
    put_head(buf, kTagReplayData, 16384);
    EXPECT_EQ(buf, (std::array<std::uint8_t, 8>{'S', 'R', 'D', '0', 0x00, 0x40, 0xEE, 0xEE}));
    EXPECT_EQ(payload_length(buf), 16384u);
}

TEST(ResumeOffer, TheLayoutIsTheMagicThenHeldBytesThenDigestBothLittleEndian) {
    const wire::ResumeOffer offer{0x0000000100004000, 0x1122334455667788};
    const auto payload = wire::encode_resume_offer(offer);
    const std::vector<std::uint8_t> expected{'R',  'S',  'M',  '1',  0x00, 0x40, 0x00,
                                             0x00, 0x01, 0x00, 0x00, 0x00, 0x88, 0x77,
                                             0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(std::vector<std::uint8_t>(payload.begin(), payload.end()), expected);
    const auto decoded = wire::decode_resume_offer(payload);
    EXPECT_EQ(decoded.status, wire::ResumeOfferStatus::kComplete);
    EXPECT_EQ(decoded.offer, offer);

    // ACK0OK and the KAL that carries it, as one piece of 32 bytes.
    const auto both = wire::make_accepted_with_offer(offer);
    ASSERT_EQ(both.size(), 6u + 6u + 20u);
    EXPECT_EQ(std::string(both.begin(), both.begin() + 10), std::string("ACK0OKKAL0"));
    EXPECT_EQ(wire::get_u16le(both, 10), 20);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), both.begin() + 12));
}

TEST(ResumeOffer, APrefixNeedsMoreAndAnythingElseIsBad) {
    const auto payload = wire::encode_resume_offer({16384 + 4096, 9});
    for (std::size_t n = 0; n < payload.size(); ++n) {
        EXPECT_EQ(wire::decode_resume_offer(std::span(payload).first(n)).status,
                  wire::ResumeOfferStatus::kNeedMore)
            << n;
    }
    std::vector<std::uint8_t> longer(payload.begin(), payload.end());
    longer.push_back(0);
    EXPECT_EQ(wire::decode_resume_offer(longer).status, wire::ResumeOfferStatus::kBad);
    std::vector<std::uint8_t> other(payload.begin(), payload.end());
    other[3] = '2';
    EXPECT_EQ(wire::decode_resume_offer(other).status, wire::ResumeOfferStatus::kBad);
    // A held size that is no header plus whole blocks cannot come from a relay.
    for (const std::uint64_t held : {std::uint64_t{0}, std::uint64_t{16383}, std::uint64_t{16385},
                                     std::uint64_t{16384 + 4095}}) {
        EXPECT_EQ(wire::decode_resume_offer(wire::encode_resume_offer({held, 1})).status,
                  wire::ResumeOfferStatus::kBad)
            << held;
    }
    EXPECT_EQ(wire::decode_resume_offer(wire::encode_resume_offer({16384, 1})).status,
              wire::ResumeOfferStatus::kComplete);
}

TEST(ResumeOffer, TheDigestIsFnv1a64OfTheHeadThenTheLastBlock) {
    const auto bytes = [](std::string_view text) {
        return std::vector<std::uint8_t>(text.begin(), text.end());
    };
    // Published FNV-1a 64-bit values.
    EXPECT_EQ(wire::fnv1a64({}), 0xcbf29ce484222325ULL);
    EXPECT_EQ(wire::fnv1a64(bytes("a")), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(wire::fnv1a64(bytes("foobar")), 0x85944171f73967e8ULL);
    // In pieces it is the same as whole, and the tail counts after the head.
    EXPECT_EQ(wire::resume_digest(bytes("foo"), bytes("bar")), wire::fnv1a64(bytes("foobar")));
    EXPECT_NE(wire::resume_digest(bytes("bar"), bytes("foo")), wire::fnv1a64(bytes("foobar")));
}
