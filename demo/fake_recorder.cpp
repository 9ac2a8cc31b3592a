// kavro-fake-recorder: stands in for the simulator while it records a multiplayer replay. It
// writes a growing replay file the way the simulator's buffered file output does: the recorder
// makes writes of uneven sizes, they collect in a 4,096-byte buffer, and each time the buffer is
// full it goes to the file and is flushed. So the file grows in 4,096-byte steps, at a steady
// pace, to 16,384 header bytes plus the requested number of 4,096-byte blocks. The content is
// pseudo-random from a seed, so a run can be repeated and compared.
//
//   --output FILE          the replay file to write (created afresh)
//   --blocks K             4,096-byte blocks after the 16,384-byte header (default 64)
//   --rate N               buffer flushes per second (default 15)
//   --seed S               content seed (default 1)
//   --wait-for FILE        do not start before FILE exists
//   --wait-timeout SECONDS give up waiting for that file after this long (default 120)
//
// Exits 0 once the whole recording is written, 1 when the file cannot be written, 2 on a bad
// command line, 3 when the start file did not appear in time.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t kHeaderBytes = 16384;
constexpr std::size_t kBufferBytes = 4096;
// The sizes of the recorder's own writes, in turn: none of them a multiple of the buffer, some
// smaller and some larger than it.
constexpr std::array<std::size_t, 9> kWriteSizes = {1000, 3333, 777, 4097, 61, 2500, 6007, 13, 1999};

struct Options {
    std::filesystem::path output;
    std::uint64_t blocks = 64;
    double rate = 15;
    std::uint64_t seed = 1;
    std::optional<std::filesystem::path> wait_for;
    double wait_timeout = 120;
};

// splitmix64: a small generator whose output depends only on the seed.
class ByteSource {
public:
    explicit ByteSource(std::uint64_t seed) : state_(seed) {}
    void fill(std::span<std::uint8_t> bytes) {
        for (std::uint8_t& byte : bytes) {
            if (left_ == 0) {
                word_ = next();
                left_ = 8;
            }
            byte = static_cast<std::uint8_t>(word_);
            word_ >>= 8;
            --left_;
        }
    }

private:
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

// The buffered output: whole buffers only reach the file, each one flushed, at `rate` per second.
class BufferedReplayFile {
public:
    BufferedReplayFile(std::FILE* file, double rate)
        : file_(file),
          period_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(1.0 / rate))),
          next_flush_(std::chrono::steady_clock::now()) {}

    bool write(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), kBufferBytes - used_);
            std::copy_n(bytes.begin(), n, buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
            used_ += n;
            bytes = bytes.subspan(n);
            if (used_ == kBufferBytes && !flush_buffer()) return false;
        }
        return true;
    }
    std::uint64_t flushed() const { return flushed_; }

private:
    bool flush_buffer() {
        std::this_thread::sleep_until(next_flush_);  // the pace of the recording, nothing more
        next_flush_ += period_;
        if (std::fwrite(buffer_.data(), 1, kBufferBytes, file_) != kBufferBytes) return false;
        if (std::fflush(file_) != 0) return false;
        flushed_ += kBufferBytes;
        used_ = 0;
        return true;
    }

    std::FILE* file_;
    std::array<std::uint8_t, kBufferBytes> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t flushed_ = 0;
    std::chrono::steady_clock::duration period_;
    std::chrono::steady_clock::time_point next_flush_;
};

bool parse_number(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

std::optional<Options> parse_arguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", option.c_str());
            return std::nullopt;
        }
        const char* value = argv[++i];
        double number = 0;
        const bool numeric = parse_number(value, number);
        if (option == "--output") {
            options.output = value;
        } else if (option == "--wait-for") {
            options.wait_for = value;
        } else if (option == "--blocks" && numeric && number >= 0 && number < 1e9) {
            options.blocks = static_cast<std::uint64_t>(number);
        } else if (option == "--rate" && numeric && number > 0 && number <= 10000) {
            options.rate = number;
        } else if (option == "--seed" && numeric && number >= 0) {
            options.seed = static_cast<std::uint64_t>(number);
        } else if (option == "--wait-timeout" && numeric && number > 0) {
            options.wait_timeout = number;
        } else {
            std::fprintf(stderr, "bad option %s %s\n", option.c_str(), value);
            return std::nullopt;
        }
    }
    if (options.output.empty()) {
        std::fprintf(stderr, "--output FILE is needed\n");
        return std::nullopt;
    }
    return options;
}

bool wait_for_file(const std::filesystem::path& file, double timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeout_seconds));
    std::error_code error;
    while (!std::filesystem::exists(file, error)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_arguments(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: %s --output FILE [--blocks K] [--rate FLUSHES_PER_SECOND] [--seed S]\n"
                     "       [--wait-for FILE] [--wait-timeout SECONDS]\n",
                     argv[0]);
        return 2;
    }
    if (options->wait_for && !wait_for_file(*options->wait_for, options->wait_timeout)) {
        std::fprintf(stderr, "recorder: %s did not appear in time\n",
                     options->wait_for->string().c_str());
        return 3;
    }

    std::FILE* file = std::fopen(options->output.string().c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "recorder: cannot create %s\n", options->output.string().c_str());
        return 1;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // the recorder's own buffer is the only one
    const std::uint64_t total = kHeaderBytes + options->blocks * kBufferBytes;
    std::fprintf(stderr, "recorder: writing %llu bytes to %s, %g flushes per second\n",
                 static_cast<unsigned long long>(total), options->output.string().c_str(),
                 options->rate);

    ByteSource source(options->seed);
    BufferedReplayFile replay(file, options->rate);
    std::vector<std::uint8_t> write_bytes;
    std::uint64_t written = 0;
    bool ok = true;
    for (std::size_t turn = 0; ok && written < total; ++turn) {
        const auto size = static_cast<std::size_t>(
            std::min<std::uint64_t>(kWriteSizes[turn % kWriteSizes.size()], total - written));
        write_bytes.resize(size);
        source.fill(write_bytes);
        ok = replay.write(write_bytes);
        written += size;
    }
    ok = std::fclose(file) == 0 && ok;
    if (!ok || replay.flushed() != total) {
        std::fprintf(stderr, "recorder: writing %s failed\n", options->output.string().c_str());
        return 1;
    }
    std::fprintf(stderr, "recorder: done, %llu bytes (16384 header bytes and %llu blocks)\n",
                 static_cast<unsigned long long>(total),
                 static_cast<unsigned long long>(options->blocks));
    return 0;
}
