// The relay's socket-free parts: the packet time, the list order, the command line, the rules'
// settings and shared lock, and how the defences read names, addresses, reservations and bans.
// (The framing of client messages is tested with the rest of the format, in tests/wire.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "relay/base/relay_options.h"
#include "relay/cast/caster_list.h"
#include "relay/cast/packet_clock.h"
#include "relay/cast/rule_settings.h"
#include "relay/cast/shared_lock.h"
#include "relay/policy/address_limits.h"
#include "relay/policy/ban_list.h"
#include "relay/policy/cast_names.h"
#include "relay/policy/reserved_names.h"
#include "tests/relay/test_client.h"
#include "wire/wire_format.h"

namespace kavro::relay {
namespace {

using testing::Bytes;
TEST(PacketClock, IsZeroUntilTwoBlocksThenTheMeanOfTheLastSixteenIntervals) {
    PacketClock clock;
    const auto t0 = std::chrono::steady_clock::time_point{};
    EXPECT_EQ(clock.tenths(), 0);
    clock.block_arrived(t0);
    EXPECT_EQ(clock.tenths(), 0);
    clock.block_arrived(t0 + std::chrono::milliseconds(2500));
    EXPECT_EQ(clock.tenths(), 25);
    // Twenty more blocks 50 ms apart: only the last sixteen count, so the 2.5 s gap is gone.
    for (int i = 1; i <= 20; ++i)
        clock.block_arrived(t0 + std::chrono::milliseconds(2500 + 50 * i));
    EXPECT_EQ(clock.tenths(), 1);  // 0.5 tenths rounds up; never shown as "not available"
    clock.reset();
    EXPECT_EQ(clock.tenths(), 0);
}

TEST(CasterList, MostWatchersFirstAndOlderCastsFirstAmongEquals) {
    const auto message = build_caster_list({{"c", "FE2r", 1, 5, 3},
                                            {"a", "BL1", 4, 0, 2},
                                            {"b", "", 1, 7, 1},
                                            {"d", "AS1", 70000, 0, 4}});
    const auto payload = std::span(message).subspan(wire::kHeadSize);
    ASSERT_EQ(wire::caster_entry_count(payload), 4u);
    const auto e = [&](std::size_t i) { return wire::read_caster_entry(payload, i); };
    EXPECT_EQ(e(0).name, "d");
    EXPECT_EQ(e(0).watchers, 65535);
    EXPECT_EQ(e(1).name, "a");
    EXPECT_EQ(e(2).name, "b");
    EXPECT_EQ(e(3).name, "c");
    EXPECT_EQ(e(3).track, "FE2r");
    EXPECT_EQ(e(3).packet_time, 5);
}

TEST(RelayOptions, DefaultsAndCommandLine) {
    RelayOptions options;
    const char* none[] = {"kavro-relay"};
    EXPECT_FALSE(parse_command_line(1, none, options).has_value());
    EXPECT_EQ(options.listen_host, "0.0.0.0");
    EXPECT_EQ(options.listen_port, 47475);
    EXPECT_EQ(options.idle_timeout, std::chrono::minutes(10));
    EXPECT_EQ(options.connections_per_address, 64u);
    EXPECT_EQ(options.casts_per_address, 2u);
    EXPECT_EQ(options.stall_timeout, std::chrono::seconds(60));
    EXPECT_EQ(options.http_connections_per_address, 8u);
    if (std::getenv("STATE_DIRECTORY") == nullptr) {
        EXPECT_EQ(options.data_dir, std::filesystem::path("kavro-relay-data"));
    }
    EXPECT_EQ(options.threads, std::max(1u, std::thread::hardware_concurrency()));
    const char* some[] = {"kavro-relay", "--listen",          "[::1]:0", "--resume-grace",
                          "0.5",         "--broadcast-delay", "2"};
    EXPECT_FALSE(parse_command_line(7, some, options).has_value());
    EXPECT_EQ(options.listen_host, "::1");
    EXPECT_EQ(options.listen_port, 0);
    EXPECT_EQ(options.resume_grace, std::chrono::milliseconds(500));
    EXPECT_EQ(options.broadcast_delay, std::chrono::seconds(2));
    const char* bad[] = {"kavro-relay", "--listen", "localhost"};
    const auto code = parse_command_line(3, bad, options);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
    const char* four[] = {"kavro-relay", "--threads", "4"};
    EXPECT_FALSE(parse_command_line(3, four, options).has_value());
    EXPECT_EQ(options.threads, 4u);
    for (const char* count : {"0", "257", "two"}) {
        const char* wrong[] = {"kavro-relay", "--threads", count};
        EXPECT_EQ(parse_command_line(3, wrong, options), 2) << count;
    }
}

TEST(RuleSettings, EachRuleIsTakenFromTheOptionOfItsName) {
    // Every option the rules read set to a value of its own, so a rule that reads the wrong
    // option, or none, shows.
    RelayOptions options;
    options.max_connections = 101;
    options.connections_per_address = 102;
    options.max_casts = 103;
    options.casts_per_address = 104;
    options.watchers_per_address = 105;
    options.max_replay_bytes = 106;
    options.cast_recordings_per_minute = 107;
    options.address_recordings_per_hour = 108;
    options.reserved_only = true;
    options.idle_timeout = std::chrono::seconds(201);
    options.resume_grace = std::chrono::seconds(202);
    options.keepalive_interval = std::chrono::seconds(203);
    options.stall_timeout = std::chrono::seconds(204);
    options.broadcast_delay = std::chrono::seconds(205);

    const RuleSettings settings = rule_settings(options);
    EXPECT_EQ(settings.max_connections, 101u);
    EXPECT_EQ(settings.connections_per_address, 102u);
    EXPECT_EQ(settings.max_casts, 103u);
    EXPECT_EQ(settings.casts_per_address, 104u);
    EXPECT_EQ(settings.watchers_per_address, 105u);
    EXPECT_EQ(settings.max_replay_bytes, 106u);
    EXPECT_EQ(settings.cast_recordings_per_minute, 107u);
    EXPECT_EQ(settings.address_recordings_per_hour, 108u);
    EXPECT_TRUE(settings.reserved_only);
    EXPECT_EQ(settings.idle_timeout, std::chrono::seconds(201));
    EXPECT_EQ(settings.resume_grace, std::chrono::seconds(202));
    EXPECT_EQ(settings.keepalive_interval, std::chrono::seconds(203));
    EXPECT_EQ(settings.stall_timeout, std::chrono::seconds(204));
    EXPECT_EQ(settings.broadcast_delay, std::chrono::seconds(205));
}

TEST(SharedLockDeathTest, TakenTwiceOnOneThreadItStopsTheRelayWithALineInsteadOfHanging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SharedLock lock;
            lock.lock();
            lock.lock();
        },
        "the shared lock was taken twice on one thread");
}

