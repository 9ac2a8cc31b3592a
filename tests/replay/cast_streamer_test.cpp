#include "replay/cast_streamer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cast_fixture.h"
#include "wire/outbound_records.h"
#include "wire/wire_format.h"

using kavro::CastPaths;
using kavro::CastStreamer;
using namespace kavro::test;

TEST(CastStreamer, DefaultPathsAreRelativeToTheClientFolder) {
    const CastPaths paths;
    EXPECT_EQ(paths.source.generic_string(), "../data/mpr/temp_mpr.mpr");
    EXPECT_EQ(paths.copy.generic_string(), "kavro_cast.mpr");
}

TEST(CastStreamer, NothingBeforeAcceptanceOrInWatchMode) {
    Cast cast;
    cast.lfs.start_recording(kHeader + 3 * kBlock, 1);
    cast.streamer.step(false, true, cast.records, cast.relay.send(), always_room(), cast.now);
    cast.streamer.step(true, false, cast.records, cast.relay.send(), always_room(), cast.now);
    cast.streamer.step(false, false, cast.records, cast.relay.send(), always_room(), cast.now);
    EXPECT_TRUE(cast.relay.sent.empty());
    EXPECT_FALSE(cast.lfs.has_copy());
    EXPECT_FALSE(cast.streamer.header_sent());
}

TEST(CastStreamer, NoRecordingNoUpload) {
    Cast cast;
    cast.step();
    EXPECT_TRUE(cast.relay.sent.empty());
    EXPECT_FALSE(cast.lfs.has_copy());
}

TEST(CastStreamer, WaitsForAWholeHeader) {
    Cast cast;
    cast.lfs.start_recording(kHeader - 1, 2);
    cast.step();
    EXPECT_TRUE(cast.relay.sent.empty());
    EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording());
}

TEST(CastStreamer, HeaderAtExactly16384BytesAndNoBlockUntilOneIsComplete) {
    Cast cast;
    cast.lfs.start_recording(kHeader, 3);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 1u);
    const Bytes& header = cast.relay.sent[0];
    ASSERT_EQ(header.size(), kavro::wire::kHeaderUploadSize);
    EXPECT_EQ(tag_of(header), "NRF0");
    EXPECT_EQ(slice(data_of(header), 0, kHeader), cast.lfs.recording());
    EXPECT_EQ(slice(data_of(header), kHeader, 2), (Bytes{0, 0}));
    EXPECT_TRUE(cast.streamer.header_sent());
    EXPECT_EQ(cast.streamer.last_cast_size(), 0);

    cast.step();  // same size
    cast.lfs.grow(kBlock - 1);
    cast.step();  // a block not yet complete
    EXPECT_EQ(cast.relay.sent.size(), 1u);
    EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording());

    cast.lfs.grow(1);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 2u);
    EXPECT_EQ(tag_of(cast.relay.sent[1]), "ERF0");
    EXPECT_EQ(cast.relay.sent[1].size(), kavro::wire::kBlockUploadSize);
    EXPECT_EQ(data_of(cast.relay.sent[1]), slice(cast.lfs.recording(), kHeader, kBlock));
    EXPECT_EQ(cast.streamer.last_cast_size(), static_cast<std::int64_t>(kHeader + kBlock));

    cast.step();  // same size above the header: nothing more
    EXPECT_EQ(cast.relay.sent.size(), 2u);
}

TEST(CastStreamer, TheHeaderTickSendsOnlyTheHeaderThenAllWaitingBlocksInOrder) {
    Cast cast;
    cast.lfs.start_recording(kHeader + 2 * kBlock + 10, 4);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 1u);
    EXPECT_EQ(tag_of(cast.relay.sent[0]), "NRF0");
    // The two extra header bytes are the start of the first block.
    EXPECT_EQ(data_of(cast.relay.sent[0]), slice(cast.lfs.recording(), 0, kHeader + 2));

    cast.lfs.grow(kBlock);  // now three whole blocks and 10 bytes
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(tag_of(cast.relay.sent[1 + i]), "ERF0");
        EXPECT_EQ(data_of(cast.relay.sent[1 + i]),
                  slice(cast.lfs.recording(), kHeader + i * kBlock, kBlock))
            << "block " << i;
    }
    EXPECT_EQ(cast.streamer.last_cast_size(), static_cast<std::int64_t>(kHeader + 3 * kBlock));
}

