// The relay's framer of client messages: whole messages out of pieces of any size, and the
// hello's checks made as soon as the bytes they need are in. The messages are the client's own
// records, so the two ends of the format are checked against each other.
#include "wire/client_framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "wire/outbound_records.h"

namespace kavro::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Status = ClientFramer::Status;

Bytes copy_of(ConstBytes record) { return {record.begin(), record.end()}; }

Bytes hello_message(std::uint8_t mode, std::string_view name = "", std::string_view track = "") {
    OutboundRecords records;
    records.set_cast(name, track);
    Bytes hello = copy_of(records.prepare_hello(mode == kModeCast));
    hello[kHelloModeOffset] = mode;
    return hello;
}

Bytes watch_message(std::string_view name) {
    OutboundRecords records;
    return copy_of(records.prepare_watch_request(name));
}

// Replay bytes that differ from place to place, so a message cut wrongly shows.
Bytes header_upload(std::uint32_t seed) {
    OutboundRecords records;
    const auto data = records.header_data();
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(seed + i * 13);
    return copy_of(records.prepare_header_upload());
}

Bytes block_upload(std::uint32_t seed) {
    OutboundRecords records;
    const auto data = records.block_data();
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(seed + i * 29);
    return copy_of(records.prepare_block_upload());
}

// Feeds `stream` in pieces of `piece` bytes, never more than the framer offers; collects the
// complete messages.
std::vector<Bytes> frame(const Bytes& stream, std::size_t piece, Status* last = nullptr) {
    ClientFramer framer;
    std::vector<Bytes> messages;
    std::size_t at = 0;
    while (at < stream.size()) {
        const auto space = framer.space();
        const std::size_t n = std::min({piece, space.size(), stream.size() - at});
        std::copy_n(stream.begin() + at, n, space.begin());
        at += n;
        const Status status = framer.commit(n);
        if (last) *last = status;
        if (status == Status::kBad) break;
        if (status == Status::kComplete) {
            messages.emplace_back(framer.message().begin(), framer.message().end());
            framer.next();
        }
    }
    return messages;
}

TEST(ClientFramer, MessagesCutIntoPiecesOfAnySizeComeOutWhole) {
    const std::vector<Bytes> sent{hello_message(1, "cast", "BL1r"), watch_message("cast"),
                                  header_upload(7), block_upload(3)};
    Bytes stream;
    for (const Bytes& m : sent) stream.insert(stream.end(), m.begin(), m.end());
    for (std::size_t piece : {1u, 2u, 3u, 5u, 51u, 52u, 53u, 4099u, 100000u}) {
        EXPECT_EQ(frame(stream, piece), sent) << "pieces of " << piece;
    }
}

TEST(ClientFramer, EachMessageIsCompleteOnlyWhenItsLastByteArrives) {
    for (const Bytes& m : {hello_message(0), watch_message("x")}) {
        for (std::size_t cut = 1; cut < m.size(); ++cut) {
            Status last = Status::kBad;
            EXPECT_TRUE(frame(Bytes(m.begin(), m.begin() + cut), 1, &last).empty());
            EXPECT_EQ(last, Status::kNeedMore) << "cut at " << cut;
        }
    }
}

TEST(ClientFramer, UnknownTagIsBadAsSoonAsItsFourthByteArrives) {
    Status last = Status::kNeedMore;
    frame(Bytes{'C', 'C', 'N'}, 1, &last);
    EXPECT_EQ(last, Status::kNeedMore);
    frame(Bytes{'C', 'C', 'N', '1'}, 1, &last);
    EXPECT_EQ(last, Status::kBad);
    frame(Bytes{'S', 'R', 'D', '0', 0, 0}, 6, &last);
    EXPECT_EQ(last, Status::kBad);
}

TEST(ClientFramer, HelloWithWrongLengthOrModeIsBadBeforeTheRestArrives) {
    Bytes hello = hello_message(0);
    put_u16le(hello, kHelloLengthOffset, 47);
    Status last = Status::kNeedMore;
    frame(Bytes(hello.begin(), hello.begin() + 6), 1, &last);
    EXPECT_EQ(last, Status::kBad);
    hello = hello_message(2);
    frame(Bytes(hello.begin(), hello.begin() + 7), 1, &last);
    EXPECT_EQ(last, Status::kBad);
}

}  // namespace
}  // namespace kavro::wire
