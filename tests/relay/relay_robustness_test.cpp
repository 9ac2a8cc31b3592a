// The kavro-relay program against the faults an open relay meets, each the real thing: a log
// pipe nobody reads, SIGKILL in a cast's first second, SIGINT with watchers that read nothing,
// a deleted lock file, a damaged bans file, an admin token file others can read, and option
// values clients cannot live with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "relay/base/relay_log.h"
#include "relay/net/socket_buffers.h"
#include "relay/net/socket_keepalive.h"
#include "polling.h"
#include "temp_folder.h"
#include "tests/relay/http_test_client.h"
#include "tests/relay/relay_process.h"
#include "tests/relay/test_client.h"
#include "wire/wire_format.h"

namespace kavro::relay::testing {
namespace {

using kavro::test::read_file;
using kavro::test::TempFolder;
using kavro::test::wait_until;

std::string text_of(const std::filesystem::path& path) {
    const Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

std::optional<nlohmann::json> fetch_json(std::uint16_t http_port, std::string_view target) {
    const auto answer = http_get(http_port, target);
    if (!answer || answer->result_int() != 200) return std::nullopt;
    auto document = nlohmann::json::parse(answer->body(), nullptr, false);
    if (document.is_discarded()) return std::nullopt;
    return document;
}

bool healthy(std::uint16_t http_port) {
    const auto answer = http_get(http_port, "/healthz");
    return answer && answer->result_int() == 200;
}

std::vector<std::string> in_folder(const std::filesystem::path& dir) {
    return {"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir", dir.string()};
}

TEST(RelayRobustness, AnUnreadLogPipeFreezesNothingWhileThreeThousandConnectionsComeAndGo) {
    RelayProcess relay({"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0"}, UnreadLogPipe{});
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(http_port, 0);
    const Recording recording(24);
    TestClient caster(port), watcher(port);
    ASSERT_TRUE(caster.cast("busy log"));
    ASSERT_TRUE(watcher.watch("busy log"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ReplayReader reader;
    std::size_t blocks = 0;
    // Each connection logs its acceptance and its closing: far more than the pipe holds.
    for (int i = 0; i < 3000; ++i) {
        TestClient passer_by(port);
        ASSERT_TRUE(passer_by.send(hello_message(wire::kModeWatch)));
        ASSERT_TRUE(passer_by.read_skipping_keepalives()) << "connection " << i;
        if (i % 500 == 499) {
            // Checked while the flood goes on, not once at the end.
            ASSERT_TRUE(upload(caster, recording, blocks, blocks + 1));
            ++blocks;
            ASSERT_TRUE(reader.read_until(watcher, file_size(blocks))) << "after " << i + 1;
            ASSERT_TRUE(healthy(http_port)) << "after " << i + 1;
        }
    }
    // A pipe holds 64 KiB, filled a page at a time: the relay's writer is stuck on it.
    EXPECT_GE(relay.unread_log_bytes(), 48u * 1024) << "the log pipe never filled";
    ASSERT_TRUE(upload(caster, recording, blocks, blocks + 20));
    blocks += 20;
    ASSERT_TRUE(reader.read_until(watcher, file_size(blocks)));
    EXPECT_TRUE(reader.file() == recording.file(blocks));
    EXPECT_TRUE(healthy(http_port));
    // Stopping does not wait on the log either.
    ASSERT_TRUE(relay.signal(SIGTERM));
    ASSERT_TRUE(relay.ends_within(6s));
    EXPECT_EQ(relay.exit_status(), 0);
}

TEST(RelayRobustness, ACastKilledAThirdOfASecondAfterItStartedIsListedAfterTheRestartAndGoesOn) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TempFolder folder;
        const auto arguments = in_folder(folder.path() / "data");
        const Recording recording(40 + static_cast<std::uint32_t>(run));
        {
            RelayProcess relay(arguments);
            TestClient caster(relay.port());
            ASSERT_TRUE(caster.cast("early#key"));
            ASSERT_TRUE(caster.send(recording.header_upload()));
            ASSERT_TRUE(upload(caster, recording, 0, 3));
            // The fault's moment: 0.3 s after the cast started, well before the first sync.
            std::this_thread::sleep_for(300ms);
            EXPECT_FALSE(relay.end_with(SIGKILL));
        }
        RelayProcess relay(arguments);
        const std::uint16_t port = relay.port();
        const std::uint16_t http_port = relay.http_port();
        ASSERT_NE(port, 0);
        const auto casts = fetch_json(http_port, "/casts.json");
        ASSERT_TRUE(casts);
        ASSERT_EQ(casts->at("casts").size(), 1u) << casts->dump();
        EXPECT_EQ(casts->at("casts")[0].at("name"), "early");
        // The caster comes back and uploads from the header, as a client does: the same
        // recording goes on; no second one beside a "finished" prefix.
        TestClient caster(port);
        ASSERT_TRUE(caster.cast("early#key"));
        ASSERT_TRUE(caster.send(recording.header_upload()));
        ASSERT_TRUE(upload(caster, recording, 0, 10));
        std::optional<nlohmann::json> archive;
        EXPECT_TRUE(becomes([&] {
            archive = fetch_json(http_port, "/archive.json");
            return archive && archive->at("recordings").size() == 1 &&
                   archive->at("recordings")[0].at("bytes") == file_size(10);
        })) << (archive ? archive->dump() : "no archive");
        ASSERT_TRUE(archive);
        for (const auto& entry : archive->at("recordings")) {
            EXPECT_EQ(entry.at("state"), "live") << archive->dump();
            EXPECT_EQ(entry.at("id"), 1) << archive->dump();
        }
    }
}

TEST(RelayRobustness, SigintWithFourStalledWatchersEndsWithinSixSecondsAndEveryBlockIsOnDisk) {
    TempFolder folder;
    const auto dir = folder.path() / "data";
    RelayProcess relay(in_folder(dir));
    const std::uint16_t port = relay.port();
    const Recording recording(77);
    TestClient caster(port), reading(port);
    ASSERT_TRUE(caster.cast("stalled"));
    std::vector<std::unique_ptr<TestClient>> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(std::make_unique<TestClient>(port, 4096));
        ASSERT_TRUE(stalled.back()->watch("stalled"));
    }
    ASSERT_TRUE(reading.watch("stalled"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    // Far more than the sockets to the stalled watchers hold.
    constexpr std::size_t kBlocks = 1500;
    ASSERT_TRUE(upload(caster, recording, 0, kBlocks));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(reading, file_size(kBlocks)));  // every block received
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.signal(SIGINT));
    ASSERT_TRUE(relay.ends_within(6s)) << "the relay did not stop within 6 s";
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_EQ(relay.exit_status(), 0);
    std::cout << "stopped in " << took << " s\n";
    EXPECT_TRUE(read_file(dir / "recordings" / "1.mpr") == recording.file(kBlocks))
        << "the recording on disk does not hold every block received";
}

TEST(RelayRobustness, SigintWithFourStalledWatchersAndNoDataFolderEndsWithinSixSeconds) {
    // Without a data folder the casts end at a stop and each watcher is owed the rest of its
    // stream: one that takes nothing must not hold the exit.
    RelayProcess relay({"--listen", "127.0.0.1:0"});
    const std::uint16_t port = relay.port();
    const Recording recording(78);
    TestClient caster(port), reading(port);
    ASSERT_TRUE(caster.cast("stalled"));
    std::vector<std::unique_ptr<TestClient>> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(std::make_unique<TestClient>(port, 4096));
        ASSERT_TRUE(stalled.back()->watch("stalled"));
    }
    ASSERT_TRUE(reading.watch("stalled"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(upload(caster, recording, 0, 1500));
    ReplayReader reader;
    ASSERT_TRUE(reader.read_until(reading, file_size(1500)));
    ASSERT_TRUE(relay.signal(SIGINT));
    ASSERT_TRUE(relay.ends_within(6s)) << "the relay did not stop within 6 s";
    EXPECT_EQ(relay.exit_status(), 0);
}

TEST(RelayRobustness, DeletingTheLockFileLetsNoSecondRelayIntoTheFolder) {
    TempFolder folder;
    const auto dir = folder.path() / "data";
    RelayProcess first(in_folder(dir));
    ASSERT_NE(first.port(), 0);
    ASSERT_TRUE(std::filesystem::remove(dir / "kavro-relay.lock"));  // "a stale pidfile"
    const auto log = folder.path() / "second.log";
    RelayProcess second(in_folder(dir), log.string());
    EXPECT_FALSE(second.first_line());
    EXPECT_EQ(second.exit_status(), 2);
    EXPECT_NE(text_of(log).find("is in use by another kavro-relay"), std::string::npos)
        << text_of(log);
    EXPECT_EQ(first.end_with(SIGTERM), 0);
    // Once the first is gone, the folder is free again.
    RelayProcess third(in_folder(dir));
    EXPECT_NE(third.port(), 0);
}

TEST(RelayRobustness, AnEmptyOrDamagedBansFileIsSetAsideAndTheRelayStarts) {
    for (const std::string& content : {std::string(), std::string("{\"bans\":[{\"netw")}) {
        TempFolder folder;
        const auto dir = folder.path() / "data";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "bans.json") << content;
        const auto log = folder.path() / "relay.log";
        RelayProcess relay(in_folder(dir), log.string());
        const std::uint16_t port = relay.port();
        ASSERT_NE(port, 0) << text_of(log);
        EXPECT_EQ(text_of(dir / "bans.json.damaged"), content);
        // The log has a thread of its own: the line may follow the relay's first lines a little.
        const std::string kept = "kept as " + (dir / "bans.json.damaged").string();
        EXPECT_TRUE(wait_until(
            [&] { return text_of(log).find(kept) != std::string::npos; },
            std::chrono::seconds(10), std::chrono::milliseconds(10)))
            << text_of(log);
        // And the relay serves.
        TestClient client(port);
        EXPECT_TRUE(client.send(hello_message(wire::kModeWatch)));
        EXPECT_TRUE(client.read_skipping_keepalives());
        EXPECT_EQ(relay.end_with(SIGTERM), 0);
    }
}

TEST(RelayRobustness, AnAdminTokenFileOthersCanReadOrTooShortIsRefusedAndSighupReadsItAgain) {
    TempFolder folder;
    const auto token = folder.path() / "token";
    const auto write_token = [&](const std::string& text, mode_t mode) {
        std::ofstream(token) << text << "\n";
        ::chmod(token.c_str(), mode);
    };
    const auto started = [&](const std::string& log) {
        return std::make_unique<RelayProcess>(
            std::vector<std::string>{"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0",
                                     "--admin-token-file", token.string()},
            log);
    };
    const auto log = (folder.path() / "relay.log").string();
    write_token("0123456789abcdef0123", 0644);
    auto readable = started(log);
    EXPECT_FALSE(readable->first_line());
    EXPECT_EQ(readable->exit_status(), 2);
    write_token("short", 0600);
    auto short_one = started(log);
    EXPECT_FALSE(short_one->first_line());
    EXPECT_EQ(short_one->exit_status(), 2);
    const std::string said = text_of(log);
    EXPECT_NE(said.find("other users"), std::string::npos) << said;
    EXPECT_NE(said.find("at least 16"), std::string::npos) << said;

    write_token("first-token-0123456789", 0600);
    auto relay = started(log);
    ASSERT_NE(relay->port(), 0);
    // The admin API listens on its own port, never the public HTTP one; the relay says where
    // after its HTTP side.
    ASSERT_NE(relay->http_port(), 0);
    const std::uint16_t admin_port = relay->admin_port();
    ASSERT_NE(admin_port, 0);
    const auto status_with = [&](const std::string& bearer) {
        HttpTestClient admin(admin_port);
        admin.set_bearer(bearer);
        const auto answer = admin.get("/admin/connections");
        return answer ? answer->result_int() : 0u;
    };
    EXPECT_EQ(status_with("first-token-0123456789"), 200u);
    write_token("second-token-0123456789", 0600);
    ASSERT_TRUE(relay->signal(SIGHUP));
    EXPECT_TRUE(becomes([&] { return status_with("second-token-0123456789") == 200u; }));
    EXPECT_EQ(status_with("first-token-0123456789"), 401u);
    // A file made unusable keeps the token in force.
    write_token("second-token-0123456789", 0640);
    ASSERT_TRUE(relay->signal(SIGHUP));
    EXPECT_TRUE(becomes(
        [&] { return text_of(log).find("admin token not read again") != std::string::npos; }));
    EXPECT_EQ(status_with("second-token-0123456789"), 200u);
    EXPECT_EQ(relay->end_with(SIGTERM), 0);
}

TEST(RelayRobustness, AKeepaliveOfFortySecondsOrMoreIsRefusedWithStatusTwo) {
    for (const char* value : {"40", "60", "45.5"}) {
        RelayProcess relay({"--listen", "127.0.0.1:0", "--keepalive", value});
        EXPECT_FALSE(relay.first_line()) << value;
        EXPECT_EQ(relay.exit_status(), 2) << value;
    }
    RelayProcess fine({"--listen", "127.0.0.1:0", "--keepalive", "39.5"});
    EXPECT_NE(fine.port(), 0);
}

TEST(RelayRobustness, StartUpErrorsArePlainSentencesWithoutSourceLocations) {
    TempFolder folder;
    RelayProcess first({"--listen", "127.0.0.1:0"});
    const std::uint16_t port = first.port();
    ASSERT_NE(port, 0);
    const auto log = folder.path() / "second.log";
    RelayProcess second({"--listen", "127.0.0.1:" + std::to_string(port)}, log.string());
    EXPECT_FALSE(second.first_line());
    EXPECT_EQ(second.exit_status(), 1);
    const std::string said = text_of(log);
    EXPECT_NE(said.find("kavro-relay cannot start: cannot listen on 127.0.0.1:" +
                        std::to_string(port) + ": Address already in use"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find(".hpp"), std::string::npos) << said;
    EXPECT_EQ(said.find("[system:"), std::string::npos) << said;
}

TEST(RelayRobustness, AcceptFailuresOutOfDescriptorsAreLoggedAtMostOnceASecond) {
    TempFolder folder;
    const auto log = folder.path() / "relay.log";
    RelayProcess relay({"--listen", "127.0.0.1:0"}, log.string());
    const std::uint16_t port = relay.port();
    ASSERT_NE(port, 0);
    // Few descriptors left to the running relay: the connections past them cannot be accepted.
    const std::string limit =
        "prlimit --pid " + std::to_string(relay.pid()) + " --nofile=24:24 >/dev/null 2>&1";
    ASSERT_EQ(std::system(limit.c_str()), 0);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 40; ++i) clients.push_back(std::make_unique<TestClient>(port));
    const auto count = [&] {
        const std::string text = text_of(log);
        std::size_t lines = 0;
        for (auto at = text.find("accepting a connection failed"); at != std::string::npos;
             at = text.find("accepting a connection failed", at + 1)) {
            ++lines;
        }
        return lines;
    };
    ASSERT_TRUE(becomes([&] { return count() >= 1; }));
    const auto first_seen = std::chrono::steady_clock::now();
    // Over three seconds the relay retries ten times a second; at most one line a second.
    EXPECT_FALSE(becomes([&] { return count() > 5; }, 3s)) << text_of(log);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - first_seen).count();
    EXPECT_LE(static_cast<double>(count()), seconds + 2) << text_of(log);
    EXPECT_NE(text_of(log).find("times since the last such line"), std::string::npos);
    clients.clear();
}

TEST(RelayRobustness, AClientSocketToleratesAMinuteOfUnacknowledgedDataWithItsSendBufferCapped) {
    namespace ip = boost::asio::ip;
    boost::asio::io_context io;
    ip::tcp::acceptor acceptor(io, ip::tcp::endpoint(ip::make_address("127.0.0.1"), 0));
    ip::tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    ip::tcp::socket accepted = acceptor.accept();
    // What the relay does to every client socket it accepts.
    probe_dead_paths(accepted);
    limit_client_send_buffer(accepted);
    int value = 0;
    socklen_t size = sizeof value;
    ASSERT_EQ(::getsockopt(accepted.native_handle(), IPPROTO_TCP, TCP_USER_TIMEOUT, &value, &size),
              0);
    // A watcher over a 250 ms path survives a 20 s outage with TCP's back-off.
    EXPECT_GE(value, 60'000);
    size = sizeof value;
    ASSERT_EQ(::getsockopt(accepted.native_handle(), SOL_SOCKET, SO_SNDBUF, &value, &size), 0);
    EXPECT_LE(value, 2 * kClientSendBufferBytes) << "the send buffer is no longer capped";
    size = sizeof value;
    ASSERT_EQ(::getsockopt(accepted.native_handle(), SOL_SOCKET, SO_KEEPALIVE, &value, &size), 0);
    EXPECT_EQ(value, 1);
}

// The thread of process `pid` named `name`, or 0.
pid_t thread_named(pid_t pid, const std::string& name) {
    const auto tasks = std::filesystem::path("/proc") / std::to_string(pid) / "task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        if (text_of(task.path() / "comm") == name + "\n") {
            return static_cast<pid_t>(std::stol(task.path().filename().string()));
        }
    }
    return 0;
}

