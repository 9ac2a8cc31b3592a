// An attack on kavro-relay while a cast is watched: from one address, a caster floods its cast
// with differing headers (15,000 by default, connecting again each time the relay closes it),
// while guessers from another address try keys for a keyed cast on many connections at once.
// Meanwhile one cast from a third address streams blocks at a fixed rate to watchers that check
// every byte. Prints the watchers' delivery latency, the relay's memory growth, the recordings
// the flood made, and how many guesses the relay looked at. The relay runs with its defaults
// (data folder on, in a folder of the bench's own). Run by hand.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/bench_caster.h"
#include "bench/relay/bench_http.h"
#include "bench/relay/bench_replay.h"
#include "bench/relay/bench_watchers.h"
#include "bench/relay/relay_process.h"
#include "wire/wire_format.h"

namespace kavro::bench {
namespace {

using boost::asio::ip::tcp;

struct Settings {
    std::string relay_program = KAVRO_RELAY_PROGRAM;
    std::size_t headers = 15000;
    std::size_t guessers = 16;
    std::size_t watchers = 10;
    double seconds = 20;
    double blocks_per_second = 20;
    std::string relay_log = "/dev/null";
};

std::vector<std::uint8_t> hello(std::string_view name) {
    std::vector<std::uint8_t> m(wire::kHelloSize, 0);
    std::copy(wire::kTagHello.begin(), wire::kTagHello.end(), m.begin());
    wire::put_u16le(m, wire::kHelloLengthOffset, wire::kHelloLengthValue);
    m[wire::kHelloModeOffset] = wire::kModeCast;
    wire::put_text_field(m, wire::kHelloVersionOffset, wire::kVersionWidth, wire::kClientVersion);
    wire::put_text_field(m, wire::kHelloNameOffset, wire::kNameWidth, name);
    return m;
}

// A blocking connection from `source` (another 127.x.y.z stands for another client).
tcp::socket connect_from(boost::asio::io_context& io, const char* source, std::uint16_t port) {
    tcp::socket socket(io);
    socket.open(tcp::v4());
    socket.bind({boost::asio::ip::make_address(source), 0});
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

// The relay's first answer to a hello: "ACK0OK", "ACK0NO", an ERR's text, or "" when none.
std::string answer_to_hello(tcp::socket& socket) {
    boost::system::error_code error;
    std::array<std::uint8_t, wire::kHeadSize> head{};
    boost::asio::read(socket, boost::asio::buffer(head), error);
    if (error) return "";
    const std::string tag(head.begin(), head.begin() + 3);
    if (tag == "ACK") return std::string(head.begin(), head.end());
    std::vector<std::uint8_t> payload(wire::get_u16le(head, 4));
    boost::asio::read(socket, boost::asio::buffer(payload), error);
    if (tag == "KAL") return answer_to_hello(socket);
    return error || payload.empty() ? "" : std::string(payload.begin(), payload.end() - 1);
}

struct FloodResult {
    std::size_t sent = 0;
    std::size_t connections = 0;
};

// One caster at 127.0.0.2 sends `headers` differing headers to its cast "flood", connecting
// again whenever the relay closes it.
FloodResult flood(std::uint16_t port, std::size_t headers, const std::atomic<bool>& stop) {
    FloodResult result;
    boost::asio::io_context io;
    std::vector<std::uint8_t> upload(wire::kHeaderUploadSize, 0);
    std::copy(wire::kTagHeaderUpload.begin(), wire::kTagHeaderUpload.end(), upload.begin());
    for (std::size_t i = wire::kUploadDataOffset; i < upload.size(); ++i) {
        upload[i] = static_cast<std::uint8_t>(i * 7);
    }
    while (result.sent < headers && !stop) {
        boost::system::error_code error;
        tcp::socket socket = connect_from(io, "127.0.0.2", port);
        ++result.connections;
        boost::asio::write(socket, boost::asio::buffer(hello("flood")), error);
        if (error || answer_to_hello(socket) != "ACK0OK") {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        while (result.sent < headers && !stop) {
            // Each header differs from the last in its first eight bytes.
            const std::uint64_t n = result.sent + 1;
            std::memcpy(upload.data() + wire::kUploadDataOffset, &n, sizeof n);
            // It never reads: it writes until the relay's end of the connection is gone.
            boost::asio::write(socket, boost::asio::buffer(upload), error);
            if (error) break;
            ++result.sent;
        }
    }
    return result;
}

struct GuessResult {
    std::atomic<std::size_t> attempts{0}, looked_at{0}, paused{0}, other{0};
};

// Guessers at 127.0.0.3 try keys for the keyed cast "victim", each on a connection of its own.
void guess(std::uint16_t port, std::size_t thread, GuessResult& result,
           const std::atomic<bool>& stop) {
    boost::asio::io_context io;
    for (std::size_t n = 0; !stop; ++n) {
        boost::system::error_code error;
        tcp::socket socket = connect_from(io, "127.0.0.3", port);
        boost::asio::write(socket,
                           boost::asio::buffer(
                               hello("victim#" + std::to_string(thread) + "g" + std::to_string(n))),
                           error);
        const std::string text = error ? "" : answer_to_hello(socket);
        ++result.attempts;
        if (text == "Wrong key for this cast.") {
            ++result.looked_at;
        } else if (text.rfind("Too many wrong keys", 0) == 0) {
            ++result.paused;
        } else {
            ++result.other;
        }
    }
}

bool run_until(boost::asio::io_context& io, Clock::duration limit,
               const std::function<bool()>& done) {
    const auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= until) return false;
        if (io.stopped()) io.restart();
        io.run_for(std::chrono::milliseconds(20));
    }
    return true;
}

int run(const Settings& settings) {
    std::string pattern = (std::filesystem::temp_directory_path() / "abuse-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const std::filesystem::path folder = pattern;
    int status = 0;
    {
        RelayProcess relay(
            settings.relay_program,
            {"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir", folder.string()},
            settings.relay_log);
        const std::uint16_t port = relay.port();

        // The keyed cast the guessers try, from an address of its own.
        boost::asio::io_context owner_io;
        tcp::socket owner = connect_from(owner_io, "127.0.0.4", port);
        boost::asio::write(owner, boost::asio::buffer(hello("victim#x7Qk2mP9vLr4")));
        if (answer_to_hello(owner) != "ACK0OK") throw std::runtime_error("victim refused");

        const auto blocks = static_cast<std::size_t>(settings.seconds * settings.blocks_per_second);
        const BenchReplay replay(blocks);
        BenchCaster caster(port, replay, "watched");
        boost::asio::io_context io(1);
        BenchWatchers fleet(io, port, replay, caster, "watched");
        fleet.connect(settings.watchers, settings.watchers);
        run_until(io, std::chrono::seconds(30),
                  [&] { return fleet.with_header() + fleet.broken() == settings.watchers; });
        run_until(io, std::chrono::milliseconds(300), [] { return false; });
        const std::uint64_t rss_before = relay.rss_kib();
        std::uint64_t rss_most = rss_before;

        std::atomic<bool> stop{false};
        FloodResult flooded;
        std::thread flooder([&] { flooded = flood(port, settings.headers, stop); });
        GuessResult guessed;
        std::vector<std::thread> guessers;
        for (std::size_t g = 0; g < settings.guessers; ++g) {
            guessers.emplace_back([&, g] { guess(port, g, guessed, stop); });
        }
        const auto start = Clock::now();
        caster.start_blocks(settings.blocks_per_second);
        const bool delivered =
            run_until(io,
                      std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(settings.seconds + 30)),
                      [&] {
                          rss_most = std::max(rss_most, relay.rss_kib());
                          return caster.done() &&
                                 (fleet.blocks_delivered_to_all() == blocks || fleet.broken() > 0);
                      });
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        stop = true;
        flooder.join();
        for (auto& thread : guessers) thread.join();
        const std::uint64_t rss_after = relay.rss_kib();

        auto latencies = fleet.latencies_us();
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](double p) {
            return latencies.empty()
                       ? 0.0
                       : latencies[static_cast<std::size_t>(p * (latencies.size() - 1))] / 1000.0;
        };
        const auto recordings = metric_value(relay.http_port(), "kavro_relay_store_recordings");
        const auto refused = metric_value(
            relay.http_port(), "kavro_relay_refusals_total{reason=\"recordings_per_cast\"}");
        std::printf(
            "watchers %zu of cast \"watched\": blocks delivered to all %zu/%zu%s in %.1f s, broken "
            "%zu; latency p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples)\n",
            settings.watchers, fleet.blocks_delivered_to_all(), blocks,
            delivered ? "" : " (timed out)", wall, fleet.broken(), at(0.50), at(0.99),
            latencies.empty() ? 0.0 : latencies.back() / 1000.0, latencies.size());
        std::printf(
            "flood: %zu differing headers sent over %zu connections, %.0f of them ended "
            "by \"Too many new recordings\"; recordings in the catalogue %.0f "
            "(the watched cast's included)\n",
            flooded.sent, flooded.connections, refused.value_or(-1), recordings.value_or(-1));
        std::printf(
            "guessing: %zu keys tried on %zu connections at once, %zu looked at, %zu "
            "refused in a pause, %zu other answers\n",
            guessed.attempts.load(), settings.guessers, guessed.looked_at.load(),
            guessed.paused.load(), guessed.other.load());
        std::printf("relay RSS %llu KiB before, %llu KiB at most (+%.1f MiB), %llu KiB after\n",
                    static_cast<unsigned long long>(rss_before),
                    static_cast<unsigned long long>(rss_most),
                    static_cast<double>(rss_most - rss_before) / 1024.0,
                    static_cast<unsigned long long>(rss_after));
        status = relay.stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kavro::bench

int main(int argc, char** argv) {
    kavro::bench::Settings settings;
    CLI::App app{
        "abuse_bench: a header flood and key guessing against kavro-relay while a cast "
        "is watched"};
    app.add_option("--relay", settings.relay_program, "kavro-relay program")->capture_default_str();
    app.add_option("--headers", settings.headers, "Differing headers the flooder sends")
        ->capture_default_str();
    app.add_option("--guessers", settings.guessers, "Connections guessing keys at once")
        ->capture_default_str();
    app.add_option("--watchers", settings.watchers, "Watchers of the streamed cast")
        ->capture_default_str();
    app.add_option("--seconds", settings.seconds, "Seconds the watched cast streams")
        ->capture_default_str();
    app.add_option("--blocks-per-second", settings.blocks_per_second, "Its blocks a second")
        ->capture_default_str();
    app.add_option("--relay-log", settings.relay_log, "Where the relay's log goes")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    try {
        return kavro::bench::run(settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "abuse_bench: %s\n", e.what());
        return 1;
    }
}
