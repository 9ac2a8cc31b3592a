#include "relay/base/relay_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "relay/base/admin_token.h"

namespace kavro::relay {

namespace {

// The longest any seconds option may be: a year, far inside what a duration can hold.
constexpr double kMostSeconds = 365.0 * 24 * 60 * 60;
// The shortest a time-out or keep-alive interval may be.
constexpr double kFewestPositiveSeconds = 0.001;
// The keep-alive interval must stay well below the 45 s of silence after which a client
// gives the relay up.
constexpr double kLongestKeepalive = 40.0;

// Accepts a number of seconds from `lowest` to kMostSeconds. Anything else (nan, inf, a value
// whose conversion to a duration would overflow) is refused with the range it must lie in.
CLI::Validator seconds_within(double lowest) {
    const auto shown = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.10g", value);
        return std::string(text);
    };
    const std::string range = shown(lowest) + " to " + shown(kMostSeconds);
    return CLI::Validator(
        [lowest, range](std::string& text) -> std::string {
            double value = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            const bool number = error == std::errc() && end == text.data() + text.size();
            if (number && std::isfinite(value) && value >= lowest && value <= kMostSeconds) {
                return {};
            }
            return text + (number ? " is out of range" : " is not a number") +
                   ": give seconds from " + range;
        },
        "SECONDS " + range);
}

Duration from_seconds(double seconds) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

double to_seconds(Duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

std::size_t default_thread_count() {
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

std::filesystem::path default_data_dir() {
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state != nullptr && *state != '\0') {
        const std::string first = std::string(state).substr(0, std::string(state).find(':'));
        if (!first.empty()) return first;
    }
    return "kavro-relay-data";
}

bool parse_host_and_port(const std::string& text, std::string& host_out, std::uint16_t& port_out) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    }
    const std::string port_text = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || error != std::errc() || end != port_text.data() + port_text.size() ||
        port > 65535) {
        return false;
    }
    host_out = host;
    port_out = static_cast<std::uint16_t>(port);
    return true;
}

bool parse_listen_address(const std::string& text, RelayOptions& options) {
    return parse_host_and_port(text, options.listen_host, options.listen_port);
}