TEST(RelayRobustness, ADiskThatStopsMakesTheRelayStopReadingItsCasterInsteadOfGrowing) {
    TempFolder folder;
    const auto dir = folder.path() / "data";
    RelayProcess relay(in_folder(dir));
    const std::uint16_t port = relay.port();
    const std::uint16_t http_port = relay.http_port();
    ASSERT_NE(http_port, 0);
    const Recording recording(90);
    TestClient caster(port);
    ASSERT_TRUE(caster.cast("fast"));
    ASSERT_TRUE(caster.send(recording.header_upload()));
    ASSERT_TRUE(upload(caster, recording, 0, 1));
    ASSERT_TRUE(becomes([&] { return std::filesystem::exists(dir / "recordings" / "1.mpr"); }));
    // The disk's thread stops where it is (a disk that hangs): the thread alone, by ptrace.
    const pid_t disk = thread_named(relay.pid(), "kavro-disk");
    ASSERT_NE(disk, 0);
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, disk, nullptr, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, disk, nullptr, nullptr), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(disk, &status, __WALL), disk);
    const std::size_t before = relay.memory_field("VmRSS");

    // 62.5 MiB, faster than the stopped disk takes it.
    constexpr std::size_t kBlocks = 16'000;
    std::atomic<bool> uploaded{false};
    std::thread uploader([&] { uploaded = upload(caster, recording, 1, kBlocks); });
    std::size_t most = 0;
    const bool finished = becomes(
        [&] {
            const std::size_t now = relay.memory_field("VmRSS");
            most = std::max(most, now > before ? now - before : std::size_t{0});
            return uploaded.load();
        },
        5s);
    EXPECT_FALSE(finished) << "the relay took the whole upload while its disk stood still";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Under a sanitizer the relay's allocator keeps what is freed and pads what it gives, so its
    // resident memory is no measure; the upload that did not finish above still shows the hold.
    EXPECT_LT(most, std::size_t{48} << 20) << "the relay grew instead of holding its caster back";