TEST(CastStreamer, OneBlockPerTickSendsTheCopysLastBlock) {
    Cast cast;
    cast.lfs.start_recording(kHeader, 5);
    cast.step();
    for (int tick = 0; tick < 5; ++tick) {
        cast.lfs.grow(kBlock);
        cast.step();
        ASSERT_EQ(cast.relay.sent.size(), 2u + static_cast<std::size_t>(tick));
        const Bytes& recording = cast.lfs.recording();
        EXPECT_EQ(data_of(cast.relay.sent.back()),
                  slice(recording, recording.size() - kBlock, kBlock));
    }
}

TEST(CastStreamer, ReassembledUploadEqualsTheRecordingOverIrregularGrowth) {
    Cast cast;
    cast.lfs.start_recording(0, 6);
    const std::size_t growth[] = {100,   5000, 11287, 1, 4095,  4096, 8191, 3,
                                  12289, 0,    7,     1, 40000, 4095, 2,    4097};
    for (const std::size_t bytes : growth) {
        cast.lfs.grow(bytes);
        cast.step();
        ASSERT_EQ(cast.lfs.copy(), cast.lfs.recording()) << "after growing by " << bytes;
    }
    // Complete the last block, then everything up to it has gone up.
    const std::size_t size = cast.lfs.recording().size();
    cast.lfs.grow((kBlock - (size - kHeader) % kBlock) % kBlock);
    cast.step();
    const Bytes& recording = cast.lfs.recording();
    ASSERT_EQ(cast.streamer.last_cast_size(), static_cast<std::int64_t>(recording.size()));

    ASSERT_FALSE(cast.relay.sent.empty());
    ASSERT_EQ(tag_of(cast.relay.sent[0]), "NRF0");
    Bytes upload = slice(data_of(cast.relay.sent[0]), 0, kHeader);
    for (std::size_t i = 1; i < cast.relay.sent.size(); ++i) {
        ASSERT_EQ(tag_of(cast.relay.sent[i]), "ERF0");
        const Bytes block = data_of(cast.relay.sent[i]);
        upload.insert(upload.end(), block.begin(), block.end());
    }
    EXPECT_EQ(upload, recording);
}

TEST(CastStreamer, ANewRecordingGetsANewHeader) {
    Cast cast;
    cast.lfs.start_recording(kHeader, 7);
    cast.step();
    cast.lfs.grow(2 * kBlock);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 3u);

    cast.lfs.start_recording(1000, 8);  // the simulator starts recording again
    cast.step();
    EXPECT_EQ(cast.relay.sent.size(), 3u);
    EXPECT_FALSE(cast.streamer.header_sent());
    EXPECT_EQ(cast.streamer.last_cast_size(), 0);
    EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording());

    cast.lfs.grow(kHeader + kBlock - 1000);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 4u);
    EXPECT_EQ(tag_of(cast.relay.sent[3]), "NRF0");
    EXPECT_EQ(data_of(cast.relay.sent[3]), slice(cast.lfs.recording(), 0, kHeader + 2));
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 5u);
    EXPECT_EQ(data_of(cast.relay.sent[4]), slice(cast.lfs.recording(), kHeader, kBlock));
    EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording());
}

TEST(CastStreamer, ANewRecordingAfterAHeaderWithoutBlocksGetsItsOwnHeader) {
    Cast cast;
    cast.lfs.start_recording(kHeader, 9);
    cast.step();
    cast.lfs.start_recording(500, 10);
    cast.step();
    EXPECT_FALSE(cast.streamer.header_sent());
    EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording());
    cast.lfs.grow(kHeader + kBlock - 500);
    cast.step();
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 3u);
    EXPECT_EQ(reassembled(cast.relay.sent, 1), cast.lfs.recording());
}

TEST(CastStreamer, TrackBytesFromAChosenTrack) {
    struct Case {
        const char* track;
        std::uint8_t byte72;
        std::uint8_t byte73;
    };
    // The recording holds 0xAB at 72 and 0xCD at 73.
    for (const Case& c :
         {Case{"BL1r", 1, 1}, Case{"AU2", 2, 0xCD}, Case{"", 0xAB, 0xCD}, Case{"FE6", 6, 0xCD}}) {
        Cast cast;
        cast.lfs.start_recording(kHeader, 11);
        cast.lfs.set_byte(72, 0xAB);
        cast.lfs.set_byte(73, 0xCD);
        cast.records.set_cast("name", c.track);
        cast.step();
        ASSERT_EQ(cast.relay.sent.size(), 1u) << c.track;
        Bytes data = data_of(cast.relay.sent[0]);
        EXPECT_EQ(data[72], c.byte72) << c.track;
        EXPECT_EQ(data[73], c.byte73) << c.track;
        // Nothing else differs from the recording, and the copy stays as recorded.
        data[72] = 0xAB;
        data[73] = 0xCD;
        EXPECT_EQ(slice(data, 0, kHeader), cast.lfs.recording()) << c.track;
        EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording()) << c.track;
    }
}

