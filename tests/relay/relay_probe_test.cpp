// Resource probes: what hostile or broken clients can cost the relay. Connections that reset
// at once, senders that stall, watchers that stop reading, and option values no relay can use.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "temp_folder.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/relay_process.h"
#include "tests/relay/running_relay.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

// Connects to 127.0.0.1:port and closes with a reset (SO_LINGER of zero) after `wait`, so
// that resets land at every point of the relay's admission.
void connect_and_reset(std::uint16_t port, std::chrono::microseconds wait) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (wait > 0us) std::this_thread::sleep_for(wait);
    ::close(fd);
}

TEST(RelayProbe, TwoThousandConnectAndResetsLeaveTheAddressAllItsConnections) {
    RunningRelay relay;
    for (int i = 0; i < 2000; ++i) connect_and_reset(relay.port(), (i % 8) * 25us);
    ASSERT_TRUE(becomes([&] { return relay.connection_count() == 0; }));
    EXPECT_EQ(relay.connections_from_loopback(), 0u);
    // The whole per-address allowance is free again.
    std::vector<std::unique_ptr<TestClient>> clients;
    for (std::size_t i = 0; i < test_options().connections_per_address; ++i) {
        clients.push_back(std::make_unique<TestClient>(relay.port()));
        ASSERT_TRUE(clients.back()->send(hello_message(wire::kModeWatch)));
        const auto answer = clients.back()->read_skipping_keepalives();
        ASSERT_TRUE(answer) << "connection " << i;
        EXPECT_EQ(answer->tag, "ACK") << "connection " << i << ": " << answer->text();
    }
    EXPECT_EQ(relay.connections_from_loopback(), clients.size());
}

TEST(RelayProbe, SenderThatStallsMidMessageAfterItsHelloIsClosedAfterTheIdleTimeOut) {
    RelayOptions options = test_options();
    options.idle_timeout = 500ms;
    options.keepalive_interval = 100ms;  // keep-alives must not count as progress
    RunningRelay relay(options);
    TestClient slow(relay.port());
    ASSERT_TRUE(slow.send(hello_message(wire::kModeWatch)));
    ASSERT_TRUE(slow.read_skipping_keepalives());  // ACK
    ASSERT_TRUE(slow.read_skipping_keepalives());  // CHL
    // A watch request one byte at a time, far slower than the idle time-out allows for a
    // whole message; the relay is not waiting for a first message any more.
    const Bytes request = watch_message("anything");
    const auto started = std::chrono::steady_clock::now();
    std::optional<Message> error;
    for (std::size_t sent = 0; sent < request.size() && !error; ++sent) {
        if (!slow.send(std::span(request).subspan(sent, 1))) break;
        const auto next_byte_at = std::chrono::steady_clock::now() + 200ms;
        while (!error && std::chrono::steady_clock::now() < next_byte_at) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                next_byte_at - std::chrono::steady_clock::now());
            const auto message = slow.read(std::max(left, 1ms));
            if (!message) break;
            if (message->tag == "ERR") error = message;
        }
    }
    ASSERT_TRUE(error) << "the relay kept the stalled connection";
    EXPECT_EQ(error->text(), "No message arrived in time.");
    EXPECT_GE(std::chrono::steady_clock::now() - started, options.idle_timeout);
    EXPECT_TRUE(slow.closed_by_relay());
    EXPECT_TRUE(relay.logged({slow.local_address(), "left a message unfinished"}));
}

