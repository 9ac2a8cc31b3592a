// How long the window's thread is held by the client's handlers when things go wrong: the real
// client core, a real TcpConnection, and the window's two timers played as an event loop plays
// them (each handler timed on its own), against relays that misbehave in the ways users meet.
//
//   gui_thread_bench [--relay PROGRAM] [--forwarder PROGRAM] [--mib N]
//
// Cases: a relay that is a black hole (a connect that neither succeeds nor fails); a relay that
// refuses connections; one that answers every hello with ERR; the real relay on a 1 Mbit/s path
// (the fault forwarder's --rate) while a cast streams; 64 MiB of replay held while the watch file
// took no writes, written back; a late join of N MiB (default 48) through the real relay, next to
// a plain TCP download of the same bytes in the same run. For each case: the longest a handler
// ran, and the case's own figure. Aim: every handler under 50 ms.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay/relay_process.h"
#include "bench/replay/relay_peers.h"
#include "client/client_core.h"
#include "replay/replay_writer.h"

namespace {

using namespace kavro;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A window that only remembers what the core asked of it; message boxes return at once.
class BenchView : public ClientView {
  public:
    struct Timer {
        bool enabled = false;
        int interval_ms = 1000;
    };
    Timer timers[2];
    std::vector<std::string> log;
    std::vector<CasterRow> rows;
    int selected_row = 1;

    void set_panel_visible(Panel, bool) override {}
    void set_button_enabled(ModeButton, bool) override {}
    void add_log_line(const std::string& line) override { log.push_back(line); }
    void show_message(const std::string& text) override { log.push_back("[box] " + text); }
    void show_caster_grid(const CasterRow&, const std::vector<CasterRow>& shown) override {
        rows = shown;
    }
    void set_meter_text(const std::string&) override {}
    void set_timer(WindowTimer timer, bool enabled, int interval_ms) override {
        timers[timer == WindowTimer::kPoll ? 0 : 1] = {enabled, interval_ms};
    }
    std::string cast_name() const override { return "bench cast"; }
    std::string track_text() const override { return {}; }
    int selected_grid_row() const override { return selected_row; }
    char decimal_separator() const override { return '.'; }
    bool said(const std::string& line) const {
        return std::find(log.begin(), log.end(), line) != log.end();
    }
};

// One simulated installation folder below which the client keeps its files.
struct Install {
    fs::path root;
    ClientPaths paths;
    explicit Install(const std::string& name) {
        root = fs::temp_directory_path() /
               ("kavro-gui-bench-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(root);
        fs::create_directories(root / "data" / "mpr");
        fs::create_directories(root / "kavro");
        paths.simulator = root / "LFS.exe";
        paths.watch_replay = root / "data" / "mpr" / "kavro.mpr";
        paths.cast.source = root / "data" / "mpr" / "temp_mpr.mpr";
        paths.cast.copy = root / "kavro" / "kavro_cast.mpr";
    }
    ~Install() { fs::remove_all(root); }
};

// The client with its window and connection, and the event loop's two timers.
class Client {
  public:
    explicit Client(const std::string& name, std::uint16_t port) : install_(name) {
        tcp_.RemoteHost = "127.0.0.1";
        tcp_.RemotePort = std::to_string(port);
        core_.emplace(view_, tcp_, install_.paths);
    }
    BenchView& view() { return view_; }
    ClientCore& core() { return *core_; }
    const fs::path& watch_file() const { return install_.paths.watch_replay; }

    // Runs a handler as the event loop would, and keeps the longest time one took.
    void handle(const std::function<void()>& handler) {
        const auto start = Clock::now();
        handler();
        longest_ms_ = std::max(longest_ms_, ms_between(start, Clock::now()));
    }
    // Plays the timers for at most `seconds`, or until `done` says so.
    bool run(double seconds, const std::function<bool()>& done = {}) {
        const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                           std::chrono::duration<double>(seconds));
        auto next_poll = Clock::now(), next_meter = Clock::now() + std::chrono::seconds(1);
        while (Clock::now() < until) {
            if (done && done()) return true;
            const auto& poll = view_.timers[0];
            const auto& meter = view_.timers[1];
            Clock::time_point wake = until;
            if (poll.enabled) wake = std::min(wake, next_poll);
            if (meter.enabled) wake = std::min(wake, next_meter);
            std::this_thread::sleep_until(wake);
            const auto now = Clock::now();
            if (poll.enabled && now >= next_poll) {
                handle([this] { core_->Timer1Timer(); });
                next_poll = Clock::now() + std::chrono::milliseconds(view_.timers[0].interval_ms);
            }
            if (meter.enabled && now >= next_meter) {
                handle([this] { core_->Timer2Timer(); });
                next_meter = Clock::now() + std::chrono::milliseconds(1000);
            }
            if (!poll.enabled) next_poll = Clock::now();
            if (!meter.enabled) next_meter = Clock::now() + std::chrono::seconds(1);
        }
        return done && done();
    }
    double longest_ms() const { return longest_ms_; }

