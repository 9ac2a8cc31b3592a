#include "replay/number_format.h"

#include <gtest/gtest.h>

using kavro::format_one_decimal;

TEST(FormatOneDecimal, ExactHalvesRoundAwayFromZero) {
    EXPECT_EQ(format_one_decimal(0.25), "0.3");  // printf's half-to-even would give 0.2
    EXPECT_EQ(format_one_decimal(0.75), "0.8");
    EXPECT_EQ(format_one_decimal(-0.25), "-0.3");
}

TEST(FormatOneDecimal, RoundsOnTheExactBinaryValue) {
    // Held slightly above: 0.05000000000000000277..., 7.95000000000000017763...
    EXPECT_EQ(format_one_decimal(0.05), "0.1");
    EXPECT_EQ(format_one_decimal(7.95), "8.0");
    // Held slightly below: 0.34999999999999997779..., 0.14999999999999999444...
    EXPECT_EQ(format_one_decimal(0.35), "0.3");
    EXPECT_EQ(format_one_decimal(0.15), "0.1");
    EXPECT_EQ(format_one_decimal(1.45), "1.4");
    EXPECT_EQ(format_one_decimal(9.95), "9.9");
    // A float promoted to double keeps the float's value: 0.0500000007450580596923828125.
    EXPECT_EQ(format_one_decimal(0.05f), "0.1");
}

TEST(FormatOneDecimal, OtherValues) {
    EXPECT_EQ(format_one_decimal(0.04), "0.0");
    EXPECT_EQ(format_one_decimal(2.5), "2.5");
    EXPECT_EQ(format_one_decimal(3.2012), "3.2");
    EXPECT_EQ(format_one_decimal(60.0), "60.0");
    EXPECT_EQ(format_one_decimal(0.0), "0.0");
    EXPECT_EQ(format_one_decimal(3.201171875), "3.2");  // a 16,390-byte header over five seconds
    EXPECT_EQ(format_one_decimal(8.0078125), "8.0");    // ten 4,100-byte blocks in one second
}

TEST(FormatOneDecimal, CarryRunsThroughTheIntegerPart) {
    EXPECT_EQ(format_one_decimal(9.96), "10.0");
    EXPECT_EQ(format_one_decimal(99.99), "100.0");
    EXPECT_EQ(format_one_decimal(-999.96), "-1000.0");
}

TEST(FormatOneDecimal, LargeValuesKeepAllTheirDigits) {
    EXPECT_EQ(format_one_decimal(123456789.25), "123456789.3");
    EXPECT_EQ(format_one_decimal(4294967296.0), "4294967296.0");
    EXPECT_EQ(format_one_decimal(1e20), "100000000000000000000.0");
    const std::string max = format_one_decimal(1.7976931348623157e308);
    EXPECT_EQ(max.size(), 309u + 2u);
    EXPECT_EQ(max.substr(0, 6), "179769");
    EXPECT_EQ(max.substr(max.size() - 2), ".0");
}

TEST(FormatOneDecimal, NegativeValuesKeepTheirSignButZeroHasNone) {
    EXPECT_EQ(format_one_decimal(-2.5), "-2.5");
    EXPECT_EQ(format_one_decimal(-0.04), "0.0");
    EXPECT_EQ(format_one_decimal(-0.0), "0.0");
    EXPECT_EQ(format_one_decimal(-0.05), "-0.1");
}

TEST(FormatOneDecimal, UsesTheGivenSeparator) {
    EXPECT_EQ(format_one_decimal(0.25, ','), "0,3");
    EXPECT_EQ(format_one_decimal(-12.0, ','), "-12,0");
}

TEST(FormatOneDecimal, TinyValuesAreZero) {
    EXPECT_EQ(format_one_decimal(4.9406564584124654e-324), "0.0");
    EXPECT_EQ(format_one_decimal(0.0499999999999), "0.0");
}
