#include "bench/relay/redis_server.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/relay/relay_process.h"

extern char** environ;

namespace kavro::bench {

namespace {

// A port free on 127.0.0.1 now: the OS picks it for a socket that is then closed.
std::uint16_t free_loopback_port() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return probe.local_endpoint().port();
}

bool answers_ping(std::uint16_t port) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    boost::system::error_code error;
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
    if (error) return false;
    const std::string ping = "*1\r\n$4\r\nPING\r\n";
    boost::asio::write(socket, boost::asio::buffer(ping), error);
    std::array<char, 7> reply{};
    if (!error) boost::asio::read(socket, boost::asio::buffer(reply), error);
    return !error && std::string(reply.data(), reply.size()) == "+PONG\r\n";
}

}  // namespace

RedisServer::RedisServer(const std::string& program, std::size_t clients)
    : port_(free_loopback_port()) {
    const std::vector<std::string> arguments{program,
                                             "--port",
                                             std::to_string(port_),
                                             "--bind",
                                             "127.0.0.1",
                                             "--save",
                                             "",
                                             "--appendonly",
                                             "no",
                                             "--maxclients",
                                             std::to_string(clients),
                                             "--client-output-buffer-limit",
                                             "pubsub 0 0 0",
                                             "--daemonize",
                                             "no",
                                             "--logfile",
                                             ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + program);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!answers_ping(port_)) {
        if (std::chrono::steady_clock::now() >= until) {
            stop();
            throw std::runtime_error(program + " did not answer on port " + std::to_string(port_));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

RedisServer::~RedisServer() { stop(); }

double RedisServer::cpu_seconds() const { return cpu_seconds_of(pid_); }

std::uint64_t RedisServer::rss_kib() const { return rss_kib_of(pid_); }

void RedisServer::stop() {
    stop_process(pid_);
    pid_ = -1;
}

}  // namespace kavro::bench