  private:
    Install install_;
    BenchView view_;
    TcpConnection tcp_;
    std::optional<ClientCore> core_;
    double longest_ms_ = 0;
};

// A socket bound to a port of 127.0.0.1 the system picks, listening with `backlog` unless that
// is negative; `port` is where.
int loopback_socket(int backlog, std::uint16_t& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), length);
    if (backlog >= 0) ::listen(s, backlog);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return s;
}

// A loopback port whose backlog is full and never accepted: SYNs to it are dropped.
struct BlackHole {
    std::uint16_t port = 0;
    int listener = loopback_socket(0, port);
    std::vector<int> fillers;
    BlackHole() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        for (int i = 0; i < 4; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
            ::fcntl(filler, F_SETFL, O_NONBLOCK);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers.push_back(filler);
        }
    }
    ~BlackHole() {
        for (const int filler : fillers) ::close(filler);
        ::close(listener);
    }
};

// A port nothing listens on: connects to it are refused at once.
std::uint16_t closed_port() {
    std::uint16_t port = 0;
    ::close(loopback_socket(-1, port));
    return port;
}

// A relay that answers every hello with ERR "The relay is full." and closes.
class FullRelay {
  public:
    FullRelay() : listener_(loopback_socket(16, port_)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~FullRelay() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    std::uint16_t port() const { return port_; }

  private:
    void serve() {
        while (!stop_) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            char hello[52];
            std::size_t got = 0;
            while (got < sizeof hello) {
                const auto n = ::recv(client, hello + got, sizeof hello - got, 0);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            const std::string text = "The relay is full.";
            std::string message = "ERR0";
            message += static_cast<char>((text.size() + 1) & 0xff);
            message += static_cast<char>((text.size() + 1) >> 8);
            message += text;
            message += '\0';
            ::send(client, message.data(), message.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }
    std::uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A child program whose first output line says where it listens (the fault forwarder).
class Child {
  public:
    Child(const std::string& program, const std::vector<std::string>& arguments) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        output_ = out[0];
    }
    ~Child() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        ::close(output_);
    }
    std::uint16_t port() {
        std::string line;
        char c = 0;
        while (::read(output_, &c, 1) == 1 && c != '\n') line += c;
        const auto colon = line.rfind(':');
        if (colon == std::string::npos) throw std::runtime_error("no port from " + line);
        return static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
    }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

void row(const char* what, double longest_ms, const std::string& figure) {
    std::printf("%-44s %10.1f   %s\n", what, longest_ms, figure.c_str());
    std::fflush(stdout);
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// Watch LFS, pick `name` from the grid once it shows, Watch.
bool watch(Client& client, const std::string& name, double seconds) {
    client.handle([&] { client.core().btn_watchClick(); });
    const bool listed = client.run(seconds, [&] {
        const auto& rows = client.view().rows;
        return std::any_of(rows.begin(), rows.end(),
                           [&](const CasterRow& r) { return r[0] == name; });
    });
    if (!listed) return false;
    const auto& rows = client.view().rows;
    client.view().selected_row = static_cast<int>(
        std::find_if(rows.begin(), rows.end(), [&](const CasterRow& r) { return r[0] == name; }) -
        rows.begin() + 1);
    client.handle([&] { client.core().btn_watch1Click(); });
    return true;
}

std::uintmax_t size_of(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

}  // namespace

int main(int argc, char** argv) {
    std::string relay_program = KAVRO_RELAY_PROGRAM;
    std::string forwarder_program = KAVRO_FORWARDER_PROGRAM;
    std::size_t mib = 48;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--relay") relay_program = argv[i + 1];
        if (option == "--forwarder") forwarder_program = argv[i + 1];
        if (option == "--mib") mib = static_cast<std::size_t>(std::stoul(argv[i + 1]));
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::printf("%-44s %10s   %s\n", "case", "longest ms", "figure");
    try {
        {
            BlackHole hole;
            Client client("black-hole", hole.port);
            client.handle([&] { client.core().btn_watchClick(); });
            client.run(7);
            row("relay a black hole: Watch LFS, 7 s", client.longest_ms(),
                client.view().said("Cannot reach the relay.") ? "said it cannot reach the relay"
                                                              : "no notice");
        }
        {
            Client client("refused", closed_port());
            client.handle([&] { client.core().btn_watchClick(); });
            client.run(2);
            row("relay refuses connections: Watch LFS, 2 s", client.longest_ms(),
                client.view().said("Cannot reach the relay.") ? "said it cannot reach the relay"
                                                              : "no notice");
        }
        {
            FullRelay full;
            Client client("full", full.port());
            client.handle([&] { client.core().btn_watchClick(); });
            client.run(2);
            row("relay answers ERR: Watch LFS, 2 s", client.longest_ms(),
                client.view().said("[box] The relay is full.") ? "showed the relay's text"
                                                               : "no box");
        }
        const std::size_t blocks = (mib << 20) / wire::kBlockSize;
        const bench::Bytes recording =
            bench::pattern(wire::kReplayHeaderSize + blocks * wire::kBlockSize, 11);
        bench::RelayProcess relay(relay_program,
                                  {"--listen", "127.0.0.1:0", "--data-dir", "off", "--http", "off",
                                   "--max-replay-bytes", std::to_string(recording.size() + 4096)},
                                  "/dev/null");
        {
            // A 2 MiB cast watched over a 1 Mbit/s path: the window's ticks while it trickles in.
            const bench::Bytes small(recording.begin(),
                                     recording.begin() + wire::kReplayHeaderSize + (512 << 12));
            bench::PlainPeer caster(relay.port());
            caster.cast("slow path", small);
            Child forwarder(
                forwarder_program,
                {"--target", "127.0.0.1:" + std::to_string(relay.port()), "--rate", "1000000"});
            Client client("slow", forwarder.port());
            const auto start = Clock::now();
            const bool got = watch(client, "slow path", 30) && client.run(60, [&] {
                return size_of(client.watch_file()) >= small.size();
            });
            row("1 Mbit/s path: a 2 MiB cast watched", client.longest_ms(),
                got ? "whole after " + seconds_text(ms_between(start, Clock::now()) / 1000)
                    : "not whole in time");
        }
        {
            // 64 MiB held while the file took no writes (a folder in its place), written back.
            Install install("held");
            ReplayWriter writer(install.paths.watch_replay, [](const std::string&) {});
            writer.write_header({recording.data(), wire::kReplayHeaderSize});
            writer.flush();
            fs::remove(install.paths.watch_replay);
            fs::create_directory(install.paths.watch_replay);
            const std::size_t piece = 16384;
            for (std::size_t at = wire::kReplayHeaderSize; writer.held_bytes() < (64u << 20);
                 at += piece) {
                if (at + piece > recording.size()) at = wire::kReplayHeaderSize;
                writer.append_data({recording.data() + at, piece});
                writer.flush();
            }
            const std::size_t held = writer.held_bytes();
            fs::remove(install.paths.watch_replay);
            {
                std::FILE* f = std::fopen(install.paths.watch_replay.c_str(), "wb");
                std::fwrite(recording.data(), 1, wire::kReplayHeaderSize, f);
                std::fclose(f);
            }
            double longest = 0;
            int ticks = 0;
            while (writer.held_bytes() > 0 && ticks < 100000) {
                const auto start = Clock::now();
                writer.flush();
                longest = std::max(longest, ms_between(start, Clock::now()));
                ++ticks;
            }
            char figure[96];
            std::snprintf(figure, sizeof figure, "%.1f MiB held, written back in %d ticks",
                          static_cast<double>(held) / (1 << 20), ticks);
            row("64 MiB held data written back", longest, figure);
        }
        {
            bench::PlainPeer caster(relay.port());
            caster.cast("late join", recording);
            double plain = 0;
            {
                bench::PlainPeer reader(relay.port());
                reader.watch("late join");
                const auto plain_start = Clock::now();
                reader.read_replay(recording.size());
                plain = ms_between(plain_start, Clock::now()) / 1000;
            }
            Client client("late", relay.port());
            const auto start = Clock::now();
            std::optional<Clock::time_point> header_at;
            const bool got = watch(client, "late join", 30) && client.run(120, [&] {
                const auto size = size_of(client.watch_file());
                if (!header_at && size >= wire::kReplayHeaderSize) header_at = Clock::now();
                return size >= recording.size();
            });
            const auto end = Clock::now();
            const double took = ms_between(start, end) / 1000;
            const double caught_up = header_at ? ms_between(*header_at, end) / 1000 : 0;
            char figure[192];
            std::snprintf(figure, sizeof figure,
                          "%s: header to whole %.3f s, plain TCP %.3f s, ratio %.1f "
                          "(%.2f s from the click, the protocol's slow polls included)",
                          got ? "whole" : "NOT whole", caught_up, plain, caught_up / plain, took);
            char what[64];
            std::snprintf(what, sizeof what, "late join of %zu MiB through the relay", mib);
            row(what, client.longest_ms(), figure);
            for (const auto& line : client.view().log) {
                if (line.rfind("Catching up", 0) == 0 || line.rfind("Caught up", 0) == 0)
                    std::printf("    %s\n", line.c_str());
            }
        }
        relay.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gui_thread_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