TEST(SharedLock, ExcludesOtherThreadsAndKnowsWhoHoldsIt) {
    SharedLock lock;
    EXPECT_FALSE(lock.held_here());
    lock.lock();
    EXPECT_TRUE(lock.held_here());
    EXPECT_FALSE(lock.try_lock());  // held here: not taken again
    bool other_took_it = true;
    bool other_saw_it_held_here = true;
    std::thread other([&] {
        other_saw_it_held_here = lock.held_here();
        other_took_it = lock.try_lock();
    });
    other.join();
    EXPECT_FALSE(other_took_it);
    EXPECT_FALSE(other_saw_it_held_here);
    lock.unlock();
    EXPECT_FALSE(lock.held_here());
    std::thread later([&] {
        other_took_it = lock.try_lock();
        if (other_took_it) lock.unlock();
    });
    later.join();
    EXPECT_TRUE(other_took_it);
}

TEST(RelayDefenceParts, NamesAddressesReservationsAndBansAreReadAsTheRulesCompareThem) {
    const auto typed = split_cast_name("League#s3#cret");
    EXPECT_EQ(typed.name, "League");
    EXPECT_EQ(typed.key, "s3#cret");
    EXPECT_FALSE(split_cast_name("League#").key);
    EXPECT_EQ(comparable_name("Club   NIGHT  r3"), "club night r3");
    EXPECT_FALSE(cast_name_problem("Sunday league"));
    for (const char* bad : {"", " x", "x ",
                            "a\xA0"
                            "b",
                            "a\x7F", "a\tb"}) {
        EXPECT_TRUE(cast_name_problem(bad)) << bad;
    }
    EXPECT_TRUE(same_key("k1", "k1"));
    EXPECT_FALSE(same_key("k1", "k1x"));
    EXPECT_FALSE(same_key("", "k"));

    using boost::asio::ip::make_address;
    // An IPv4 client on a dual-stack socket is its IPv4 address, an IPv6 client its /64.
    EXPECT_EQ(counted_address(make_address("::ffff:192.0.2.7")), make_address("192.0.2.7"));
    EXPECT_EQ(counted_address(make_address("2001:db8:1:2:aaaa::1")),
              make_address("2001:db8:1:2::"));
    EXPECT_EQ(counted_address(make_address("198.51.100.1")), make_address("198.51.100.1"));

    std::string problem;
    const auto parsed =
        ReservedNames::parse("# comment\r\nk1 Sunday  league\r\n\nk2 Cup\n", problem);
    ASSERT_TRUE(parsed) << problem;
    EXPECT_EQ(parsed->size(), 2u);
    ASSERT_TRUE(parsed->find("SUNDAY league"));
    EXPECT_EQ(parsed->find("sunday   League")->key, "k1");
    EXPECT_EQ(parsed->find("Cup")->name, "Cup");
    EXPECT_FALSE(parsed->find("Cup2"));
    for (const char* bad : {"nokey\n", " Name\n", "k1 A\nk2 a\n", "k1 Name \n", "k#1 Name\n"}) {
        EXPECT_FALSE(ReservedNames::parse(bad, problem)) << bad;
    }
    EXPECT_NE(problem.find("line 1"), std::string::npos) << problem;

    BanList bans;
    const auto now = Ban::WallClock::now();
    auto network = parse_ban_target("192.0.2.77/24", problem);
    ASSERT_TRUE(network);
    EXPECT_EQ(network->text(), "192.0.2.0/24");
    network->until = now + std::chrono::hours(1);
    bans.add(*network);
    bans.add(*parse_ban_target("2001:db8:1:2::5", problem));  // its /64
    EXPECT_TRUE(bans.bans(make_address("192.0.2.200"), now));
    EXPECT_TRUE(bans.bans(make_address("::ffff:192.0.2.1"), now));
    EXPECT_FALSE(bans.bans(make_address("192.0.3.1"), now));
    EXPECT_TRUE(bans.bans(make_address("2001:db8:1:2:ffff::9"), now));
    EXPECT_FALSE(bans.bans(make_address("2001:db8:1:3::9"), now));
    EXPECT_FALSE(bans.bans(make_address("192.0.2.200"), now + std::chrono::hours(2)));
    for (const char* bad : {"300.1.1.1", "192.0.2.1/33", "::1/129", "x", "1.2.3.4/"}) {
        EXPECT_FALSE(parse_ban_target(bad, problem)) << bad;
    }
    // Kept as JSON and read back the same; expired bans drop out of those in force.
    const auto back = BanList::from_json(bans.to_json(), problem);
    ASSERT_TRUE(back) << problem;
    EXPECT_TRUE(back->bans(make_address("192.0.2.9"), now));
    EXPECT_TRUE(back->bans(make_address("2001:db8:1:2::1"), now));
    EXPECT_EQ(back->count_in_force(now + std::chrono::hours(2)), 1u);
    EXPECT_FALSE(BanList::from_json("{\"bans\":[{\"network\":\"nope\"}]}", problem));
    EXPECT_EQ(bans.lift_covering(make_address("192.0.2.3")).size(), 1u);
    EXPECT_FALSE(bans.bans(make_address("192.0.2.3"), now));
}

}  // namespace
}  // namespace kavro::relay
