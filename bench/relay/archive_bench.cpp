// What /archive.json costs a relay with a large catalogue, and whether /healthz waits behind
// it: fills a data folder with N recordings (a header and one block each), starts kavro-relay
// on it, and for a few seconds has C clients fetch pages of 100 without pause (walking the
// whole catalogue by next_before, over and over) while /healthz is asked on a fresh connection
// again and again. Prints how long filling took, the page and health-check latencies
// (median, p99, worst) and the pages served.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/bench_http.h"
#include "bench/relay/relay_process.h"
#include "relay/store/recording_store.h"
#include "wire/wire_format.h"

namespace kavro::bench {
namespace {

using Clock = std::chrono::steady_clock;

void fill(const std::filesystem::path& dir, std::size_t count) {
    relay::StoreOptions options;
    options.dir = dir;
    options.max_replay_bytes = 1 << 20;
    relay::RecordingStore store(std::move(options), [](const std::string&) {});
    std::vector<std::uint8_t> header(wire::kReplayHeaderSize, 0x5A);
    const auto message = relay::share(wire::make_message(wire::kTagReplayHeader, header));
    const auto block = relay::share(std::vector<std::uint8_t>(wire::kBlockSize, 0xA5));
    for (std::size_t i = 0; i < count; ++i) {
        auto kept = store.begin({"Heat " + std::to_string(i + 1), "BL1", "10.0.0.1", std::nullopt},
                                message, relay::StoredBlocks{}, [](auto, std::size_t) {});
        kept->append(block);
        kept->finish();
    }
    store.close();
}

struct Spread {
    double median_ms = 0, p99_ms = 0, worst_ms = 0;
};

Spread spread_of(std::vector<double> ms) {
    if (ms.empty()) return {};
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back()};
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace
}  // namespace kavro::bench

int main(int argc, char** argv) {
    using namespace kavro::bench;
    std::size_t recordings = 20000;
    std::size_t clients = 4;
    double seconds = 5;
    CLI::App app{"archive_bench: /archive.json pages and /healthz over a large catalogue"};
    app.add_option("--recordings", recordings, "Recordings in the catalogue")
        ->capture_default_str();
    app.add_option("--clients", clients, "Clients fetching pages without pause")
        ->capture_default_str();
    app.add_option("--seconds", seconds, "How long they fetch")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    std::random_device random;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kavro-archive-bench-" + std::to_string(random()));
    const auto filling = Clock::now();
    fill(dir, recordings);
    std::printf("%zu recordings written in %.1f s\n", recordings, ms_since(filling) / 1000);

    int status = 0;
    {
        RelayProcess relay(KAVRO_RELAY_PROGRAM,
                           {"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir",
                            dir.string(), "--keep-days", "0", "--keep-bytes", "0"},
                           "/dev/null");
        const std::uint16_t port = relay.http_port();
        std::atomic<bool> done{false};
        std::vector<std::vector<double>> page_ms(clients);
        std::vector<std::thread> readers;
        for (std::size_t c = 0; c < clients; ++c) {
            readers.emplace_back([&, c] {
                std::string target = "/archive.json";
                while (!done) {
                    const auto asked = Clock::now();
                    const auto body = http_get_body(port, target);
                    page_ms[c].push_back(ms_since(asked));
                    if (!body) break;
                    const auto page = nlohmann::json::parse(*body);
                    target = page.at("next_before").is_null()
                                 ? "/archive.json"
                                 : "/archive.json?before=" +
                                       std::to_string(page.at("next_before").get<std::uint64_t>());
                }
            });
        }
        std::vector<double> health_ms;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < until) {
            const auto asked = Clock::now();
            const auto ok = http_get_body(port, "/healthz");
            health_ms.push_back(ok ? ms_since(asked) : 1e9);
        }
        done = true;
        for (auto& reader : readers) reader.join();
        std::vector<double> pages;
        for (const auto& each : page_ms) pages.insert(pages.end(), each.begin(), each.end());
        const Spread page = spread_of(pages);
        const Spread health = spread_of(health_ms);
        std::printf(
            "%zu pages of 100 by %zu clients in %.0f s: median %.2f ms, p99 %.2f ms, "
            "worst %.2f ms\n",
            pages.size(), clients, seconds, page.median_ms, page.p99_ms, page.worst_ms);
        std::printf("/healthz meanwhile, %zu times: median %.2f ms, p99 %.2f ms, worst %.2f ms\n",
                    health_ms.size(), health.median_ms, health.p99_ms, health.worst_ms);
        const auto first = http_get_body(port, "/archive.json");
        std::printf("one page is %zu bytes\n", first ? first->size() : 0);
        status = relay.stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
