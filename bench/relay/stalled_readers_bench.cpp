// What readers that never read cost kavro-relay, and whether its health check still answers
// meanwhile: a cast of M MiB, W watchers that never read it, and H HTTP connections (8 per
// loopback address) that each send R pipelined requests for /metrics and never read an answer.
// It prints the relay's send queues (Send-Q, summed from /proc/net/tcp over the relay's two
// ports), its resident memory, and how long /healthz takes, for each H given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/bench_replay.h"
#include "bench/relay/relay_process.h"
#include "relay/net/open_file_limit.h"
#include "wire/wire_format.h"

namespace kavro::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

int connect_from(const std::string& source, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

Bytes tagged(std::string_view tag, std::size_t size) {
    Bytes m(size, 0);
    std::copy(tag.begin(), tag.end(), m.begin());
    return m;
}

Bytes hello(std::uint8_t mode, std::string_view name) {
    Bytes m = tagged(wire::kTagHello, wire::kHelloSize);
    wire::put_u16le(m, wire::kHelloLengthOffset, wire::kHelloLengthValue);
    m[wire::kHelloModeOffset] = mode;
    wire::put_text_field(m, wire::kHelloVersionOffset, wire::kVersionWidth, wire::kClientVersion);
    wire::put_text_field(m, wire::kHelloNameOffset, wire::kNameWidth, name);
    return m;
}

// Send-Q of every socket whose local port is one of `ports`.
std::size_t send_queue_bytes(std::uint16_t a, std::uint16_t b) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    std::size_t total = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto port = std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
        if (port != a && port != b) continue;
        total += std::stoul(queues.substr(0, queues.find(':')), nullptr, 16);
    }
    return total;
}

// One GET /healthz on a fresh connection; its time, or a negative time when it got no answer
// within `limit`.
double healthz_ms(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto started = Clock::now();
    const int fd = connect_from("127.0.0.1", port);
    if (fd < 0) return -1;
    const std::string request = "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    std::string answer;
    if (send_all(fd, request.data(), request.size())) {
        char buffer[512];
        while (answer.find("\r\n\r\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                started + limit - Clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (answer.rfind("HTTP/1.1 ", 0) != 0) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

struct Settings {
    std::string relay_program = KAVRO_RELAY_PROGRAM;
    std::size_t mebibytes = 16;
    std::size_t watchers = 20;
    std::vector<std::size_t> http_counts{50, 1000};
    std::size_t requests = 200;
    std::size_t max_http = 64;  // the relay's default --max-http-connections
};

void run(const Settings& settings, std::size_t http_connections) {
    const std::size_t blocks = settings.mebibytes * 1024 * 1024 / wire::kBlockSize;
    const BenchReplay replay(blocks);
    RelayProcess relay(settings.relay_program,
                       {"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--data-dir", "off",
                        "--max-replay-bytes", std::to_string(replay.file().size() + 4096),
                        "--watchers-per-address", std::to_string(settings.watchers),
                        "--max-http-connections", std::to_string(settings.max_http)},
                       "/dev/null");
    const int caster = connect_from("127.0.0.2", relay.port());
    Bytes upload = tagged(wire::kTagHeaderUpload, wire::kHeaderUploadSize);
    std::copy_n(replay.file().begin(), wire::kReplayHeaderSize + 2,
                upload.begin() + wire::kUploadDataOffset);
    const Bytes registration = hello(wire::kModeCast, "Big");
    send_all(caster, registration.data(), registration.size());
    send_all(caster, upload.data(), upload.size());
    std::vector<int> fds;
    for (std::size_t i = 0; i < settings.watchers; ++i) {
        const int fd = connect_from("127.0.0.3", relay.port());
        Bytes watch = tagged(wire::kTagWatchRequest, wire::kWatchRequestSize);
        wire::put_text_field(watch, wire::kWatchRequestNameOffset, wire::kNameWidth, "Big");
        const Bytes greeting = hello(wire::kModeWatch, "");
        send_all(fd, greeting.data(), greeting.size());
        send_all(fd, watch.data(), watch.size());
        fds.push_back(fd);
    }
    Bytes block = tagged(wire::kTagBlockUpload, wire::kBlockUploadSize);
    for (std::size_t i = 0; i < blocks; ++i) {
        const auto data = replay.block(i);
        std::copy(data.begin(), data.end(), block.begin() + wire::kUploadDataOffset);
        send_all(caster, block.data(), block.size());
    }
    std::string requests;
    for (std::size_t i = 0; i < settings.requests; ++i) {
        requests += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    }
    const auto before_http = Clock::now();
    for (std::size_t i = 0; i < http_connections; ++i) {
        const std::string source =
            "127.0." + std::to_string(10 + i / 8 / 250) + "." + std::to_string(1 + (i / 8) % 250);
        const int fd = connect_from(source, relay.http_port());
        if (fd >= 0) send_all(fd, requests.data(), requests.size());
        fds.push_back(fd);
    }
    const double setup_seconds = std::chrono::duration<double>(Clock::now() - before_http).count();
    // Let the relay take what it will of the requests, then look at it for a few seconds.
    std::size_t most_queued = 0;
    std::vector<double> times;
    std::size_t unanswered = 0;
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until) {
        most_queued = std::max(most_queued, send_queue_bytes(relay.port(), relay.http_port()));
        const double ms = healthz_ms(relay.http_port(), std::chrono::seconds(20));
        if (ms < 0) {
            ++unanswered;
        } else {
            times.push_back(ms);
        }
    }
    std::sort(times.begin(), times.end());
    const double median = times.empty() ? 0 : times[times.size() / 2];
    const double slowest = times.empty() ? 0 : times.back();
    std::printf("%9zu %8zu %8zu %12.1f %10.1f %10.1f %10zu %8zu %9.1f\n", settings.mebibytes,
                settings.watchers, http_connections, most_queued / 1048576.0, median, slowest,
                unanswered, static_cast<std::size_t>(relay.rss_kib() / 1024), setup_seconds);
    std::fflush(stdout);
    for (const int fd : fds) {
        if (fd >= 0) ::close(fd);
    }
    ::close(caster);
}

}  // namespace
}  // namespace kavro::bench

int main(int argc, char** argv) {
    using namespace kavro::bench;
    Settings settings;
    CLI::App app{"stalled_readers_bench: what readers that never read cost kavro-relay"};
    app.add_option("--relay", settings.relay_program, "The kavro-relay program");
    app.add_option("--mebibytes", settings.mebibytes, "Size of the cast")->capture_default_str();
    app.add_option("--watchers", settings.watchers, "Watchers that never read")
        ->capture_default_str();
    app.add_option("--http", settings.http_counts, "HTTP connections that never read, per run")
        ->delimiter(',');
    app.add_option("--requests", settings.requests, "Pipelined requests per HTTP connection")
        ->capture_default_str();
    app.add_option("--max-http", settings.max_http, "The relay's --max-http-connections")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    kavro::relay::raise_open_file_limit();
    std::printf(
        "cast_MiB watchers http_conns max_SendQ_MiB healthz_p50 healthz_max unanswered "
        "rss_MiB setup_s\n");
    for (const std::size_t count : settings.http_counts) run(settings, count);
    return 0;
}
