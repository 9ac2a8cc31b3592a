// Load generator for kavro-relay on loopback: one cast uploading a 16 KiB header, then 4 KiB
// blocks at a fixed rate, to N watchers that check every byte. For each N it prints the blocks
// delivered to all watchers, the delivery latency, the relay's CPU use and its memory growth,
// for the relay with its data folder off and on; then the same for a redis-server of its own
// driven the same way (one publisher PUBLISHing each block to a channel, N subscribers), and
// the ratios of the figures.
//
// Two more runs, each with the data folder off and on: catch-up (N watchers join a cast of M
// MiB that is already stored, at once; the time until every one holds all of it) and memory
// (C casts of M MiB each uploaded and stored; the relay's resident memory against the bytes
// stored).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/bench_caster.h"
#include "bench/relay/bench_http.h"
#include "bench/relay/bench_replay.h"
#include "bench/relay/bench_watchers.h"
#include "bench/relay/redis_publisher.h"
#include "bench/relay/redis_server.h"
#include "bench/relay/relay_process.h"
#include "relay/net/open_file_limit.h"

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
    std::string store = "both";         // the relay's data folder: off, on or both
    std::size_t repeat = 1;             // runs of each server per watcher count, in turn
    std::size_t catch_up_watchers = 0;  // 0: no catch-up run
    double catch_up_mib = 64;
    std::size_t memory_casts = 0;  // 0: no memory run
    double memory_mib = 48;
};

