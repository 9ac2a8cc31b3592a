// Load generator for kavro-relay on loopback: one cast uploading a 16 KiB header, then 4 KiB
// blocks at a fixed rate, to N watchers that check every byte. For each N it prints the blocks
// delivered to all watchers, the delivery latency, the relay's CPU use and its memory growth;
// then the same for a redis-server of its own driven the same way (one publisher PUBLISHing
// each block to a channel, N subscribers), and the relay's figures over Redis's.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/relay/bench_caster.h"
#include "bench/relay/bench_replay.h"
#include "bench/relay/bench_watchers.h"
#include "bench/relay/redis_publisher.h"
#include "bench/relay/redis_server.h"
#include "bench/relay/relay_process.h"
#include "relay/transport/open_file_limit.h"

namespace kavro::bench {
namespace {

struct Settings {
    std::string relay_program = KAVRO_RELAY_PROGRAM;
    std::vector<std::size_t> watcher_counts{10, 100, 1000, 5000};
    double seconds = 10;
    double blocks_per_second = 20;
    std::string relay_log = "/dev/null";
    std::size_t relay_threads = 0;  // 0: the relay's own default, one per core
    std::string redis_program = "redis-server";
};

// Runs the io_context until `done` holds or `limit` passes; false on the time limit.
bool run_until(boost::asio::io_context& io, std::chrono::steady_clock::duration limit,
               const std::function<bool()>& done) {
    const auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= until) return false;
        if (io.stopped()) io.restart();  // run_for() stops the context when it runs dry
        io.run_for(std::chrono::milliseconds(20));
    }
    return true;
}

double percentile_ms(std::vector<std::uint32_t>& sorted_us, double p) {
    if (sorted_us.empty()) return 0;
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted_us.size() - 1));
    return sorted_us[index] / 1000.0;
}

// One server's figures for one load.
struct Row {
    std::size_t watchers = 0;
    std::size_t joined = 0;
    double connect_seconds = 0;
    bool all_joined = false;
    std::size_t delivered = 0;  // blocks delivered to every watcher
    std::size_t blocks = 0;
    bool all_delivered = false;
    std::size_t broken = 0;
    double p50_ms = 0, p99_ms = 0, max_ms = 0;
    std::size_t samples = 0;  // deliveries: one per watcher and block
    double cpu_seconds = 0;
    double wall_seconds = 0;
    std::uint64_t rss_before_kib = 0;
    double kib_per_watcher_joined = 0;
    double kib_per_watcher_streamed = 0;  // the stored replay not counted

    double cpu_percent() const { return wall_seconds > 0 ? 100.0 * cpu_seconds / wall_seconds : 0; }
    // CPU microseconds per MiB delivered to watchers.
    double cpu_us_per_mib() const {
        const double mib = static_cast<double>(samples * wire::kBlockSize) / (1024.0 * 1024.0);
        return mib > 0 ? cpu_seconds * 1e6 / mib : 0;
    }
};

// The server under test, seen from outside: its CPU time and resident memory.
struct Probe {
    std::function<double()> cpu_seconds;
    std::function<std::uint64_t()> rss_kib;
    double stored_kib = 0;  // replay the server keeps, not counted per watcher
};

// Connects `watchers` to the server on `port`, streams the replay's blocks from `publisher` and
// measures delivery.
Row measure(const Settings& settings, std::size_t watchers, const BenchReplay& replay,
            std::uint16_t port, BenchPublisher& publisher, WatchProtocol protocol,
            const Probe& probe) {
    Row row;
    row.watchers = watchers;
    row.blocks = replay.blocks();
    boost::asio::io_context io(1);
    BenchWatchers fleet(io, port, replay, publisher, "bench", protocol);

    // Memory before any watcher (for the relay, with the header already stored).
    run_until(io, std::chrono::milliseconds(200), [] { return false; });
    row.rss_before_kib = probe.rss_kib();
    const auto connect_start = Clock::now();
    fleet.connect(watchers, 200);
    row.all_joined = run_until(io, std::chrono::seconds(120),
                               [&] { return fleet.with_header() + fleet.broken() == watchers; });
    row.connect_seconds = std::chrono::duration<double>(Clock::now() - connect_start).count();
    run_until(io, std::chrono::milliseconds(500), [] { return false; });
    const auto rss_joined = probe.rss_kib();

    const double cpu_before = probe.cpu_seconds();
    const auto stream_start = Clock::now();
    publisher.start_blocks(settings.blocks_per_second);
    const auto stream_limit = std::chrono::duration<double>(settings.seconds + 30);
    row.all_delivered =
        run_until(io, std::chrono::duration_cast<Clock::duration>(stream_limit), [&] {
            return publisher.done() &&
                   (fleet.blocks_delivered_to_all() == row.blocks || fleet.broken() > 0);
        });
    row.wall_seconds = std::chrono::duration<double>(Clock::now() - stream_start).count();
    row.cpu_seconds = probe.cpu_seconds() - cpu_before;
    const auto rss_streamed = probe.rss_kib();

    auto latencies = fleet.latencies_us();
    std::sort(latencies.begin(), latencies.end());
    row.joined = fleet.with_header();
    row.delivered = fleet.blocks_delivered_to_all();
    row.broken = fleet.broken();
    row.p50_ms = percentile_ms(latencies, 0.50);
    row.p99_ms = percentile_ms(latencies, 0.99);
    row.max_ms = latencies.empty() ? 0.0 : latencies.back() / 1000.0;
    row.samples = latencies.size();
    const auto n = static_cast<double>(watchers);
    row.kib_per_watcher_joined =
        (static_cast<double>(rss_joined) - static_cast<double>(row.rss_before_kib)) / n;
    row.kib_per_watcher_streamed = (static_cast<double>(rss_streamed) -
                                    static_cast<double>(row.rss_before_kib) - probe.stored_kib) /
                                   n;
    return row;
}

