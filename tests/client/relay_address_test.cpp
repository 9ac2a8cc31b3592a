#include "client/relay_address.h"

#include <gtest/gtest.h>

using kavro::relay_address_from;
using kavro::RelayAddress;

TEST(RelayAddress, EnvironmentOverridesHostAndOptionallyPort) {
    const RelayAddress built_in{"relay.example", "47475"};
    auto a = relay_address_from(nullptr, built_in);
    EXPECT_EQ(a.host, "relay.example");
    EXPECT_EQ(a.port, "47475");
    a = relay_address_from("", built_in);
    EXPECT_EQ(a.host, "relay.example");
    a = relay_address_from("127.0.0.1", built_in);
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, "47475");
    a = relay_address_from("127.0.0.1:5000", built_in);
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, "5000");
    a = relay_address_from(":6000", built_in);
    EXPECT_EQ(a.host, "relay.example");
    EXPECT_EQ(a.port, "6000");
}
