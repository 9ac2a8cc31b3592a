#include "wire/outbound_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kavro::wire::OutboundRecords;

namespace {

std::vector<std::uint8_t> bytes_of(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(OutboundRecords, HelloBeforeAnyCastCarriesZeroNameAndTrack) {
    OutboundRecords records;
    const auto hello = bytes_of(records.prepare_hello(false));
    std::vector<std::uint8_t> expected = text("CCN0");
    expected.insert(expected.end(), {46, 0, 0});
    const auto version = text("0.0.2.0");
    expected.insert(expected.end(), version.begin(), version.end());
    expected.resize(52, 0);  // version's padding byte, 32 + 4 zero bytes, byte 51
    EXPECT_EQ(hello, expected);
}

TEST(OutboundRecords, HelloKeepsTheLastCastNameAndRewritesOnlyHeadModeAndVersion) {
    OutboundRecords records;
    const std::string name(32, 'N');
    records.set_cast(name, "FE2r");
    auto hello = bytes_of(records.prepare_hello(true));
    ASSERT_EQ(hello.size(), 52u);
    EXPECT_EQ(hello[6], 1);
    // A 32-character name fills its field with no zero after it; the track follows at once.
    EXPECT_EQ(std::string(hello.begin() + 15, hello.begin() + 47), name);
    EXPECT_EQ(std::string(hello.begin() + 47, hello.begin() + 51), "FE2r");
    EXPECT_EQ(hello[51], 0);

    // "Watch LFS" later in the run: mode 0, the same name and track.
    hello = bytes_of(records.prepare_hello(false));
    EXPECT_EQ(hello[6], 0);
    EXPECT_EQ(std::string(hello.begin() + 15, hello.begin() + 47), name);
    EXPECT_EQ(hello[51], 0);

    // A shorter name later is zero-filled, not mixed with the longer one.
    records.set_cast("ab", "");
    hello = bytes_of(records.prepare_hello(true));
    EXPECT_EQ(hello[15], 'a');
    EXPECT_EQ(hello[16], 'b');
    for (int i = 17; i < 52; ++i) EXPECT_EQ(hello[i], 0) << "byte " << i;
    const auto track = records.hello_track();
    EXPECT_EQ(track[2], 0);
}

TEST(OutboundRecords, WatchRequestAndUploadsHaveTheirTagsAndSizes) {
    OutboundRecords records;
    auto request = bytes_of(records.prepare_watch_request("Sunday race"));
    ASSERT_EQ(request.size(), 36u);
    EXPECT_EQ(std::string(request.begin(), request.begin() + 4), "HOS0");
    EXPECT_EQ(std::string(request.begin() + 4, request.begin() + 15), "Sunday race");
    for (int i = 15; i < 36; ++i) EXPECT_EQ(request[i], 0);

    records.header_data()[0] = 0xAB;
    records.header_data()[16385] = 0xCD;
    const auto header = bytes_of(records.prepare_header_upload());
    ASSERT_EQ(header.size(), 16390u);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "NRF0");
    EXPECT_EQ(header[4], 0xAB);
    EXPECT_EQ(header[16389], 0xCD);

    records.block_data()[4095] = 0xEF;
    const auto block = bytes_of(records.prepare_block_upload());
    ASSERT_EQ(block.size(), 4100u);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "ERF0");
    EXPECT_EQ(block[4099], 0xEF);
}
