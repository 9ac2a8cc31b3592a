// Load generator for kavro-relay on loopback: one cast uploading a 16 KiB header, then 4 KiB
// blocks at a fixed rate, to N watchers that check every byte. For each N it prints the blocks
// delivered to all watchers, the delivery latency, the relay's CPU use and its memory growth.
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
#include "bench/relay/relay_process.h"
#include "relay/open_file_limit.h"

namespace kavro::bench {
namespace {

struct Settings {
    std::string relay_program = KAVRO_RELAY_PROGRAM;
    std::vector<std::size_t> watcher_counts{10, 100, 1000, 5000};
    double seconds = 10;
    double blocks_per_second = 20;
    std::string relay_log = "/dev/null";
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

void run(const Settings& settings, std::size_t watchers) {
    const auto blocks = static_cast<std::size_t>(settings.seconds * settings.blocks_per_second);
    const BenchReplay replay(blocks);
    const std::string limit = std::to_string(watchers + 16);
    RelayProcess relay(
        settings.relay_program,
        {"--listen", "127.0.0.1:0", "--http", "off", "--max-connections", limit,
         "--connections-per-address", limit},
        settings.relay_log);
    boost::asio::io_context io(1);
    BenchCaster caster(relay.port(), replay, "bench");
    BenchWatchers fleet(io, relay.port(), replay, caster, "bench");

    // Memory before any watcher, with the header already stored.
    run_until(io, std::chrono::milliseconds(200), [] { return false; });
    const auto rss_before = relay.rss_kib();
    const auto connect_start = Clock::now();
    fleet.connect(watchers, 200);
    const bool all_joined = run_until(io, std::chrono::seconds(120), [&] {
        return fleet.with_header() + fleet.broken() == watchers;
    });
    const double connect_seconds =
        std::chrono::duration<double>(Clock::now() - connect_start).count();
    run_until(io, std::chrono::milliseconds(500), [] { return false; });
    const auto rss_joined = relay.rss_kib();

    const double cpu_before = relay.cpu_seconds();
    const auto stream_start = Clock::now();
    caster.start_blocks(settings.blocks_per_second);
    const auto stream_limit = std::chrono::duration<double>(settings.seconds + 30);
    const bool all_delivered =
        run_until(io, std::chrono::duration_cast<Clock::duration>(stream_limit), [&] {
            return caster.done() &&
                   (fleet.blocks_delivered_to_all() == blocks || fleet.broken() > 0);
        });
    const double wall = std::chrono::duration<double>(Clock::now() - stream_start).count();
    const double cpu = relay.cpu_seconds() - cpu_before;
    const auto rss_streamed = relay.rss_kib();

    auto latencies = fleet.latencies_us();
    std::sort(latencies.begin(), latencies.end());
    const double stored_kib = static_cast<double>(blocks * wire::kBlockSize) / 1024.0;
    std::printf(
        "N=%zu: watchers joined %zu/%zu in %.1f s%s; blocks delivered to all %zu/%zu%s; "
        "broken watchers %zu; latency p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples); "
        "relay CPU %.1f %% of one core over %.1f s; relay RSS %llu KiB before watchers, "
        "+%.2f KiB per watcher joined, +%.2f KiB per watcher after streaming "
        "(%.0f KiB of stored replay not counted)\n",
        watchers, fleet.with_header(), watchers, connect_seconds, all_joined ? "" : " (timed out)",
        fleet.blocks_delivered_to_all(), blocks, all_delivered ? "" : " (timed out)",
        fleet.broken(), percentile_ms(latencies, 0.50), percentile_ms(latencies, 0.99),
        latencies.empty() ? 0.0 : latencies.back() / 1000.0, latencies.size(), 100.0 * cpu / wall,
        wall, static_cast<unsigned long long>(rss_before),
        (static_cast<double>(rss_joined) - static_cast<double>(rss_before)) /
            static_cast<double>(watchers),
        (static_cast<double>(rss_streamed) - static_cast<double>(rss_before) - stored_kib) /
            static_cast<double>(watchers),
        stored_kib);
    std::fflush(stdout);
    relay.stop();
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