// A data folder of the bench's own, removed afterwards.
class DataFolder {
  public:
    DataFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "relay-bench-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~DataFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The relay's options for a store on (in `folder`) or off.
std::vector<std::string> store_arguments(bool store, const DataFolder* folder) {
    if (!store) return {"--data-dir", "off"};
    return {"--data-dir", folder->path().string()};
}

std::vector<bool> store_choices(const Settings& settings) {
    if (settings.store == "off") return {false};
    if (settings.store == "on") return {true};
    return {false, true};
}

const char* store_label(bool store) { return store ? "store on" : "store off"; }

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

std::vector<std::string> relay_arguments(const Settings& settings, std::size_t connections,
                                         bool store, const DataFolder* folder) {
    const std::string limit = std::to_string(connections + 16);
    std::vector<std::string> arguments{"--listen",
                                       "127.0.0.1:0",
                                       "--max-connections",
                                       limit,
                                       "--connections-per-address",
                                       limit,
                                       "--watchers-per-address",
                                       limit,
                                       "--casts-per-address",
                                       limit};
    if (settings.relay_threads > 0) {
        arguments.push_back("--threads");
        arguments.push_back(std::to_string(settings.relay_threads));
    }
    const auto data = store_arguments(store, folder);
    arguments.insert(arguments.end(), data.begin(), data.end());
    return arguments;
}

Row run_relay(const Settings& settings, std::size_t watchers, const BenchReplay& replay,
              bool store) {
    const auto folder = store ? std::make_unique<DataFolder>() : nullptr;
    auto arguments = relay_arguments(settings, watchers, store, folder.get());
    // No HTTP side: the bench measures the relay's own port alone.
    arguments.insert(arguments.end(), {"--http", "off"});
    RelayProcess relay(settings.relay_program, arguments, settings.relay_log);
    BenchCaster caster(relay.port(), replay, "bench");
    // The stored replay is counted apart from the watchers: in memory without a data folder;
    // with one, the file holds it and memory only its newest blocks.
    const double stored_kib =
        store ? 0.0 : static_cast<double>(replay.blocks() * wire::kBlockSize) / 1024.0;
    const Probe probe{[&] { return relay.cpu_seconds(); }, [&] { return relay.rss_kib(); },
                      stored_kib};
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

double ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

// The middle value (the lower of the two middle ones for an even count).
double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

// The figures of one server over the repeated runs, and their medians.
struct Runs {
    std::vector<double> p99_ms, cpu_us_per_mib, cpu_seconds;
    void add(const Row& row) {
        p99_ms.push_back(row.p99_ms);
        cpu_us_per_mib.push_back(row.cpu_us_per_mib());
        cpu_seconds.push_back(row.cpu_seconds);
    }
};

void run(const Settings& settings, std::size_t watchers) {
    const auto blocks = static_cast<std::size_t>(settings.seconds * settings.blocks_per_second);
    const BenchReplay replay(blocks);
    // Runs alternate (store off, store on, Redis, then again), so a change in the machine's
    // load falls on every server alike; the ratios are of the medians.
    const auto choices = store_choices(settings);
    std::vector<Runs> relays(choices.size());
    Runs redis;
    for (std::size_t r = 0; r < settings.repeat; ++r) {
        for (std::size_t c = 0; c < choices.size(); ++c) {
            const Row row = run_relay(settings, watchers, replay, choices[c]);
            print(choices[c] ? "relay store" : "relay memory", row);
            relays[c].add(row);
        }
        if (!settings.redis_program.empty()) {
            const Row row = run_redis(settings, watchers, replay);
            print("redis-server", row);
            redis.add(row);
        }
    }
    const char* over = settings.repeat > 1 ? " (medians)" : "";
    for (std::size_t c = 0; c < choices.size(); ++c) {
        std::printf("%-12s N=%zu, %s: p99 %.2f ms", "kavro-relay", watchers,
                    store_label(choices[c]), median(relays[c].p99_ms));
        if (!redis.p99_ms.empty()) {
            std::printf(", p99 relay/redis %.2f, CPU per delivered byte relay/redis %.2f",
                        ratio(median(relays[c].p99_ms), median(redis.p99_ms)),
                        ratio(median(relays[c].cpu_us_per_mib), median(redis.cpu_us_per_mib)));
        }
        std::printf("%s\n", over);
    }
    if (!redis.p99_ms.empty()) {
        std::printf("%-12s N=%zu: p99 %.2f ms%s\n", "redis-server", watchers, median(redis.p99_ms),
                    over);
    }
    if (choices.size() == 2) {
        std::printf("%-12s N=%zu: p99 store on/off %.2f, CPU store on/off %.2f%s\n", "store/off",
                    watchers, ratio(median(relays[1].p99_ms), median(relays[0].p99_ms)),
                    ratio(median(relays[1].cpu_seconds), median(relays[0].cpu_seconds)), over);
    }
    std::fflush(stdout);
}

// Polls `done` every 50 ms until it holds or `limit` passes.
bool wait_for(std::chrono::steady_clock::duration limit, const std::function<bool()>& done) {
    const auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Until the relay's files hold `bytes`, synced (the metrics say so only then).
bool stored(const RelayProcess& relay, double bytes) {
    return wait_for(std::chrono::minutes(5), [&] {
        const auto held = metric_value(relay.http_port(), "kavro_relay_store_bytes");
        return held && *held >= bytes;
    });
}

// Until the relay's resident memory stops falling (it hands freed memory back soon after a
// sync): two samples a second apart within 256 KiB, or 20 s.
std::uint64_t settled_rss_kib(const RelayProcess& relay) {
    std::uint64_t last = relay.rss_kib();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::uint64_t now = relay.rss_kib();
        if (now + 256 >= last) return now;
        last = now;
    }
    return last;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Catch-up: N watchers join a cast that is already stored, all at once; the time until every
// one of them holds all of it, each byte checked.
double run_catch_up(const Settings& settings, bool store) {
    const auto blocks =
        static_cast<std::size_t>(settings.catch_up_mib * 1024 * 1024 / wire::kBlockSize);
    const BenchReplay replay(blocks);
    const std::size_t watchers = settings.catch_up_watchers;
    const auto folder = store ? std::make_unique<DataFolder>() : nullptr;
    auto arguments = relay_arguments(settings, watchers + 1, store, folder.get());
    arguments.insert(arguments.end(), {"--http", "127.0.0.1:0", "--max-replay-bytes",
                                       std::to_string(replay.file().size() + (1 << 20))});
    RelayProcess relay(settings.relay_program, arguments, settings.relay_log);
    BenchCaster caster(relay.port(), replay, "catch-up");
    caster.start_blocks(1e9);  // as fast as the relay takes them
    boost::asio::io_context io(1);
    BenchWatchers probe(io, relay.port(), replay, caster, "catch-up");
    probe.connect(1, 1);
    if (!run_until(io, std::chrono::minutes(5),
                   [&] { return probe.blocks_delivered_to_all() == blocks || probe.broken(); }) ||
        probe.broken()) {
        throw std::runtime_error("the catch-up cast did not reach the relay whole");
    }
    if (store && !stored(relay, static_cast<double>(replay.file().size()))) {
        throw std::runtime_error("the relay did not store the catch-up cast");
    }
    const double cpu_before = relay.cpu_seconds();
    BenchWatchers fleet(io, relay.port(), replay, caster, "catch-up");
    const auto start = Clock::now();
    fleet.connect(watchers, watchers);
    const bool all = run_until(io, std::chrono::minutes(10), [&] {
        return fleet.blocks_delivered_to_all() == blocks || fleet.broken() > 0;
    });
    const double seconds = seconds_since(start);
    const double delivered_gib = static_cast<double>(watchers) *
                                 static_cast<double>(replay.file().size()) /
                                 (1024.0 * 1024.0 * 1024.0);
    std::printf(
        "catch-up     %s: %zu watchers join a %.0f MiB cast at once: all hold it in %.2f s%s "
        "(%.2f GiB/s delivered), broken %zu; relay CPU %.1f s; relay RSS %.1f MiB (anon %.1f, "
        "file %.1f)\n",
        store_label(store), watchers, settings.catch_up_mib, seconds, all ? "" : " (timed out)",
        delivered_gib / seconds, fleet.broken(), relay.cpu_seconds() - cpu_before,
        static_cast<double>(relay.rss_kib()) / 1024.0,
        static_cast<double>(status_kib_of(relay.pid(), "RssAnon")) / 1024.0,
        static_cast<double>(status_kib_of(relay.pid(), "RssFile")) / 1024.0);
    std::fflush(stdout);
    relay.stop();
    return all ? seconds : 0;
}

// Memory: C casts of M MiB each uploaded at once and stored; the relay's resident memory then,
// against the bytes stored.
void run_memory(const Settings& settings, bool store) {
    const auto blocks =
        static_cast<std::size_t>(settings.memory_mib * 1024 * 1024 / wire::kBlockSize);
    const BenchReplay replay(blocks);
    const auto folder = store ? std::make_unique<DataFolder>() : nullptr;
    auto arguments = relay_arguments(settings, settings.memory_casts, store, folder.get());
    arguments.insert(arguments.end(), {"--http", "127.0.0.1:0", "--max-replay-bytes",
                                       std::to_string(replay.file().size() + (1 << 20))});
    RelayProcess relay(settings.relay_program, arguments, settings.relay_log);
    const std::uint64_t before = relay.rss_kib();
    const std::uint64_t anon_before = status_kib_of(relay.pid(), "RssAnon");
    std::vector<std::unique_ptr<BenchCaster>> casters;
    for (std::size_t c = 0; c < settings.memory_casts; ++c) {
        casters.push_back(
            std::make_unique<BenchCaster>(relay.port(), replay, "memory " + std::to_string(c)));
    }
    const auto start = Clock::now();
    for (auto& caster : casters) caster->start_blocks(1e9);
    wait_for(std::chrono::minutes(10), [&] {
        for (const auto& caster : casters) {
            if (!caster->done()) return false;
        }
        return true;
    });
    const double stored_bytes =
        static_cast<double>(settings.memory_casts) * static_cast<double>(replay.file().size());
    if (store && !stored(relay, stored_bytes)) {
        throw std::runtime_error("the relay did not store the casts");
    }
    const double upload_seconds = seconds_since(start);
    const std::uint64_t held = settled_rss_kib(relay);
    const std::uint64_t anon = status_kib_of(relay.pid(), "RssAnon");
    const double grown_mib = (static_cast<double>(held) - static_cast<double>(before)) / 1024.0;
    const double stored_mib = stored_bytes / (1024.0 * 1024.0);
    std::printf(
        "memory       %s: %zu casts x %.0f MiB stored (%.0f MiB) in %.1f s: relay RSS +%.1f MiB "
        "(anon +%.1f MiB), %.3f of the bytes stored\n",
        store_label(store), settings.memory_casts, settings.memory_mib, stored_mib, upload_seconds,
        grown_mib, (static_cast<double>(anon) - static_cast<double>(anon_before)) / 1024.0,
        grown_mib / stored_mib);
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
    app.add_option("--relay-threads", settings.relay_threads,
                   "The relay's --threads (0: its default, one per core)")
        ->capture_default_str();
    app.add_option("--redis", settings.redis_program,
                   "The redis-server to run the same load against (empty: none)")
        ->capture_default_str();
    app.add_option("--store", settings.store,
                   "The relay's data folder: off, on, or both (a row for each)")
        ->capture_default_str()
        ->check(CLI::IsMember({"off", "on", "both"}));
    app.add_option("--repeat", settings.repeat,
                   "Runs of each server per watcher count, in turn; the ratios are of medians")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--catch-up", settings.catch_up_watchers,
                   "Watchers that join a stored cast at once (0: no catch-up run)")
        ->capture_default_str();
    app.add_option("--catch-up-mib", settings.catch_up_mib, "MiB of that cast")
        ->capture_default_str();
    app.add_option("--memory-casts", settings.memory_casts,
                   "Casts uploaded and stored for the memory run (0: none)")
        ->capture_default_str();
    app.add_option("--memory-mib", settings.memory_mib, "MiB of each of those casts")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    const auto file_limit = kavro::relay::raise_open_file_limit();
    std::printf("open-file limit %llu; %.0f blocks per second for %.0f s per run\n",
                static_cast<unsigned long long>(file_limit), settings.blocks_per_second,
                settings.seconds);
    try {
        for (const std::size_t watchers : settings.watcher_counts) {
            if (watchers > 0) kavro::bench::run(settings, watchers);  // 0: none
        }
        if (settings.catch_up_watchers > 0) {
            std::vector<double> seconds;
            for (const bool store : kavro::bench::store_choices(settings)) {
                seconds.push_back(kavro::bench::run_catch_up(settings, store));
            }
            if (seconds.size() == 2 && seconds[1] > 0) {
                std::printf("catch-up     store on is %.2f x as fast as store off\n",
                            seconds[0] / seconds[1]);
            }
        }
        if (settings.memory_casts > 0) {
            for (const bool store : kavro::bench::store_choices(settings)) {
                kavro::bench::run_memory(settings, store);
            }
        }
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
