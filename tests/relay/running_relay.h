// A real relay on 127.0.0.1 and a port the OS picks, running on its own thread for one test,
// with its log lines kept for the test to look at.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/base/relay_options.h"
#include "relay/transport/network_server.h"
#include "tests/relay/test_client.h"

namespace kavro::relay::testing {

// Event loops the relay under test runs on: KAVRO_RELAY_TEST_THREADS, 1 when unset. CTest runs
// the relay's tests once with 1 and once with 4.
std::size_t test_threads();
// A relay on 127.0.0.1, a port the OS picks, and test_threads() loops, that lets one address
// cast and watch as much as the relay allows in all.
RelayOptions test_options();

class RunningRelay {
  public:
    explicit RunningRelay(RelayOptions options = test_options());
    ~RunningRelay();

    std::uint16_t port() const { return port_; }
    // Asks the relay to stop, as SIGTERM does, without waiting for it.
    void stop();
    // Connections the relay has open, in all and from 127.0.0.1, asked on its own thread.
    std::size_t connection_count();
    std::size_t connections_from_loopback();
    std::uint16_t http_port() const { return http_port_; }
    // The admin API's own port (0 when it does not listen: no token, or --admin off).
    std::uint16_t admin_port() const { return admin_port_; }
    // True once a log line contains every one of `parts`.
    bool logged(std::initializer_list<std::string> parts,
                std::chrono::milliseconds deadline = kDeadline);
    // Every log line so far.
    std::vector<std::string> lines();

  private:
    boost::asio::io_context io_{1};
    std::unique_ptr<NetworkServer> server_;
    std::uint16_t port_ = 0;
    std::uint16_t http_port_ = 0;
    std::uint16_t admin_port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// A cast with one watcher that is already streaming, to show that trouble elsewhere leaves
// them alone.
class Bystanders {
  public:
    explicit Bystanders(std::uint16_t port);
    // The caster uploads one more block and the watcher gets it, byte-exact.
    bool undisturbed();

  private:
    Recording recording_{99};
    TestClient caster_;
    TestClient watcher_;
    ReplayReader reader_;
    std::size_t blocks_ = 0;
};

}  // namespace kavro::relay::testing
