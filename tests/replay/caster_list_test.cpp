#include "replay/caster_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "wire/wire_format.h"

using kavro::caster_list_header;
using kavro::caster_list_rows;
using kavro::CasterRow;
using kavro::wire::CasterEntry;

namespace {

// The payload of a CHL message for `entries` (what follows the six-byte head).
std::vector<std::uint8_t> payload_for(const std::vector<CasterEntry>& entries) {
    const std::vector<std::uint8_t> message = kavro::wire::make_caster_list(entries);
    return std::vector<std::uint8_t>(message.begin() + kavro::wire::kHeadSize, message.end());
}

const std::string kName32 = "abcdefghijklmnopqrstuvwxyz012345";

}  // namespace

TEST(CasterList, HeaderNamesTheFourColumns) {
    EXPECT_EQ(caster_list_header(), (CasterRow{"Cast name", "Track", "Watcher", "Packet time"}));
}

TEST(CasterList, NoEntriesGiveOneBlankRow) {
    const auto rows = caster_list_rows(payload_for({}), '.');
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], CasterRow{});
    // A payload too short to hold a count is read as no entries.
    EXPECT_EQ(caster_list_rows({}, '.'), std::vector<CasterRow>{CasterRow{}});
}

TEST(CasterList, OneEntryShowsAFullNameZeroWatchersAndNoPacketTime) {
    ASSERT_EQ(kName32.size(), 32u);
    const auto rows = caster_list_rows(payload_for({{kName32, "FE2r", 0, 0}}), '.');
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (CasterRow{kName32, "FE2r", "0", "n.a."}));
}

TEST(CasterList, ThreeEntriesThenOne) {
    const auto three = caster_list_rows(
        payload_for({{"first", "BL1", 1, 600}, {"second", "AU2", 65535, 25}, {"third", "", 7, 1}}),
        '.');
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0], (CasterRow{"first", "BL1", "1", "60.0 sec"}));
    EXPECT_EQ(three[1], (CasterRow{"second", "AU2", "65535", "2.5 sec"}));
    EXPECT_EQ(three[2], (CasterRow{"third", "", "7", "0.1 sec"}));

    const auto one = caster_list_rows(payload_for({{"only", "KY3r", 2, 65535}}), '.');
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], (CasterRow{"only", "KY3r", "2", "6553.5 sec"}));
}

TEST(CasterList, PacketTimeUsesTheGivenSeparator) {
    const auto rows = caster_list_rows(payload_for({{"x", "SO1", 3, 25}}), ',');
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], "2,5 sec");
}

TEST(CasterList, ACountClaimingMoreEntriesThanThePayloadHoldsIsCut) {
    std::vector<std::uint8_t> payload = payload_for({{"a", "BL1", 1, 10}, {"b", "BL2", 2, 20}});
    kavro::wire::put_u16le(payload, 0, 5);
    auto rows = caster_list_rows(payload, '.');
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1], (CasterRow{"b", "BL2", "2", "2.0 sec"}));

    // Half an entry is not an entry.
    payload.resize(payload.size() - 20);
    rows = caster_list_rows(payload, '.');
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "a");

    // A claimed count that no entry backs is an empty list.
    payload.resize(2);
    EXPECT_EQ(caster_list_rows(payload, '.'), std::vector<CasterRow>{CasterRow{}});
}

TEST(CasterList, ACountSmallerThanThePayloadShowsOnlyTheCountedEntries) {
    std::vector<std::uint8_t> payload = payload_for({{"a", "BL1", 1, 10}, {"b", "BL2", 2, 20}});
    kavro::wire::put_u16le(payload, 0, 1);
    const auto rows = caster_list_rows(payload, '.');
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "a");
}