TEST(RelayProbe, WatchersThatStopReadingCostNoCopyOfA60MiBCast) {
    constexpr std::size_t kBlocks = 60u * 1024 * 1024 / wire::kBlockSize;
    RelayProcess relay({"--listen", "127.0.0.1:0", "--max-replay-bytes", "80000000"});
    const std::uint16_t port = relay.port();
    ASSERT_NE(port, 0);
    const Recording recording(5);
    TestClient caster(port);
    ASSERT_TRUE(caster.cast("big"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    // Two watchers with small receive buffers that never read a byte.
    TestClient stalled1(port, 4096), stalled2(port, 4096);
    ASSERT_TRUE(stalled1.watch("big"));
    ASSERT_TRUE(stalled2.watch("big"));
    const std::size_t before = relay.memory_field("VmRSS");
    std::thread upload([&] {
        for (std::size_t i = 0; i < kBlocks; ++i) {
            if (!caster.send(block_upload(recording.block(i)))) return;
        }
    });
    // A watcher that reads everything shows when the relay holds the whole cast.
    TestClient reader_client(port);
    ASSERT_TRUE(reader_client.watch("big"));
    ReplayReader reader;
    const std::size_t size = wire::kReplayHeaderSize + kBlocks * wire::kBlockSize;
    const bool complete = reader.read_until(reader_client, size, 120s);
    upload.join();
    ASSERT_TRUE(complete);
    EXPECT_TRUE(reader.file() == recording.file(kBlocks));
    const std::size_t peak = relay.memory_field("VmHWM");
    const std::size_t stored = kBlocks * wire::kBlockSize;
    // One stored copy plus overhead; a copy per stalled watcher would be three times this.
    EXPECT_LT(peak - before, stored + stored / 2) << "relay grew by " << (peak - before) / 1024
                                                  << " KiB for " << stored / 1024 << " KiB stored";
}

TEST(RelayProbe, StoredCastsCostUnderAQuarterOfTheirBytesInMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The relay under test is built the same way: its allocator is the sanitizer's, which keeps
    // what is freed, so its resident memory says nothing about the store.
    GTEST_SKIP() << "measures the system allocator, not a sanitizer's";
#endif
    constexpr std::size_t kCasts = 4;
    constexpr std::size_t kBlocks = 16u * 1024 * 1024 / wire::kBlockSize;  // 16 MiB each
    test::TempFolder folder;
    RelayProcess relay({"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir",
                        (folder.path() / "data").string(), "--casts-per-address", "8"});
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(http_port, 0);
    const std::size_t before = relay.memory_field("VmRSS");
    std::vector<std::unique_ptr<TestClient>> casters;
    for (std::size_t c = 0; c < kCasts; ++c) {
        const Recording recording(60 + static_cast<std::uint32_t>(c));
        casters.push_back(std::make_unique<TestClient>(port));
        ASSERT_TRUE(casters.back()->cast("stored " + std::to_string(c)));
        ASSERT_TRUE(casters.back()->send(recording.header_upload()));
        for (std::size_t i = 0; i < kBlocks; ++i) {
            ASSERT_TRUE(casters.back()->send(block_upload(recording.block(i))));
        }
    }
    const std::size_t stored = kCasts * kBlocks * wire::kBlockSize;
    // Until the files hold everything, synced: then the casts let their memory copies go.
    ASSERT_TRUE(becomes([&] {
        const auto metrics = http_get(http_port, "/metrics");
        return metrics && metrics->body().find("kavro_relay_store_bytes " +
                                               std::to_string(stored + kCasts * 16384) + "\n") !=
                              std::string::npos;
    }));
    // Then the memory they let go of goes back to the system, soon after.
    std::size_t held = 0;
    EXPECT_TRUE(becomes([&] {
        held = relay.memory_field("VmRSS");
        return held - before < stored / 4;
    })) << "the relay holds "
        << (held - before) / 1024 << " KiB for " << stored / 1024 << " KiB stored";

    // A late joiner's catch-up comes from the files, byte for byte.
    TestClient late(port);
    ASSERT_TRUE(late.watch("stored 2"));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(late, wire::kReplayHeaderSize + kBlocks * wire::kBlockSize));
    EXPECT_TRUE(reader.file() == Recording(62).file(kBlocks));
}

TEST(RelayProgram, ADataFolderInUseOrUnusableStopsItBeforeItListensWithStatusTwo) {
    test::TempFolder folder;
    const std::string dir = (folder.path() / "data").string();
    RelayProcess first({"--listen", "127.0.0.1:0", "--data-dir", dir});
    ASSERT_NE(first.port(), 0);
    const auto log = folder.path() / "second.log";
    RelayProcess second({"--listen", "127.0.0.1:0", "--data-dir", dir}, log.string());
    EXPECT_FALSE(second.first_line());
    EXPECT_EQ(second.exit_status(), 2);
    const Bytes said = test::read_file(log);
    EXPECT_NE(std::string(said.begin(), said.end()).find("is in use by another kavro-relay"),
              std::string::npos);
    // A folder that cannot be made: its place is taken by a file.
    test::write_file(folder.path() / "a-file", {1, 2, 3});
    RelayProcess blocked(
        {"--listen", "127.0.0.1:0", "--data-dir", (folder.path() / "a-file" / "data").string()});
    EXPECT_FALSE(blocked.first_line());
    EXPECT_EQ(blocked.exit_status(), 2);
    EXPECT_EQ(first.end_with(SIGTERM), 0);
}

TEST(RelayProgram, SighupReadsReservationsAndBansAgainAndAClosedLogPipeDoesNotEndIt) {
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("kavro-program-" + std::to_string(::getpid()) + "-" + std::to_string(test_threads()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "data");
    const auto reserved = folder / "reserved.txt";
    std::ofstream(reserved) << "k1 League\n";
    // Its log goes to a pipe nobody reads: the first line it writes would raise SIGPIPE.
    RelayProcess relay({"--listen", "127.0.0.1:0", "--reserved-names", reserved.string(),
                        "--data-dir", (folder / "data").string(), "--keepalive", "0.2"},
                       true);
    const std::uint16_t port = relay.port();
    ASSERT_NE(port, 0);
    TestClient before(port, 0, "127.0.0.2");
    ASSERT_TRUE(before.cast("Cup"));

    std::ofstream(reserved) << "k1 League\nk2 Cup Final\n";
    std::ofstream(folder / "data" / "bans.json")
        << R"({"bans":[{"network":"127.0.0.3/32","until_unix_seconds":null}]})";
    ASSERT_TRUE(relay.signal(SIGHUP));
    // Once read again, the new reservation needs its key and the new ban holds; the cast
    // that was live goes on.
    EXPECT_TRUE(becomes([&] {
        TestClient banned(port, 0, "127.0.0.3");
        const auto answer = banned.read(1s);
        return answer && answer->tag == "ERR" &&
               answer->text() == "This relay does not accept your address.";
    }));
    TestClient squatter(port, 0, "127.0.0.5");
    ASSERT_TRUE(squatter.send(hello_message(wire::kModeCast, "Cup Final")));
    const auto refused = squatter.read_skipping_keepalives();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->text(), "This name is reserved and needs its key.");
    TestClient caster(port, 0, "127.0.0.4");
    EXPECT_TRUE(caster.cast("Cup Final#k2"));
    EXPECT_TRUE(before.send(Recording(1).header_upload()));
    const auto still_there = before.read();  // a keep-alive: the caster is still connected
    EXPECT_TRUE(still_there && still_there->tag == "KAL");
    EXPECT_TRUE(relay.signal(SIGTERM));
    EXPECT_EQ(relay.exit_status(), 0);
    std::filesystem::remove_all(folder);
}

TEST(RelayProgram, SecondsOptionsOutOfRangeStopItBeforeItListensWithStatusTwo) {
    for (const char* option :
         {"--idle-timeout", "--resume-grace", "--keepalive", "--broadcast-delay"}) {
        for (const char* value : {"1e10", "nan", "inf", "-1"}) {
            RelayProcess relay({"--listen", "127.0.0.1:0", option, value});
            const auto listening = relay.first_line();
            EXPECT_FALSE(listening) << option << " " << value << ": " << *listening;
            if (!listening) {
                EXPECT_EQ(relay.exit_status(), 2) << option << " " << value;
            }
        }
    }
    RelayProcess fine({"--listen", "127.0.0.1:0", "--idle-timeout", "0.5"});
    EXPECT_NE(fine.port(), 0);
}

}  // namespace
}  // namespace kavro::relay::testing
