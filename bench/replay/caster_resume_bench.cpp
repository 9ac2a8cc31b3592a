// A caster's return on a slow uplink: how long after the caster is back the first new block
// reaches a watcher, through the real relay, the caster behind kavro-fault-forwarder limited
// to a rate (1 Mbit/s by default). The caster is the client's own pieces (TcpConnection,
// CastStreamer, receive_and_dispatch) ticking every 50 ms as the window does.
//
//   caster_resume_bench [--mib 8] [--rate 1000000] [--from-header]
//
// The recording (MiB of data after the header) is uploaded directly first, as if cast earlier;
// then the caster's connection is dropped, the recording grows by one block, and the caster
// comes back through the slow path. With the relay's resume offer it sends only the new block;
// --from-header also measures the upload from the header that a relay without the offer gets.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/relay/relay_process.h"
#include "bench/replay/relay_peers.h"
#include "link/receive_pump.h"
#include "link/tcp_connection.h"
#include "replay/cast_streamer.h"
#include "wire/outbound_records.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kavro;
using bench::Bytes;

void append_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// The caster's side of the client, as the core drives it: the first acceptance (the user's own
// Cast) uploads from the header; a later one (coming back by itself) waits for the relay's
// offer, unless `use_offer` is off.
class Caster : public MessageHandler {
  public:
    Caster(CastPaths paths, bool use_offer) : streamer(paths), use_offer_(use_offer) {
        records.set_cast("resume bench", "BL1");
    }
    void accepted() override {
        registered = true;
        if (acceptances++ == 0 || !use_offer_) {
            streamer.restart();
        } else {
            streamer.await_resume_offer(Clock::now() + std::chrono::seconds(2));
        }
    }
    void refused() override { throw std::runtime_error("the relay refused the cast"); }
    void error(const std::string& text) override { throw std::runtime_error("ERR " + text); }
    void caster_list(wire::ConstBytes) override {}
    void replay_header(wire::ConstBytes) override {}
    void replay_data(wire::ConstBytes) override {}
    void resume_offer(const wire::ResumeOffer& offer) override {
        offers++;
        streamer.take_resume_offer(offer);
    }

    // Connects to `port` and says hello as a caster.
    void connect(std::uint16_t port) {
        tcp.Disconnect();
        registered = false;
        buffer.clear();
        tcp.RemoteHost = "127.0.0.1";
        tcp.RemotePort = std::to_string(port);
        if (!tcp.Connect()) throw std::runtime_error("cannot connect");
        tcp.SendBytes(records.prepare_hello(true));
    }
    // One 50 ms tick's work.
    void tick() {
        tcp.PumpOutbound();
        const ReceiveReport report = receive_and_dispatch(tcp, buffer, *this);
        if (report.closed) throw std::runtime_error("the relay closed the caster's connection");
        streamer.step(
            registered, true, records,
            [this](std::span<const std::uint8_t> record) { return tcp.SendBytes(record).ok; },
            [this] { return tcp.PollWritable(); }, Clock::now());
    }

    TcpConnection tcp;
    ReceiveBuffer buffer;
    wire::OutboundRecords records;
    CastStreamer streamer;
    bool registered = false;
    int acceptances = 0;
    int offers = 0;

  private:
    bool use_offer_;
};

// Seconds from the caster's return to the first new block at the watcher.
double one_return(std::size_t mib, std::uint64_t rate, bool use_offer) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("kavro-resume-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const CastPaths paths{folder / "temp_mpr.mpr", folder / "kavro_cast.mpr"};
    const std::size_t blocks = (mib << 20) / wire::kBlockSize;
    const Bytes all = bench::pattern(wire::kReplayHeaderSize + (blocks + 1) * wire::kBlockSize, 3);
    const std::size_t held = wire::kReplayHeaderSize + blocks * wire::kBlockSize;
    append_file(paths.source, Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(held)));

    bench::RelayProcess relay(KAVRO_RELAY_PROGRAM,
                              {"--listen", "127.0.0.1:0", "--data-dir", "off", "--http", "off",
                               "--resume-grace", "300"},
                              "/dev/null");
    bench::RelayProcess slow_path(KAVRO_FORWARDER_PROGRAM,
                                  {"--target", "127.0.0.1:" + std::to_string(relay.port()),
                                   "--rate", std::to_string(rate)},
                                  "/dev/null");
    Caster caster(paths, use_offer);
    const auto tick_length = std::chrono::milliseconds(50);

    // Cast earlier, directly: the relay holds the whole recording.
    caster.connect(relay.port());
    bench::PlainPeer watcher(relay.port());
    bool watching = false;
    const auto setup_deadline = Clock::now() + std::chrono::minutes(2);
    while (caster.streamer.last_cast_size() < static_cast<std::int64_t>(held) ||
           caster.tcp.OutboundQueued() > 0) {
        if (Clock::now() > setup_deadline) throw std::runtime_error("the first upload stalled");
        caster.tick();
        if (caster.registered && !watching) {
            watcher.watch("resume bench");
            watching = true;
        }
    }
    watcher.read_replay(held);

    // The caster's connection drops; meanwhile the race goes on by one block.
    caster.tcp.Disconnect();
    append_file(paths.source, Bytes(all.begin() + static_cast<std::ptrdiff_t>(held), all.end()));
    std::atomic<bool> arrived{false};
    std::thread reader([&] {
        watcher.read_replay(wire::kBlockSize);
        arrived = true;
    });

    const auto back = Clock::now();
    caster.connect(slow_path.port());
    auto next_tick = Clock::now();
    const auto deadline = back + std::chrono::minutes(10);
    while (!arrived && Clock::now() < deadline) {
        caster.tick();
        next_tick += tick_length;
        std::this_thread::sleep_until(next_tick);
    }
    const double took = std::chrono::duration<double>(Clock::now() - back).count();
    if (!arrived) {
        caster.tcp.Disconnect();
        relay.stop();  // ends the watcher's read
        reader.join();
        throw std::runtime_error("the new block did not arrive within 10 minutes");
    }
    reader.join();
    std::printf("  %-22s offers received: %d, first new block at the watcher after %.2f s\n",
                use_offer ? "with the resume offer:" : "from the header:", caster.offers, took);
    std::fflush(stdout);
    caster.tcp.Disconnect();
    slow_path.stop();
    relay.stop();
    std::filesystem::remove_all(folder);
    return took;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = 8;
    std::uint64_t rate = 1000000;
    bool from_header = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) {
            mib = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--rate" && i + 1 < argc) {
            rate = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--from-header") {
            from_header = true;
        } else {
            std::fprintf(stderr, "usage: caster_resume_bench [--mib N] [--rate BITS] [--from-header]\n");
            return 2;
        }
    }
    std::printf("caster back on a %.2f Mbit/s path with %zu MiB recorded (kavro-relay, 127.0.0.1)\n",
                static_cast<double>(rate) / 1e6, mib);
    try {
        one_return(mib, rate, true);
        if (from_header) one_return(mib, rate, false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "caster_resume_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
