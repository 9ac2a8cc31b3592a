#include "tests/relay/relay_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "polling.h"

extern char** environ;

namespace kavro::relay::testing {

RelayProcess::RelayProcess(const std::vector<std::string>& arguments, bool log_to_closed_pipe) {
    start(arguments, {}, log_to_closed_pipe);
}

RelayProcess::RelayProcess(const std::vector<std::string>& arguments, const std::string& log_path) {
    start(arguments, log_path, false);
}

RelayProcess::RelayProcess(const std::vector<std::string>& arguments, UnreadLogPipe) {
    int log_ends[2];
    if (pipe2(log_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // The relay's standard error while it starts: the write end, dup'ed over fd 2 in the child.
    unread_log_ = log_ends[0];
    const int saved = dup(STDERR_FILENO);
    dup2(log_ends[1], STDERR_FILENO);
    start(arguments, {}, false);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(log_ends[1]);
}

std::size_t RelayProcess::unread_log_bytes() const {
    int waiting = 0;
    if (unread_log_ < 0 || ioctl(unread_log_, FIONREAD, &waiting) != 0) return 0;
    return static_cast<std::size_t>(waiting);
}

void RelayProcess::start(const std::vector<std::string>& arguments, const std::string& log_path,
                         bool log_to_closed_pipe) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
    int log_ends[2] = {-1, -1};
    if (log_to_closed_pipe && pipe(log_ends) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    if (log_to_closed_pipe) {
        posix_spawn_file_actions_adddup2(&actions, log_ends[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, log_ends[0]);
    }
    if (!log_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    const auto given = [&](const std::string& option) {
        return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
    };
    std::vector<std::string> all{KAVRO_RELAY_PROGRAM};
    // No HTTP side (its fixed default port would clash between tests run side by side), and no
    // data folder in the working directory.
    if (!given("--http")) all.insert(all.end(), {"--http", "off"});
    // With a token, the admin API's listener on a port the OS picks, never the fixed default.
    if (!given("--admin")) all.insert(all.end(), {"--admin", "127.0.0.1:0"});
    if (!given("--data-dir")) all.insert(all.end(), {"--data-dir", "off"});
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, KAVRO_RELAY_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    output_ = pipe_ends[0];
    if (log_to_closed_pipe) {
        close(log_ends[1]);
        close(log_ends[0]);  // the relay's log now writes into a pipe nobody reads
    }
    if (spawned != 0) throw std::runtime_error("cannot start " KAVRO_RELAY_PROGRAM);
}

RelayProcess::~RelayProcess() {
    if (!reaped_) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    close(output_);
    if (unread_log_ >= 0) close(unread_log_);
}

std::optional<std::string> RelayProcess::first_line() {
    std::string line;
    char c = 0;
    while (read(output_, &c, 1) == 1) {
        if (c == '\n') return line;
        line += c;
    }
    return std::nullopt;
}

std::uint16_t RelayProcess::port() {
    const auto line = first_line();
    const std::string prefix = "listening on 127.0.0.1:";
    if (!line || line->rfind(prefix, 0) != 0) return 0;
    return static_cast<std::uint16_t>(std::stoi(line->substr(prefix.size())));
}

std::uint16_t RelayProcess::http_port() {
    const auto line = first_line();
    const std::string prefix = "http on 127.0.0.1:";
    if (!line || line->rfind(prefix, 0) != 0) return 0;
    return static_cast<std::uint16_t>(std::stoi(line->substr(prefix.size())));
}

std::uint16_t RelayProcess::admin_port() {
    const auto line = first_line();
    const std::string prefix = "admin on 127.0.0.1:";
    if (!line || line->rfind(prefix, 0) != 0) return 0;
    return static_cast<std::uint16_t>(std::stoi(line->substr(prefix.size())));
}

std::optional<int> RelayProcess::end_with(int signal) {
    if (!reaped_) kill(pid_, signal);
    return exit_status();
}

bool RelayProcess::ends_within(std::chrono::milliseconds deadline) {
    bool lost = false;  // waitpid failed: the program is not ours to wait for any more
    const bool ended = test::wait_until(
        [&] {
            if (reaped_) return true;
            int status = 0;
            const pid_t waited = waitpid(pid_, &status, WNOHANG);
            if (waited == pid_) {
                reaped_ = true;
                status_ = status;
            }
            lost = waited < 0;
            return reaped_ || lost;
        },
        deadline, std::chrono::milliseconds(20));
    return ended && reaped_;
}

bool RelayProcess::signal(int number) const { return kill(pid_, number) == 0; }

std::optional<int> RelayProcess::exit_status() {
    if (!reaped_) {
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return std::nullopt;
        reaped_ = true;
        status_ = status;
    }
    if (!WIFEXITED(status_)) return std::nullopt;
    return WEXITSTATUS(status_);
}

std::size_t RelayProcess::memory_field(const std::string& name) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(name.size() + 1));
        std::size_t kilobytes = 0;
        fields >> kilobytes;
        return kilobytes * 1024;
    }
    return 0;
}

}  // namespace kavro::relay::testing
