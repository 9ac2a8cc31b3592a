// The shared wait: it stops as soon as its condition holds, gives up only once its time is
// over, asks once more at the end, and asks no more often than its step.
#include "polling.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kavro::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(WaitUntil, StopsAtTheFirstAnswerThatHolds) {
    int asked = 0;
    EXPECT_TRUE(wait_until([&] { return ++asked == 3; }, 10s));
    EXPECT_EQ(asked, 3);
}

TEST(WaitUntil, GivesUpOnlyOnceItsTimeHasPassed) {
    const auto started = Clock::now();
    EXPECT_FALSE(wait_until([] { return false; }, 50ms));
    EXPECT_GE(Clock::now() - started, 50ms);
}

TEST(WaitUntil, AConditionThatComesTrueJustAtTheDeadlineCounts) {
    const auto started = Clock::now();
    EXPECT_TRUE(wait_until([&] { return Clock::now() - started >= 50ms; }, 50ms));
}

TEST(WaitUntil, AsksNoMoreOftenThanItsStep) {
    int asked = 0;
    EXPECT_FALSE(wait_until([&] { return ++asked < 0; }, 100ms, 20ms));
    EXPECT_GE(asked, 2);
    EXPECT_LE(asked, 7);  // 100 ms in steps of 20 ms, and the last time after the deadline
}

}  // namespace
}  // namespace kavro::test
