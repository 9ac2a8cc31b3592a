// The decoder of the relay's messages, fed the way TCP delivers them: one byte more at a time.
// Every prefix of a message must ask for more, the whole message must come out complete with
// its exact size, type and payload, and a head claiming more than the reader can hold is bad
// as soon as the head is in.
#include "wire/relay_message_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wire = kavro::wire;
using wire::RelayDecodeStatus;
using wire::RelayMessageType;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kLargest = 65536;  // what the client's receive buffer holds

Bytes text_bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Bytes whose value changes with their place, so a payload cut at the wrong offset shows.
Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

struct Case {
    std::string name;
    Bytes message;
    RelayMessageType type;
    Bytes payload;  // what the decoder must point at
};

std::vector<Case> every_relay_message() {
    const std::vector<wire::CasterEntry> entries{{"Sunday race", "FE2r", 3, 12},
                                                 {std::string(32, 'n'), "BL1", 300, 0}};
    const Bytes list = wire::make_caster_list(entries);
    const wire::ResumeOffer offer{16384 + 5 * 4096, 0x8877665544332211ULL};
    const Bytes accepted_with_offer = wire::make_accepted_with_offer(offer);
    const Bytes offer_keep_alive(accepted_with_offer.begin() + 6, accepted_with_offer.end());
    // Lengths over 255, so a length read in the wrong byte order cuts the message elsewhere.
    const Bytes header = pattern(16384);
    const Bytes data = pattern(300);
    const Bytes error_payload = text_bytes(std::string("No cast named x is live.") + '\0');
    return {
        {"accepted", text_bytes("ACK0OK"), RelayMessageType::kAccepted, {}},
        {"refused", text_bytes("ACK0NO"), RelayMessageType::kRefused, {}},
        {"ack of another kind", text_bytes("ACK1OK"), RelayMessageType::kRefused, {}},
        {"error", wire::make_error("No cast named x is live."), RelayMessageType::kError,
         error_payload},
        {"caster list", list, RelayMessageType::kCasterList, Bytes(list.begin() + 6, list.end())},
        {"replay header", wire::make_message(wire::kTagReplayHeader, header),
         RelayMessageType::kReplayHeader, header},
        {"replay data", wire::make_message(wire::kTagReplayData, data),
         RelayMessageType::kReplayData, data},
        {"empty replay data",
         wire::make_message(wire::kTagReplayData, Bytes{}),
         RelayMessageType::kReplayData,
         {}},
        {"keep-alive",
         wire::make_message(wire::kTagKeepAlive, Bytes{}),
         RelayMessageType::kKeepAlive,
         {}},
        {"keep-alive with an offer", offer_keep_alive, RelayMessageType::kKeepAlive,
         Bytes(offer_keep_alive.begin() + 6, offer_keep_alive.end())},
        {"unknown tag", wire::make_message("XYZ", data), RelayMessageType::kUnknown, data},
    };
}

}  // namespace

TEST(RelayMessageDecoder, EveryMessageFedByteByByteNeedsMoreUntilItsLastByteThenIsComplete) {
    for (const Case& c : every_relay_message()) {
        SCOPED_TRACE(c.name);
        for (std::size_t have = 0; have < c.message.size(); ++have) {
            const auto decoded =
                wire::decode_relay_message(wire::ConstBytes(c.message.data(), have), kLargest);
            ASSERT_EQ(decoded.status, RelayDecodeStatus::kNeedMore) << have << " bytes in";
        }
        // Whole, and whole with the next message's first bytes behind it: the same answer.
        Bytes followed = c.message;
        followed.insert(followed.end(), {'S', 'R', 'D', '0', 1});
        for (const Bytes* buffered : std::vector<const Bytes*>{&c.message, &followed}) {
            const auto decoded = wire::decode_relay_message(*buffered, kLargest);
            ASSERT_EQ(decoded.status, RelayDecodeStatus::kComplete);
            EXPECT_EQ(decoded.size, c.message.size());
            EXPECT_EQ(decoded.message.type, c.type);
            EXPECT_EQ(Bytes(decoded.message.payload.begin(), decoded.message.payload.end()),
                      c.payload);
        }
    }
}

TEST(RelayMessageDecoder, FieldsOfACompleteMessageReadBackAsSent) {
    const wire::ResumeOffer offer{16384 + 5 * 4096, 0x8877665544332211ULL};
    const Bytes bytes = wire::make_accepted_with_offer(offer);
    const auto ack = wire::decode_relay_message(bytes, kLargest);
    ASSERT_EQ(ack.status, RelayDecodeStatus::kComplete);
    const auto keep_alive =
        wire::decode_relay_message(wire::ConstBytes(bytes).subspan(ack.size), kLargest);
    ASSERT_EQ(keep_alive.status, RelayDecodeStatus::kComplete);
    ASSERT_TRUE(keep_alive.message.resume_offer.has_value());
    EXPECT_EQ(*keep_alive.message.resume_offer, offer);

    // A keep-alive whose payload is no offer carries none.
    const Bytes plain = wire::make_message(wire::kTagKeepAlive, text_bytes("RSM1abc"));
    EXPECT_FALSE(wire::decode_relay_message(plain, kLargest).message.resume_offer.has_value());

    const Bytes error = wire::make_error("Bad hello mode.");
    const auto decoded = wire::decode_relay_message(error, kLargest);
    EXPECT_EQ(wire::error_text(decoded.message.payload), "Bad hello mode.");

    const std::vector<wire::CasterEntry> entries{{"Sunday race", "FE2r", 300, 12}};
    const Bytes list = wire::make_caster_list(entries);
    const auto payload = wire::decode_relay_message(list, kLargest).message.payload;
    ASSERT_EQ(wire::caster_entry_count(payload), 1u);
    const auto entry = wire::read_caster_entry(payload, 0);
    EXPECT_EQ(entry.name, "Sunday race");
    EXPECT_EQ(entry.track, "FE2r");
    EXPECT_EQ(entry.watchers, 300);
    EXPECT_EQ(entry.packet_time, 12);
}

TEST(RelayMessageDecoder, AHeadClaimingMoreThanTheReaderHoldsIsBadOnceTheHeadIsIn) {
    // 65,535 payload bytes and the head: one byte more than the client's buffer.
    Bytes head = wire::make_message(wire::kTagReplayData, Bytes{});
    wire::put_u16le(head, wire::kHeadLengthOffset, 0xFFFF);
    for (std::size_t have = 0; have < head.size(); ++have) {
        EXPECT_EQ(wire::decode_relay_message(wire::ConstBytes(head.data(), have), kLargest).status,
                  RelayDecodeStatus::kNeedMore)
            << have << " bytes in";
    }
    EXPECT_EQ(wire::decode_relay_message(head, kLargest).status, RelayDecodeStatus::kBad);
    // Right at the limit it is only waiting for its payload; one byte over, it is bad.
    EXPECT_EQ(wire::decode_relay_message(head, 6 + 0xFFFF).status, RelayDecodeStatus::kNeedMore);
    EXPECT_EQ(wire::decode_relay_message(head, 6 + 0xFFFE).status, RelayDecodeStatus::kBad);
    // An ACK has no length to claim anything.
    EXPECT_EQ(wire::decode_relay_message(text_bytes("ACK0OK"), 6).status,
              RelayDecodeStatus::kComplete);
}
