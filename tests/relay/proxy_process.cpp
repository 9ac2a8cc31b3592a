#include "tests/relay/proxy_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "tests/relay/test_client.h"
#include "tests/support/loopback_peer.h"

extern char** environ;

namespace kavro::relay::testing {

namespace {

bool accepts_on(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string text_of(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ProxyProcess::ProxyProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::filesystem::path& folder, std::uint16_t port)
    : port_(port) {
    if (::access(program.c_str(), X_OK) != 0) {
        reason_ = program + " is not installed (scripts/setup installs it)";
        return;
    }
    const auto log = folder / (std::filesystem::path(program).filename().string() + ".log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& each : all) argv.push_back(each.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        reason_ = program + " could not be started";
        return;
    }
    bool exited = false;
    const bool listening = becomes([&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited = true;
            return true;
        }
        return accepts_on(port_);
    });
    if (exited) {
        pid_ = -1;
        reason_ = program + " exited at start: " + text_of(log);
    } else if (!listening) {
        reason_ =
            program + " did not listen on 127.0.0.1:" + std::to_string(port_) + ": " + text_of(log);
    }
}

ProxyProcess::~ProxyProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!becomes([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10s)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
}

std::string nginx_config(const std::filesystem::path& folder, std::uint16_t port,
                         std::uint16_t relay_http_port) {
    const std::string dir = folder.string();
    std::ostringstream conf;
    // One process in the foreground, everything it writes in the test's folder.
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/nginx-error.log info;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n  access_log off;\n"
         << "  client_body_temp_path " << dir << "/body;\n  proxy_temp_path " << dir
         << "/proxy;\n  fastcgi_temp_path " << dir << "/fastcgi;\n  uwsgi_temp_path " << dir
         << "/uwsgi;\n  scgi_temp_path " << dir << "/scgi;\n"
         << "  server {\n    listen 127.0.0.1:" << port
         << ";\n"
         // The recipe in docs/relay-operations.md, with the relay's port the test's.
         << "    location /live/ {\n"
         << "      proxy_pass http://127.0.0.1:" << relay_http_port << "/;\n"
         << "      proxy_http_version 1.1;\n"
         << "      proxy_set_header Connection \"\";\n"
         << "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
         << "      proxy_buffering off;\n"
         << "    }\n"
         << "    location = /live/metrics { return 404; }\n"
         << "  }\n}\n";
    return conf.str();
}

std::string haproxy_config(std::uint16_t port, std::uint16_t relay_port,
                           const std::string& send_proxy) {
    std::ostringstream conf;
    conf << "global\n  maxconn 256\n"
         << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 1h\n"
         << "  timeout server 1h\n  timeout tunnel 1h\n"
         << "frontend kavro_relay\n  bind 127.0.0.1:" << port << "\n"
         << "  default_backend kavro_relay\n"
         << "backend kavro_relay\n  server relay 127.0.0.1:" << relay_port << " " << send_proxy
         << "\n";
    return conf.str();
}

}  // namespace kavro::relay::testing