void print(const char* server, const Row& row) {
    std::printf(
        "%-12s N=%zu: watchers joined %zu/%zu in %.1f s%s; blocks delivered to all %zu/%zu%s; "
        "broken watchers %zu; latency p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples); "
        "CPU %.1f %% of one core over %.1f s, %.0f us per MiB delivered; RSS %llu KiB before "
        "watchers, +%.2f KiB per watcher joined, +%.2f KiB per watcher after streaming\n",
        server, row.watchers, row.joined, row.watchers, row.connect_seconds,
        row.all_joined ? "" : " (timed out)", row.delivered, row.blocks,
        row.all_delivered ? "" : " (timed out)", row.broken, row.p50_ms, row.p99_ms, row.max_ms,
        row.samples, row.cpu_percent(), row.wall_seconds, row.cpu_us_per_mib(),
        static_cast<unsigned long long>(row.rss_before_kib), row.kib_per_watcher_joined,
        row.kib_per_watcher_streamed);
    std::fflush(stdout);
}

Row run_relay(const Settings& settings, std::size_t watchers, const BenchReplay& replay) {
    const std::string limit = std::to_string(watchers + 16);
    // No HTTP side: the bench measures the relay's own port alone.
    std::vector<std::string> arguments{"--listen",
                                       "127.0.0.1:0",
                                       "--max-connections",
                                       limit,
                                       "--connections-per-address",
                                       limit,
                                       "--watchers-per-address",
                                       limit,
                                       "--http",
                                       "off",
                                       "--data-dir",
                                       "off"};
    if (settings.relay_threads > 0) {
        arguments.push_back("--threads");
        arguments.push_back(std::to_string(settings.relay_threads));
    }
    RelayProcess relay(settings.relay_program, arguments, settings.relay_log);
    BenchCaster caster(relay.port(), replay, "bench");
    const Probe probe{[&] { return relay.cpu_seconds(); }, [&] { return relay.rss_kib(); },
                      static_cast<double>(replay.blocks() * wire::kBlockSize) / 1024.0};
    Row row =
        measure(settings, watchers, replay, relay.port(), caster, WatchProtocol::kKavro, probe);
    relay.stop();
    return row;
}

Row run_redis(const Settings& settings, std::size_t watchers, const BenchReplay& replay) {
    RedisServer redis(settings.redis_program, watchers + 16);
    RedisPublisher publisher(redis.port(), replay, "bench");
    const Probe probe{[&] { return redis.cpu_seconds(); }, [&] { return redis.rss_kib(); }, 0};
    Row row =
        measure(settings, watchers, replay, redis.port(), publisher, WatchProtocol::kRedis, probe);
    redis.stop();
    return row;
}

void run(const Settings& settings, std::size_t watchers) {
    const auto blocks = static_cast<std::size_t>(settings.seconds * settings.blocks_per_second);
    const BenchReplay replay(blocks);
    const Row relay = run_relay(settings, watchers, replay);
    print("kavro-relay", relay);
    if (settings.redis_program.empty()) return;
    const Row redis = run_redis(settings, watchers, replay);
    print("redis-server", redis);
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("%-12s N=%zu: p99 %.2f, CPU per delivered byte %.2f\n", "kavro/redis", watchers,
                ratio(relay.p99_ms, redis.p99_ms),
                ratio(relay.cpu_us_per_mib(), redis.cpu_us_per_mib()));
    std::fflush(stdout);
}

}  // namespace
}  // namespace kavro::bench

int main(int argc, char** argv) {
    kavro::bench::Settings settings;
    CLI::App app{"relay_bench: load generator for kavro-relay on 127.0.0.1"};
    app.add_option("--relay", settings.relay_program, "The kavro-relay program to start")
        ->capture_default_str();
    app.add_option("--watchers", settings.watcher_counts, "Watcher counts to run, one run each")
        ->delimiter(',')
        ->capture_default_str();
    app.add_option("--seconds", settings.seconds, "Seconds of blocks per run")
        ->capture_default_str();
    app.add_option("--rate", settings.blocks_per_second, "Blocks per second")
        ->capture_default_str();
    app.add_option("--relay-log", settings.relay_log, "Where the relay's log goes")
        ->capture_default_str();
    app.add_option("--relay-threads", settings.relay_threads,
                   "The relay's --threads (0: its default, one per core)")
        ->capture_default_str();
    app.add_option("--redis", settings.redis_program,
                   "The redis-server to run the same load against (empty: none)")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    const auto file_limit = kavro::relay::raise_open_file_limit();
    std::printf("open-file limit %llu; %.0f blocks per second for %.0f s per run\n",
                static_cast<unsigned long long>(file_limit), settings.blocks_per_second,
                settings.seconds);
    for (const std::size_t watchers : settings.watcher_counts) {
        try {
            kavro::bench::run(settings, watchers);
        } catch (const std::exception& e) {
            std::printf("N=%zu: failed: %s\n", watchers, e.what());
            return 1;
        }
    }
    return 0;
}
