// Cost of one cast step while the simulator's recording grows by one block per tick, on a small
// and on a large recording. The step should cost what the recording grew, not what it weighs:
// the 64 MiB figure should stay within twice the 1 MiB one.
//
// Usage: cast_step_bench [ticks]   (default 2000 ticks per recording size)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "replay/cast_streamer.h"
#include "wire/outbound_records.h"
#include "wire/wire_format.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBlock = kavro::wire::kBlockSize;

struct Figures {
    double mean_us = 0;
    double p99_us = 0;
    bool ok = false;
};

std::vector<char> block_bytes(std::uint64_t index) {
    std::vector<char> block(kBlock);
    std::uint64_t state = index * 0x9E3779B97F4A7C15ull + 1;
    for (char& byte : block) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        byte = static_cast<char>(state >> 56);
    }
    return block;
}

void append_blocks(const std::filesystem::path& path, std::uint64_t first, std::uint64_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    for (std::uint64_t i = first; i < first + count; ++i) {
        const std::vector<char> block = block_bytes(i);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

// A simulator installation in `root`, a recording of `size` bytes, a streamer that has already
// uploaded it; then `ticks` timed steps, each after the recording grew by one block.
Figures measure(const std::filesystem::path& root, std::uint64_t size, int ticks) {
    std::filesystem::create_directories(root / "data" / "mpr");
    std::filesystem::create_directories(root / "kavro");
    std::ofstream(root / "LFS.exe") << "MZ";
    const kavro::CastPaths paths{root / "kavro" / ".." / "data" / "mpr" / "temp_mpr.mpr",
                                 root / "kavro" / "kavro_cast.mpr"};
    std::uint64_t blocks = size / kBlock;
    append_blocks(paths.source, 0, blocks);

    kavro::wire::OutboundRecords records;
    kavro::CastStreamer streamer(paths);
    std::uint64_t records_sent = 0;
    const kavro::CastStreamer::Send send = [&](std::span<const std::uint8_t> record) {
        records_sent += record.size() == kavro::wire::kBlockUploadSize ? 1 : 0;
        return true;
    };

    const kavro::CastStreamer::CanSendMore can_send_more = [] { return true; };

    // Catch up (not timed): the header tick, then the ticks that send every block after it.
    streamer.step(true, true, records, send, can_send_more, std::chrono::steady_clock::now());
    for (std::uint64_t tick = 0;
         tick <= blocks && streamer.last_cast_size() != static_cast<std::int64_t>(size); ++tick) {
        streamer.step(true, true, records, send, can_send_more, std::chrono::steady_clock::now());
    }
    if (streamer.last_cast_size() != static_cast<std::int64_t>(size)) return {};

    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(ticks));
    const std::uint64_t sent_before = records_sent;
    for (int tick = 0; tick < ticks; ++tick) {
        append_blocks(paths.source, blocks++, 1);
        const auto start = Clock::now();
        streamer.step(true, true, records, send, can_send_more, std::chrono::steady_clock::now());
        const auto stop = Clock::now();
        samples.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
    }

    Figures figures;
    figures.ok = records_sent - sent_before == static_cast<std::uint64_t>(ticks) &&
                 streamer.last_cast_size() == static_cast<std::int64_t>(blocks * kBlock) &&
                 std::filesystem::file_size(paths.copy) == blocks * kBlock;
    double total = 0;
    for (const double sample : samples) total += sample;
    figures.mean_us = total / static_cast<double>(samples.size());
    std::sort(samples.begin(), samples.end());
    figures.p99_us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    std::random_device random;
    const std::filesystem::path base =
        std::filesystem::temp_directory_path() /
        ("kavro-cast-step-bench-" + std::to_string(random()) + "-" + std::to_string(random()));

    const std::uint64_t small_size = std::uint64_t{1} << 20;
    const std::uint64_t large_size = std::uint64_t{64} << 20;
    const Figures small = measure(base / "small", small_size, ticks);
    const Figures large = measure(base / "large", large_size, ticks);
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);

    if (!small.ok || !large.ok) {
        std::fprintf(stderr, "cast step did not upload every block; figures not valid\n");
        return 1;
    }
    std::printf("cast step, one 4096-byte block of growth per tick, %d ticks each\n", ticks);
    std::printf(" 1 MiB recording: mean %8.2f us  p99 %8.2f us\n", small.mean_us, small.p99_us);
    std::printf("64 MiB recording: mean %8.2f us  p99 %8.2f us\n", large.mean_us, large.p99_us);
    std::printf("ratio 64 MiB / 1 MiB: mean %.2f  p99 %.2f (at most 2 wanted)\n",
                large.mean_us / small.mean_us, large.p99_us / small.p99_us);
    return 0;
}
