// A late joiner's catch-up through the real relay on 127.0.0.1, next to a plain TCP download of
// the same bytes in the same run: the client's path (a TcpConnection read by
// receive_and_dispatch once per 50 ms poll tick, each tick's data written to the replay file by
// a ReplayWriter in one write) against a reader that drains its socket as fast as it can.
//
//   late_join_bench [MiB] [--relay PROGRAM]     (default 48 MiB)
//
// Prints both times, the ratio, and the catch-up lines the client logged.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/relay_process.h"
#include "bench/replay/relay_peers.h"
#include "link/receive_pump.h"
#include "link/tcp_connection.h"
#include "replay/replay_writer.h"
#include "wire/outbound_records.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kavro;
using bench::Bytes;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The watch side of the client, as the core drives it.
class Watcher : public MessageHandler {
  public:
    explicit Watcher(ReplayWriter& writer) : writer_(writer) {}
    bool accepted_once = false;
    bool listed = false;
    void accepted() override { accepted_once = true; }
    void refused() override {}
    void error(const std::string& text) override { std::printf("ERR %s\n", text.c_str()); }
    void caster_list(wire::ConstBytes) override { listed = true; }
    void replay_header(wire::ConstBytes payload) override { writer_.write_header(payload); }
    void replay_data(wire::ConstBytes payload) override { writer_.append_data(payload); }

  private:
    ReplayWriter& writer_;
};

// `again_when_behind`: for 200 ms after the watch request or a tick whose report says a backlog
// waits, the next tick
// follows at once when the last one brought bytes and after 2 ms when it brought none, instead
// of after the poll interval (the window's poll timer made short while catching up).
double client_catch_up(std::uint16_t port, const Bytes& recording, const std::string& name,
                       bool again_when_behind, std::vector<std::string>& log) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("kavro-late-join-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto file = folder / "kavro.mpr";
    double took = 0;
    {
        ReplayWriter writer(file, [&log](const std::string& line) { log.push_back(line); });
        Watcher watcher(writer);
        TcpConnection tcp;
        tcp.RemoteHost = "127.0.0.1";
        tcp.RemotePort = std::to_string(port);
        if (!tcp.Connect()) throw std::runtime_error("cannot connect");
        ReceiveBuffer buffer;
        wire::OutboundRecords records;
        tcp.SendBytes(records.prepare_hello(false));
        const auto tick_length = std::chrono::milliseconds(50);
        auto next_tick = Clock::now();
        Clock::time_point start{};
        bool asked = false;
        Clock::time_point last_backlog{};
        const auto deadline = Clock::now() + std::chrono::minutes(5);
        while (Clock::now() < deadline) {
            std::this_thread::sleep_until(next_tick);
            tcp.PumpOutbound();
            const ReceiveReport report = receive_and_dispatch(tcp, buffer, watcher);
            writer.flush();
            writer.note_receive_tick(report.backlog, Clock::now());
            if (std::getenv("LATE_JOIN_TRACE") && asked) {
                std::printf("  t=%.3f bytes=%zu drained=%d backlog=%d\n", seconds_since(start),
                            report.bytes, report.drained, report.backlog);
            }
            if (report.backlog) last_backlog = Clock::now();
            const bool catching = Clock::now() - last_backlog < std::chrono::milliseconds(200);
            if (again_when_behind && catching) {
                next_tick = Clock::now() + (report.bytes > 0 ? std::chrono::milliseconds(0)
                                                             : std::chrono::milliseconds(2));
            } else {
                next_tick += tick_length;
            }
            if (report.closed) throw std::runtime_error("the relay closed the connection");
            if (watcher.listed && !asked) {
                start = Clock::now();
                tcp.SendBytes(records.prepare_watch_request(name));
                asked = true;
                // A watch request starts a catch-up: B polls at its short interval from here.
                last_backlog = Clock::now();
                if (again_when_behind) next_tick = Clock::now() + std::chrono::milliseconds(2);
            }
            if (asked && std::filesystem::exists(file) &&
                std::filesystem::file_size(file) == recording.size() && writer.held_bytes() == 0) {
                took = seconds_since(start);
                break;
            }
        }
        // A tick after the last data says the file has caught up.
        std::this_thread::sleep_until(next_tick);
        for (int i = 0; i < 25; ++i) {  // a second and more of live ticks: caught up
            std::this_thread::sleep_until(next_tick);
            next_tick += tick_length;
            writer.note_receive_tick(receive_and_dispatch(tcp, buffer, watcher).backlog,
                                     Clock::now());
        }
        std::error_code error;
        if (took == 0 || std::filesystem::file_size(file, error) != recording.size()) {
            throw std::runtime_error("the client's file did not fill in time");
        }
    }
    std::filesystem::remove_all(folder);
    return took;
}

double plain_download(std::uint16_t port, std::size_t size, const std::string& name) {
    bench::PlainPeer reader(port);
    reader.send(reader.hello(wire::kModeWatch, ""));
    if (reader.message().first != wire::kAckAccepted) throw std::runtime_error("refused");
    reader.message();
    const auto start = Clock::now();
    Bytes request(wire::kWatchRequestSize, 0);
    std::copy(wire::kTagWatchRequest.begin(), wire::kTagWatchRequest.end(), request.begin());
    wire::put_text_field(request, wire::kWatchRequestNameOffset, wire::kNameWidth, name);
    reader.send(request);
    reader.read_replay(size);
    return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = 48;
    std::string program = KAVRO_RELAY_PROGRAM;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--relay" && i + 1 < argc) {
            program = argv[++i];
        } else {
            mib = static_cast<std::size_t>(std::strtoul(argv[i], nullptr, 10));
        }
    }
    const std::size_t blocks = (mib << 20) / wire::kBlockSize;
    const Bytes recording = bench::pattern(wire::kReplayHeaderSize + blocks * wire::kBlockSize, 7);
    try {
        bench::RelayProcess relay(program,
                                  {"--listen", "127.0.0.1:0", "--data-dir", "off", "--http", "off",
                                   "--max-replay-bytes", std::to_string(recording.size() + 4096)},
                                  "/dev/null");
        bench::PlainPeer caster(relay.port());
        caster.cast("late join", recording);
        // The relay holds it all once a first reader got it all.
        plain_download(relay.port(), recording.size(), "late join");

        std::printf("late join of %zu MiB (+16 KiB header) through kavro-relay on 127.0.0.1\n",
                    mib);
        std::printf(
            "client A: a tick every 50 ms; client B: for 200 ms after the watch request\n"
            "or a tick that found a backlog, the next tick at once (after 2 ms when the\n"
            "last brought nothing), else every 50 ms\n");
        std::printf("%-4s %12s %11s %8s %11s %8s\n", "run", "plain TCP s", "client A s", "A/plain",
                    "client B s", "B/plain");
        std::vector<std::string> log;
        for (int run = 1; run <= 3; ++run) {
            const double plain = plain_download(relay.port(), recording.size(), "late join");
            log.clear();
            const double a = client_catch_up(relay.port(), recording, "late join", false, log);
            log.clear();
            const double b = client_catch_up(relay.port(), recording, "late join", true, log);
            std::printf("%-4d %12.3f %11.3f %8.2f %11.3f %8.2f\n", run, plain, a, a / plain, b,
                        b / plain);
            std::fflush(stdout);
        }
        std::printf("the client's log in the last run:\n");
        for (const std::string& line : log) std::printf("  %s\n", line.c_str());
        relay.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "late_join_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
