#include "bench/relay/relay_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kavro::bench {

RelayProcess::RelayProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& log_path) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (error != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start " + program);
    }
    // The first line is "listening on 127.0.0.1:PORT".
    const auto read_line = [&] {
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
        return line;
    };
    const std::string line = read_line();
    const auto colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        close(out[0]);
        stop();
        throw std::runtime_error("relay said \"" + line + "\" instead of its address");
    }
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
    // With an HTTP side, the second line is "http on 127.0.0.1:PORT".
    const auto http = std::find(arguments.begin(), arguments.end(), "--http");
    if (http != arguments.end() && http + 1 != arguments.end() && http[1] != "off") {
        const std::string second = read_line();
        if (second.rfind("http on ", 0) == 0) {
            http_port_ =
                static_cast<std::uint16_t>(std::stoi(second.substr(second.rfind(':') + 1)));
        }
    }
    close(out[0]);
}

RelayProcess::~RelayProcess() { stop(); }

double cpu_seconds_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::uint64_t status_kib_of(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
    }
    return 0;
}

std::uint64_t rss_kib_of(pid_t pid) { return status_kib_of(pid, "VmRSS"); }

int stop_process(pid_t pid) {
    if (pid <= 0) return 0;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

int RelayProcess::stop() {
    const int status = stop_process(pid_);
    pid_ = -1;
    return status;
}

}  // namespace kavro::bench
