// The relay's settings, each with the default an operator of a small public server gets
// when they give no option.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "relay/base/trusted_network.h"

namespace kavro::relay {

using Duration = std::chrono::steady_clock::duration;

// One event loop per core; 1 when the number of cores is unknown.
std::size_t default_thread_count();

// The most event loops --threads accepts.
inline constexpr std::size_t kMostThreads = 256;

struct RelayOptions {
    std::string listen_host = "0.0.0.0";
    std::uint16_t listen_port = 47475;
    std::size_t max_connections = 10000;
    std::size_t max_casts = 256;
    // Header and blocks kept per recording: on disk with a data folder, in memory without.
    std::size_t max_replay_bytes = 64u * 1024 * 1024;
    Duration idle_timeout = std::chrono::minutes(10);  // for the first complete message
    Duration resume_grace = std::chrono::seconds(60);
    Duration keepalive_interval = std::chrono::seconds(10);
    std::size_t connections_per_address = 64;
    Duration broadcast_delay = Duration::zero();
    // Event loops the connections are spread over, one thread each.
    std::size_t threads = default_thread_count();
    // The HTTP side: status page, cast feed, metrics and health check. Local only by default.
    bool http_enabled = true;
    std::string http_host = "127.0.0.1";
    std::uint16_t http_port = 47476;
    // An HTTP request must arrive whole within this time (not a command-line option).
    Duration http_request_timeout = std::chrono::seconds(10);

    // What an operator defends a public relay with.
    // Casts live at once whose caster is at one address (IPv6: one /64).
    std::size_t casts_per_address = 2;
    // Watchers at once from one address; each is also one of its connections.
    std::size_t watchers_per_address = 32;
    // A watcher whose socket takes none of what waits for it for this long is closed.
    Duration stall_timeout = std::chrono::seconds(60);
    // HTTP has places of its own, so the status page, /metrics and /healthz still answer
    // when relay clients take every connection.
    std::size_t max_http_connections = 64;
    std::size_t http_connections_per_address = 8;
    // One reservation a line: the key, one space, the name. Re-read on SIGHUP.
    std::optional<std::filesystem::path> reserved_names_file;
    // Only reserved names may cast (a league's private relay).
    bool reserved_only = false;
    // The bearer token of the admin API (read from --admin-token-file); none: no admin API.
    std::optional<std::string> admin_token;

    // The data folder: the recordings and their catalogue, and what else outlives the relay
    // (bans). None keeps everything in memory only (the default here, so a relay made in a
    // test writes nothing unless asked; the command line's default is a folder, see
    // parse_command_line).
    std::optional<std::filesystem::path> data_dir;
    // Retention: finished recordings older than this many days go, then the oldest finished
    // while all together pass keep_bytes. Zero: no limit.
    double keep_days = 30;
    std::uint64_t keep_bytes = 20ull * 1024 * 1024 * 1024;

    // The file the admin token was read from, read again on SIGHUP.
    std::optional<std::filesystem::path> admin_token_file;

    // New recordings (a new cast's first header, a header or a block that differs from the
    // one held) a cast may start in any minute, and the casters at one address in any hour.
    // Past either, the caster gets ERR and is closed. Zero: no limit.
    std::size_t cast_recordings_per_minute = 4;
    std::size_t address_recordings_per_hour = 20;
    // Behind proxies: connections from these may name their client (X-Forwarded-For's last
    // hop for HTTP; a PROXY protocol v1 or v2 header for relay clients, which they must send).
    std::vector<TrustedNetwork> trusted_proxies;
    // The admin API's own listener, never the public HTTP port; it listens only when there is
    // a token. Port 0 lets the OS pick.
    bool admin_enabled = true;
    std::string admin_host = "127.0.0.1";
    std::uint16_t admin_port = 47477;
};

// The data folder when --data-dir is not given: $STATE_DIRECTORY when systemd sets it (the
// first, when it names several), otherwise kavro-relay-data in the working directory.
std::filesystem::path default_data_dir();

// Splits "HOST:PORT" ("[v6]:PORT" for IPv6) into `host` and `port`; false when it is not of
// that form, leaving both as they were.
bool parse_host_and_port(const std::string& text, std::string& host, std::uint16_t& port);

// Splits "HOST:PORT" ("[v6]:PORT" for IPv6) into `options`; false when it is not of that form.
bool parse_listen_address(const std::string& text, RelayOptions& options);

// Reads the command line into `options`. Returns an exit code when the program should stop at
// once (--help, or a bad option, after printing why), nothing when it should run.
std::optional<int> parse_command_line(int argc, const char* const* argv, RelayOptions& options);

}  // namespace kavro::relay