std::optional<int> parse_command_line(int argc, const char* const* argv, RelayOptions& options) {
    CLI::App app{"kavro-relay: forwards live LFS replay casts from their casters to watchers."};
    std::string listen = options.listen_host + ":" + std::to_string(options.listen_port);
    double idle = to_seconds(options.idle_timeout);
    double grace = to_seconds(options.resume_grace);
    double keepalive = to_seconds(options.keepalive_interval);
    double delay = to_seconds(options.broadcast_delay);
    std::string http = options.http_enabled
                           ? options.http_host + ":" + std::to_string(options.http_port)
                           : std::string("off");

    app.add_option("--listen", listen, "Address and port to listen on, HOST:PORT")
        ->capture_default_str();
    app.add_option("--max-connections", options.max_connections,
                   "Connections open at once; one more gets \"The relay is full.\"")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--max-casts", options.max_casts, "Casts live at once")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--max-replay-bytes", options.max_replay_bytes,
                   "Replay bytes (header and data) kept per cast; a larger cast is ended")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--idle-timeout", idle,
                   "Seconds a new connection may take to send its first complete message")
        ->capture_default_str()
        ->check(seconds_within(kFewestPositiveSeconds));
    app.add_option("--resume-grace", grace,
                   "Seconds a cast stays listed after its caster's connection closes")
        ->capture_default_str()
        ->check(seconds_within(0.0));
    app.add_option("--keepalive", keepalive,
                   "Seconds of silence towards a client before it gets a keep-alive")
        ->capture_default_str()
        ->check(seconds_within(kFewestPositiveSeconds));
    app.add_option("--connections-per-address", options.connections_per_address,
                   "Connections open at once from one client address")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--broadcast-delay", delay,
                   "Seconds between a block's arrival and its delivery to watchers")
        ->capture_default_str()
        ->check(seconds_within(0.0));
    app.add_option("--threads", options.threads,
                   "Event loops (threads) the connections are spread over; default: one per core")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, kMostThreads));

    app.add_option("--casts-per-address", options.casts_per_address,
                   "Casts live at once whose caster is at one address (IPv6: one /64)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--watchers-per-address", options.watchers_per_address,
                   "Watchers at once from one address, within --connections-per-address")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    double stall = to_seconds(options.stall_timeout);
    app.add_option("--stall-timeout", stall,
                   "Seconds a watcher may take none of what waits for it before it is closed")
        ->capture_default_str()
        ->check(seconds_within(kFewestPositiveSeconds));
    app.add_option("--max-http-connections", options.max_http_connections,
                   "HTTP connections open at once, apart from relay clients")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--http-connections-per-address", options.http_connections_per_address,
                   "HTTP connections open at once from one address")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    std::string reserved;
    app.add_option("--reserved-names", reserved,
                   "File of reserved names, one a line: KEY NAME; re-read on SIGHUP");
    app.add_flag("--reserved-only", options.reserved_only, "Accept only reserved names");
    std::string token_file;
    app.add_option("--admin-token-file", token_file,
                   "File holding the bearer token of the admin API; without it there is none");
    std::string data_dir;
    app.add_option("--data-dir", data_dir,
                   "Folder the recordings, their catalogue and the bans are kept in, or off to "
                   "keep them in memory only; default: $STATE_DIRECTORY, else kavro-relay-data");
    app.add_option("--keep-days", options.keep_days,
                   "Days a finished recording is kept; 0: no limit by age")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 36500.0));
    app.add_option("--keep-bytes", options.keep_bytes,
                   "Bytes the recordings may take together before the oldest finished ones go; "
                   "0: no limit by size")
        ->capture_default_str();

    app.add_option("--http", http,
                   "Address and port of the status page, cast feed and metrics, HOST:PORT, or off")
        ->capture_default_str();
    std::vector<std::string> trusted;
    app.add_option("--trusted-proxy", trusted,
                   "Address (or ADDRESS/PREFIX) of a proxy that names its clients: "
                   "X-Forwarded-For for HTTP, a PROXY protocol header on the relay's port; "
                   "repeatable");
    std::string admin = options.admin_enabled
                            ? options.admin_host + ":" + std::to_string(options.admin_port)
                            : std::string("off");
    app.add_option("--admin", admin,
                   "Address and port of the admin API (with --admin-token-file), HOST:PORT, or "
                   "off; never served on --http")
        ->capture_default_str();

    app.add_option("--cast-recordings-per-minute", options.cast_recordings_per_minute,
                   "New recordings one cast may start in any minute (a new cast's first header, "
                   "a header or block that differs from the one held); 0: no limit")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{0}, std::size_t{100000}));
    app.add_option("--address-recordings-per-hour", options.address_recordings_per_hour,
                   "New recordings the casters at one address may start in any hour; 0: no limit")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{0}, std::size_t{100000}));

    try {
        app.parse(argc, argv);
        if (!parse_listen_address(listen, options)) {
            throw CLI::ValidationError("--listen", "expected HOST:PORT, got " + listen);
        }
        options.http_enabled = http != "off";
        if (options.http_enabled &&
            !parse_host_and_port(http, options.http_host, options.http_port)) {
            throw CLI::ValidationError("--http", "expected HOST:PORT or off, got " + http);
        }
        if (app.count("--data-dir") == 0) {
            options.data_dir = default_data_dir();
        } else if (data_dir == "off") {
            options.data_dir.reset();
        } else if (data_dir.empty()) {
            throw CLI::ValidationError("--data-dir", "expected a folder or off");
        } else {
            options.data_dir = data_dir;
        }
        if (!token_file.empty()) {
            try {
                options.admin_token = read_admin_token(token_file);
            } catch (const AdminTokenError& e) {
                throw CLI::ValidationError("--admin-token-file", e.what());
            }
            options.admin_token_file = token_file;
        }
        for (const std::string& text : trusted) {
            std::string problem;
            const auto network = parse_trusted_network(text, problem);
            if (!network) throw CLI::ValidationError("--trusted-proxy", problem);
            options.trusted_proxies.push_back(*network);
        }
        options.admin_enabled = admin != "off";
        if (options.admin_enabled &&
            !parse_host_and_port(admin, options.admin_host, options.admin_port)) {
            throw CLI::ValidationError("--admin", "expected HOST:PORT or off, got " + admin);
        }
        // Clients take 45 s without a byte from the relay as a dead relay and connect again.
        if (keepalive >= kLongestKeepalive) {
            char shown[32];
            std::snprintf(shown, sizeof shown, "%g", keepalive);
            throw CLI::ValidationError("--keepalive",
                                       std::string(shown) +
                                           " is too long: clients take 45 s of silence as a "
                                           "dead relay; give less than 40 seconds");
        }
        if (options.reserved_only && reserved.empty()) {
            throw CLI::ValidationError("--reserved-only", "needs --reserved-names FILE");
        }
    } catch (const CLI::ParseError& e) {
        // --help exits with 0; any option the relay cannot use, with 2, before it listens.
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.idle_timeout = from_seconds(idle);
    options.resume_grace = from_seconds(grace);
    options.keepalive_interval = from_seconds(keepalive);
    options.broadcast_delay = from_seconds(delay);
    options.stall_timeout = from_seconds(stall);
    if (!reserved.empty()) options.reserved_names_file = reserved;
    return std::nullopt;
}

}  // namespace kavro::relay