#endif
    EXPECT_TRUE(healthy(http_port)) << "a stopped disk froze the HTTP side";
    std::cout << "grew by " << (most >> 20) << " MiB while the disk stood still\n";

    // The disk moves again: the caster is read again and nothing is lost.
    ASSERT_EQ(::ptrace(PTRACE_DETACH, disk, nullptr, nullptr), 0);
    uploader.join();
    ASSERT_TRUE(uploaded.load());
    ASSERT_TRUE(becomes([&] {
        const auto archive = fetch_json(http_port, "/archive.json");
        return archive && archive->at("recordings").size() == 1 &&
               archive->at("recordings")[0].at("bytes") == file_size(kBlocks);
    }));
    ASSERT_TRUE(relay.signal(SIGTERM));
    ASSERT_TRUE(relay.ends_within(6s));
    EXPECT_TRUE(read_file(dir / "recordings" / "1.mpr") == recording.file(kBlocks));
}

TEST(RelayRobustness, ALogNobodyReadsDropsAndCountsLinesAndOneLineSaysHowMany) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    constexpr std::size_t kLines = 20'000;
    std::uint64_t dropped = 0;
    {
        AsyncLog log(ends[1], 100);
        const auto started = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < kLines; ++i) log.write("line " + std::to_string(i));
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, 2s) << "writing lines waited on a log nobody reads";
        dropped = log.dropped();
        EXPECT_GT(dropped, 0u) << "the pipe and a queue of 100 lines held 20,000 lines";
        // Now the log is read: what was queued comes out, and after each run of dropped lines
        // one line that counts them.
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        std::string text;
        const std::string notice = " log line(s) were dropped";
        std::size_t lines = 0, notices = 0;
        std::uint64_t counted = 0;
        EXPECT_TRUE(becomes([&] {
            char buffer[65536];
            for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(n));
            }
            lines = notices = counted = 0;
            std::size_t at = 0;
            for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
                ++lines;
                const std::string line = text.substr(at, end - at);
                if (line.find(notice) != std::string::npos) {
                    ++notices;
                    counted += std::stoull(line);
                }
            }
            return counted == dropped;
        })) << "the lines that say how many were dropped count "
            << counted << " of " << dropped;
        EXPECT_GE(notices, 1u);
        EXPECT_EQ(lines - notices + dropped, kLines) << "lines were lost without being counted";
        EXPECT_NE(text.find("line 0\n"), std::string::npos);
    }
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace
}  // namespace kavro::relay::testing
