#include "tests/relay/running_relay.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <cstdlib>

#include "wire/wire_format.h"

namespace kavro::relay::testing {

std::size_t test_threads() {
    const char* text = std::getenv("KAVRO_RELAY_TEST_THREADS");
    return text != nullptr && std::atoi(text) > 0 ? static_cast<std::size_t>(std::atoi(text)) : 1;
}

RelayOptions test_options() {
    RelayOptions options;
    options.listen_host = "127.0.0.1";
    options.listen_port = 0;
    options.threads = test_threads();
    options.http_host = "127.0.0.1";
    options.http_port = 0;
    options.admin_port = 0;
    // Most tests cast and watch from 127.0.0.1 alone; the limits per address are tested from
    // addresses of their own, with the relay's defaults.
    options.casts_per_address = options.max_casts;
    options.watchers_per_address = options.connections_per_address;
    // Likewise new recordings: their limits are tried on the relay's own clock and on the
    // program (relay_abuse_test).
    options.cast_recordings_per_minute = 0;
    options.address_recordings_per_hour = 0;
    return options;
}

RunningRelay::RunningRelay(RelayOptions options) {
    server_ = std::make_unique<NetworkServer>(io_, options, [this](const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    });
    server_->start();
    port_ = server_->local_endpoint().port();
    if (server_->serves_http()) http_port_ = server_->http_endpoint().port();
    if (server_->serves_admin()) admin_port_ = server_->admin_endpoint().port();
    thread_ = std::thread([this] { io_.run(); });
}

RunningRelay::~RunningRelay() {
    boost::asio::post(io_, [this] { server_->stop(); });
    thread_.join();
    // Waits for the relay's other loops, which may still log, while the log is still here.
    server_.reset();
}

void RunningRelay::stop() {
    boost::asio::post(io_, [this] { server_->stop(); });
}

std::size_t RunningRelay::connection_count() {
    return boost::asio::post(
               io_, boost::asio::use_future([this] { return server_->relay().connection_count(); }))
        .get();
}

std::size_t RunningRelay::connections_from_loopback() {
    return boost::asio::post(io_, boost::asio::use_future([this] {
                                 return server_->relay().connections_from(
                                     boost::asio::ip::make_address("127.0.0.1"));
                             }))
        .get();
}

std::vector<std::string> RunningRelay::lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool RunningRelay::logged(std::initializer_list<std::string> parts,
                          std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] {
        for (const std::string& line : lines_) {
            bool all = true;
            for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
            if (all) return true;
        }
        return false;
    });
}

Bystanders::Bystanders(std::uint16_t port) : caster_(port), watcher_(port) {
    EXPECT_TRUE(caster_.cast("bystander", "BL1"));
    EXPECT_TRUE(caster_.send(recording_.header_upload()));
    EXPECT_TRUE(watcher_.watch("bystander"));
    EXPECT_TRUE(undisturbed());
}

bool Bystanders::undisturbed() {
    if (!caster_.send(block_upload(recording_.block(blocks_)))) return false;
    ++blocks_;
    const std::size_t size = wire::kReplayHeaderSize + blocks_ * wire::kBlockSize;
    return reader_.read_until(watcher_, size) && reader_.file() == recording_.file(blocks_) &&
           reader_.headers_seen == 1;
}

}  // namespace kavro::relay::testing