TEST(CastStreamer, HeaderBytesBeyondTheCopyAreZeroEvenAfterAnEarlierHeader) {
    Cast cast;
    cast.lfs.start_recording(kHeader + 2 * kBlock, 12);
    ASSERT_NE(cast.lfs.recording()[kHeader + 1], 0);
    cast.step();
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 3u);
    ASSERT_EQ(cast.relay.sent[0][4 + kHeader + 1], cast.lfs.recording()[kHeader + 1]);

    cast.lfs.start_recording(100, 13);
    cast.step();
    cast.lfs.grow(kHeader + 1 - 100);  // 16,385 bytes
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 4u);
    const Bytes data = data_of(cast.relay.sent[3]);
    EXPECT_EQ(slice(data, 0, kHeader + 1), cast.lfs.recording());
    EXPECT_EQ(data[kHeader + 1], 0);
}

TEST(CastStreamer, AFailedSendIsRepeatedOnTheNextTick) {
    Cast cast;
    cast.lfs.start_recording(kHeader, 14);
    cast.relay.fail = true;
    cast.step();
    EXPECT_FALSE(cast.streamer.header_sent());
    cast.relay.fail = false;
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 1u);
    EXPECT_TRUE(cast.streamer.header_sent());

    cast.lfs.grow(2 * kBlock);
    cast.relay.fail = true;
    cast.step();
    EXPECT_EQ(cast.streamer.last_cast_size(), 0);
    cast.relay.fail = false;
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 3u);
    EXPECT_EQ(data_of(cast.relay.sent[1]), slice(cast.lfs.recording(), kHeader, kBlock));
    EXPECT_EQ(data_of(cast.relay.sent[2]), slice(cast.lfs.recording(), kHeader + kBlock, kBlock));
}

TEST(CastStreamer, AFailureMidwayKeepsTheBlocksAlreadySent) {
    Cast cast;
    cast.lfs.start_recording(kHeader, 15);
    cast.step();
    cast.lfs.grow(3 * kBlock);
    int sends = 0;
    cast.streamer.step(
        true, true, cast.records,
        [&](std::span<const std::uint8_t> record) {
            if (++sends == 2) return false;
            cast.relay.sent.emplace_back(record.begin(), record.end());
            return true;
        },
        always_room(), cast.now);
    EXPECT_EQ(sends, 2);
    EXPECT_EQ(cast.streamer.last_cast_size(), static_cast<std::int64_t>(kHeader + kBlock));
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(data_of(cast.relay.sent[1 + i]),
                  slice(cast.lfs.recording(), kHeader + i * kBlock, kBlock));
    }
}

TEST(CastStreamer, EveryRestartUploadsTheRecordingAgainFromItsHeader) {
    Cast cast;
    cast.lfs.start_recording(kHeader + kBlock, 9);
    cast.step();
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 2u);

    // Accepted again (the connection dropped with bytes in flight): the header, then every
    // block from the start, the one recorded meanwhile included.
    cast.streamer.restart();
    EXPECT_FALSE(cast.streamer.header_sent());
    EXPECT_EQ(cast.streamer.last_cast_size(), 0);
    cast.lfs.grow(kBlock);
    cast.step();
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 5u);
    EXPECT_EQ(tag_of(cast.relay.sent[2]), "NRF0");
    EXPECT_EQ(reassembled(cast.relay.sent, 2), cast.lfs.recording());
}

TEST(CastStreamer, ACatchUpSendsAtMost64BlocksPerTickAndTheRestOnLaterTicksInOrder) {
    Cast cast;
    cast.lfs.start_recording(kHeader + 200 * kBlock + 100, 16);
    cast.step();
    ASSERT_EQ(cast.relay.sent.size(), 1u);  // the header tick sends the header alone

    std::vector<std::size_t> per_tick;
    for (int tick = 0; tick < 5; ++tick) {
        const std::size_t before = cast.relay.sent.size();
        cast.step();
        per_tick.push_back(cast.relay.sent.size() - before);
    }
    EXPECT_EQ(per_tick, (std::vector<std::size_t>{64, 64, 64, 8, 0}));
    const Bytes& recording = cast.lfs.recording();
    EXPECT_EQ(reassembled(cast.relay.sent), slice(recording, 0, kHeader + 200 * kBlock));
}

