#include "client/throughput_meter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kavro::ThroughputMeter;

namespace {

std::string label(const std::string& sent, const std::string& recv) {
    return "sent: " + sent + " kb/sec     ---     recv: " + recv + " kb/sec";
}

}  // namespace

TEST(ThroughputMeter, AHeaderAloneShowsForFiveTicks) {
    ThroughputMeter meter;
    EXPECT_EQ(meter.tick(52, 0, '.'), label("0.0", "0.0"));  // 52 bytes: about 0.01
    EXPECT_EQ(meter.tick(16390, 6, '.'), label("3.2", "0.0"));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(meter.tick(0, 0, '.'), label("3.2", "0.0")) << i;
    EXPECT_EQ(meter.tick(0, 0, '.'), label("0.0", "0.0"));
}

TEST(ThroughputMeter, TenTailsInASecondStayAtLeastEightForFourTicks) {
    ThroughputMeter meter;
    EXPECT_EQ(meter.tick(10 * 4100, 2048, ','), label("8,0", "0,4"));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(meter.tick(0, 0, ','), label("8,0", "0,4")) << i;
    EXPECT_EQ(meter.tick(0, 0, ','), label("0,0", "0,0"));
}

TEST(ThroughputMeter, WindowsKeepTheNewestFiveSamples) {
    ThroughputMeter meter;
    for (std::int32_t s = 1; s <= 7; ++s) meter.tick(s * 1024, 0, '.');
    EXPECT_EQ(meter.sent_window(), (std::array<std::int32_t, 5>{3072, 4096, 5120, 6144, 7168}));
    // Five busy seconds summed past what 32 bits hold still give the right mean.
    ThroughputMeter busy;
    std::string last;
    for (int i = 0; i < 5; ++i) last = busy.tick(2'000'000'000, 0, '.');
    EXPECT_EQ(last, label("1953125.0", "0.0"));
}
