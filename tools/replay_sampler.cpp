// kavro-replay-sampler: watches a watcher's replay file over time, the way a player with the
// replay open in the simulator would notice a loss, and says whether it ever lost bytes.
//
//   kavro-replay-sampler --file PATH [--interval-ms 50]
//
// Every interval it reads the file's size and its first 16,384 bytes (the replay's header). The
// file may grow; it may start again only under a different header (a new recording). It must
// never shrink while its header stays the same, and it must never lose a header it had (emptied,
// deleted, or cut below the header's end). A missing file before the first header is fine.
//
// It runs until SIGINT or SIGTERM, then prints one line, "samples N max-size M shrinks K
// restarts R", lists each shrink it saw, and exits 0 when there was none, 1 otherwise.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kHeaderBytes = 16384;
std::atomic<bool> stop_requested{false};

void request_stop(int) { stop_requested = true; }

struct Sample {
    bool exists = false;
    std::uint64_t size = 0;
    std::string header;  // empty while the file is shorter than a header
};

Sample take_sample(const std::string& path) {
    Sample sample;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return sample;
    sample.exists = true;
    const auto end = in.tellg();
    if (end < 0) return sample;
    sample.size = static_cast<std::uint64_t>(end);
    if (sample.size >= kHeaderBytes) {
        sample.header.resize(kHeaderBytes);
        in.seekg(0);
        in.read(sample.header.data(), static_cast<std::streamsize>(kHeaderBytes));
        if (in.gcount() != static_cast<std::streamsize>(kHeaderBytes)) sample.header.clear();
    }
    return sample;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    int interval_ms = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--file") {
            path = argv[i + 1];
        } else if (option == "--interval-ms") {
            interval_ms = std::stoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (path.empty() || interval_ms <= 0) {
        std::fprintf(stderr, "usage: kavro-replay-sampler --file PATH [--interval-ms N]\n");
        return 2;
    }
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);

    const auto start = std::chrono::steady_clock::now();
    Sample last;
    std::uint64_t samples = 0, max_size = 0, restarts = 0;
    std::vector<std::string> shrinks;
    // A file that fell below a whole header (emptied, cut or deleted) is judged once a whole
    // header is back: a different one is a new recording, written after the truncation it needs;
    // the same one, or none by the end, means what the file held was lost.
    std::string pending;
    while (!stop_requested) {
        const Sample now = take_sample(path);
        ++samples;
        if (now.size > max_size) max_size = now.size;
        const bool had_header = !last.header.empty();
        const bool whole_now = !now.header.empty();
        const auto describe = [&] {
            char line[160];
            std::snprintf(line, sizeof line, "at %.2f s: %llu bytes -> %s", seconds_since(start),
                          static_cast<unsigned long long>(last.size),
                          now.exists ? std::to_string(now.size).c_str() : "no file");
            return std::string(line);
        };
        if (had_header && whole_now && now.header != last.header) {
            ++restarts;
            pending.clear();
            last = now;
        } else if (had_header && !whole_now) {
            if (pending.empty()) pending = describe();
        } else if (had_header && !pending.empty()) {
            // The same header is back: the bytes it had were lost on the way.
            shrinks.push_back(pending);
            pending.clear();
            last = now;
        } else if (had_header && now.size < last.size) {
            shrinks.push_back(describe());
            // Counted once: refilling from here is measured from here, under the old header.
            last.size = now.size;
        } else {
            last = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    if (!pending.empty()) shrinks.push_back(pending);
    std::printf("samples %llu max-size %llu shrinks %zu restarts %llu\n",
                static_cast<unsigned long long>(samples), static_cast<unsigned long long>(max_size),
                shrinks.size(), static_cast<unsigned long long>(restarts));
    for (const auto& line : shrinks) std::printf("shrink %s\n", line.c_str());
    std::fflush(stdout);
    return shrinks.empty() ? 0 : 1;
}