TEST(CastStreamer, ALongRecordingIsCopiedOverSeveralTicksAndUploadedWhole) {
    Cast cast;
    const std::size_t bulk = 2 * CastStreamer::kMaxCopyPerTick + 5 * kBlock;
    cast.lfs.start_recording(kHeader + bulk, 21);
    cast.step();
    EXPECT_EQ(cast.lfs.copy().size(), CastStreamer::kMaxCopyPerTick);
    ASSERT_EQ(cast.relay.sent.size(), 1u);
    for (int tick = 0; tick < 1000 && cast.streamer.last_cast_size() <
                                          static_cast<std::int64_t>(cast.lfs.recording().size());
         ++tick) {
        cast.step();
    }
    EXPECT_EQ(cast.lfs.copy(), cast.lfs.recording());
    EXPECT_EQ(reassembled(cast.relay.sent), cast.lfs.recording());
}

TEST(CastStreamer, ATickEndsWhenTheConnectionIsFullAndTheNextGoesOnWithNothingLostOrRepeated) {
    Cast cast;
    cast.lfs.start_recording(kHeader + 90 * kBlock, 17);
    int asked = 0;

    // No room: not even the header goes.
    cast.step_with_room_for(0, asked);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(cast.relay.sent.empty());
    EXPECT_FALSE(cast.streamer.header_sent());

    // Room per tick, while the recording keeps growing by an irregular amount.
    const int room[] = {1, 0, 3, 1, 64, 0, 7, 2, 64, 64, 5, 64, 64, 64};
    const std::size_t growth[] = {0, 5000, 0, 4096, 100, 0, 70000, 1, 4095, 0, 12288, 0, 3, 0};
    std::size_t records_before = 0;
    for (std::size_t tick = 0; tick < std::size(room); ++tick) {
        cast.lfs.grow(growth[tick]);
        asked = 0;
        cast.step_with_room_for(room[tick], asked);
        const std::size_t sent = cast.relay.sent.size() - records_before;
        records_before = cast.relay.sent.size();
        // It asks before every record, and a no ends the tick.
        EXPECT_LE(sent, static_cast<std::size_t>(room[tick])) << "tick " << tick;
        EXPECT_GE(static_cast<std::size_t>(asked), sent) << "tick " << tick;
        EXPECT_LE(static_cast<std::size_t>(asked), sent + 1) << "tick " << tick;
    }

    const Bytes& recording = cast.lfs.recording();
    const std::size_t whole = kHeader + (recording.size() - kHeader) / kBlock * kBlock;
    ASSERT_EQ(cast.streamer.last_cast_size(), static_cast<std::int64_t>(whole));
    EXPECT_EQ(reassembled(cast.relay.sent), slice(recording, 0, whole));
}

TEST(CastStreamer, CastingAgainAfterANewRaceUploadsTheNewRecordingAlone) {
    // The new race's file is never seen below 16,384 bytes: it is already shorter or longer
    // than what went up of the old one when the next Cast copies it.
    for (const std::size_t new_size : {kHeader + 2 * kBlock + 7, kHeader + 9 * kBlock}) {
        Cast cast;
        cast.lfs.start_recording(kHeader + 5 * kBlock, 18);
        cast.step();
        cast.step();
        ASSERT_EQ(cast.relay.sent.size(), 6u);

        // Stop: the steps do nothing while not registered; the simulator records a new race.
        cast.streamer.step(false, true, cast.records, cast.relay.send(), always_room(), cast.now);
        cast.lfs.start_recording(new_size, 19);
        cast.streamer.step(false, true, cast.records, cast.relay.send(), always_room(), cast.now);

        // Cast again: accepted, the upload starts over.
        cast.streamer.restart();
        const std::size_t first = cast.relay.sent.size();
        cast.step();
        cast.step();
        cast.lfs.grow(3 * kBlock);
        cast.step();

        const Bytes& recording = cast.lfs.recording();
        const std::size_t whole = kHeader + (recording.size() - kHeader) / kBlock * kBlock;
        EXPECT_EQ(reassembled(cast.relay.sent, first), slice(recording, 0, whole)) << new_size;
        EXPECT_EQ(data_of(cast.relay.sent[first]), slice(recording, 0, kHeader + 2)) << new_size;
    }
}
