// A first Cast while a long race is already recorded: how long the window's poll timer is held
// while the caster catches up with the recording. A 100 MB recording (the header and 25,000
// blocks of 4,096 bytes) is uploaded over a real connection to a loopback reader that takes 2 MB/s;
// each tick does what Timer1 does for a caster (a zero-time poll for incoming bytes, then the cast
// step) at the timer's fast interval of 50 ms. Prints the longest tick, the mean tick, the number
// of ticks and the time until the whole recording went up.
//
// Usage: cast_catchup_bench [blocks [reader MB/s [interval ms]]]   (default 25000 2 50)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "link/tcp_connection.h"
#include "replay/cast_streamer.h"
#include "wire/outbound_records.h"
#include "wire/wire_format.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
constexpr std::size_t kHeader = kavro::wire::kReplayHeaderSize;
constexpr std::size_t kBlock = kavro::wire::kBlockSize;

// A recording of the header and `blocks` blocks, each block's bytes different.
void write_recording(const std::filesystem::path& path, std::uint64_t blocks) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> bytes(kBlock);
    std::uint64_t state = 1;
    const auto fill = [&] {
        for (char& byte : bytes) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            byte = static_cast<char>(state >> 56);
        }
    };
    for (std::size_t i = 0; i < kHeader / kBlock + blocks; ++i) {
        fill();
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

// The relay's side: accepts one connection and reads it at `rate` bytes a second until
// `expected` bytes arrived or the connection ends.
class PacedReader {
  public:
    PacedReader(double rate, std::uint64_t expected) : rate_(rate), expected_(expected) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("listen");
            std::exit(1);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~PacedReader() {
        wait();
        ::close(listener_);
    }

    // Until the reader has had everything, or the connection ended.
    void wait() {
        if (thread_.joinable()) thread_.join();
    }

    std::uint16_t port() const { return port_; }
    std::uint64_t received() const { return received_; }
    // When the reader stopped; valid after wait().
    Clock::time_point finished() const { return finished_; }

  private:
    void run() {
        const int peer = ::accept(listener_, nullptr, nullptr);
        if (peer < 0) return;
        std::vector<char> chunk(64 * 1024);
        const auto start = Clock::now();
        while (received_ < expected_) {
            const double allowed =
                rate_ * Seconds(Clock::now() - start).count() - static_cast<double>(received_);
            if (allowed < 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const auto want =
                std::min<std::size_t>(chunk.size(), static_cast<std::size_t>(allowed));
            const auto n = ::recv(peer, chunk.data(), want, 0);
            if (n <= 0) break;
            received_ += static_cast<std::uint64_t>(n);
        }
        finished_ = Clock::now();
        ::close(peer);
    }

    double rate_;
    std::uint64_t expected_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> received_{0};
    Clock::time_point finished_;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const double rate = (argc > 2 ? std::atof(argv[2]) : 2) * 1e6;
    const auto interval = std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 50);
    const std::uint64_t blocks = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 25000;
    const std::uint64_t size = kHeader + blocks * kBlock;
    const std::uint64_t upload =
        kavro::wire::kHeaderUploadSize + blocks * kavro::wire::kBlockUploadSize;

    std::random_device random;
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() /
        ("kavro-catchup-bench-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(root / "data" / "mpr");
    std::filesystem::create_directories(root / "kavro");
    const kavro::CastPaths paths{root / "kavro" / ".." / "data" / "mpr" / "temp_mpr.mpr",
                                 root / "kavro" / "kavro_cast.mpr"};
    write_recording(paths.source, blocks);

    PacedReader reader(rate, upload);
    kavro::TcpConnection tcp1;
    tcp1.RemoteHost = "127.0.0.1";
    tcp1.RemotePort = std::to_string(reader.port());
    if (!tcp1.Connect()) {
        std::fprintf(stderr, "cannot connect to the loopback reader\n");
        return 1;
    }

    kavro::wire::OutboundRecords records;
    kavro::CastStreamer streamer(paths);
    bool send_failed = false;
    const kavro::CastStreamer::Send send = [&](std::span<const std::uint8_t> record) {
        const bool ok = tcp1.SendBytes(record).ok;
        send_failed = send_failed || !ok;
        return ok;
    };
    const kavro::CastStreamer::CanSendMore can_send_more = [&] { return tcp1.PollWritable(); };
    std::vector<std::uint8_t> incoming(16386);

    // Timer1 at its fast interval; a tick that overruns pushes the next one back, as a timer
    // that cannot fire while its handler runs does.
    std::vector<double> ticks_ms;
    std::size_t copying_ticks = 0;  // ticks until the copy held the whole recording
    std::error_code ignored;
    const auto start = Clock::now();
    auto next_tick = start;
    while (!send_failed && streamer.last_cast_size() != static_cast<std::int64_t>(size)) {
        std::this_thread::sleep_until(next_tick);
        const auto tick_start = Clock::now();
        if (tcp1.PollReadable(std::chrono::milliseconds(0))) {
            tcp1.ReceiveBytes(incoming.data(), incoming.size());
        }
        streamer.step(true, true, records, send, can_send_more, std::chrono::steady_clock::now());
        const auto tick_end = Clock::now();
        ticks_ms.push_back(
            std::chrono::duration<double, std::milli>(tick_end - tick_start).count());
        if (copying_ticks == 0 && std::filesystem::file_size(paths.copy, ignored) == size) {
            copying_ticks = ticks_ms.size();
        }
        next_tick = std::max(next_tick + interval, tick_end);
    }
    const auto sent_all = Clock::now();
    if (send_failed) tcp1.Disconnect();  // lets the reader stop early
    reader.wait();
    tcp1.Disconnect();

    std::filesystem::remove_all(root, ignored);
    if (send_failed || reader.received() != upload) {
        std::fprintf(stderr, "a send failed or the reader missed bytes; figures not valid\n");
        return 1;
    }

    const auto longest = std::max_element(ticks_ms.begin(), ticks_ms.end());
    const auto copied = ticks_ms.begin() + static_cast<std::ptrdiff_t>(copying_ticks);
    double total_ms = 0;
    for (const double tick : ticks_ms) total_ms += tick;
    std::printf(
        "catch-up of a %.1f MB recording (%llu blocks) to a reader taking %.1f MB/s, "
        "ticks every %lld ms\n",
        static_cast<double>(size) / 1e6, static_cast<unsigned long long>(blocks), rate / 1e6,
        static_cast<long long>(interval.count()));
    std::printf("ticks:                      %zu\n", ticks_ms.size());
    std::printf("longest tick:               %.1f ms (tick %td)\n", *longest,
                longest - ticks_ms.begin() + 1);
    std::printf("longest while copying:      %.1f ms (ticks 1 to %zu copy the recording)\n",
                *std::max_element(ticks_ms.begin(), copied), copying_ticks);
    if (copied != ticks_ms.end()) {
        std::printf("longest after the copy:     %.1f ms\n",
                    *std::max_element(copied, ticks_ms.end()));
    }
    std::printf("mean tick:                  %.2f ms\n",
                total_ms / static_cast<double>(ticks_ms.size()));
    std::printf(
        "catch-up time:              %.1f s until the last block went to the socket, "
        "%.1f s until the reader had it\n",
        Seconds(sent_all - start).count(), Seconds(reader.finished() - start).count());
    return 0;
}
