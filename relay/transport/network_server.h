// The listening side of the relay: accepts connections and hands them out round-robin to its
// event loops, and runs each loop's periodic checks (idle time-out, keep-alive, stalled writes;
// on the first loop also grace periods and delayed blocks). The first loop is the io_context
// it is given, run by the caller; with --threads N the server makes N - 1 more, each on a
// thread of its own. Each loop has its own RelayCore; they share the casts and the limits.
//
// With a data folder the server owns the store: it opens it (and restores the casts that were
// live) before it listens, and closes it, syncing everything, once the loops are done.
//
// The HTTP side runs on the first loop. A request that needs the relay's state reads the casts
// and connection counts from the shared directory (under its lock, as the rules do), and gathers
// each other loop's counters and byte rates by posting to that loop and back: counters are only
// ever touched by the loop that owns them.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "relay/admin/operator_actions.h"
#include "relay/base/relay_log.h"
#include "relay/base/relay_options.h"
#include "relay/cast/event_loops.h"
#include "relay/cast/relay_core.h"
#include "relay/cast/shared_relay_state.h"
#include "relay/cast/status_snapshot.h"
#include "relay/http/http_server.h"
#include "relay/store/recording_store.h"
#include "relay/transport/throughput_meter.h"

namespace kavro::relay {

// A stop closes whatever connections are left this long after it began, so that SIGINT and
// SIGTERM end the relay within five seconds, the data folder synced, whatever watchers do.
inline constexpr std::chrono::seconds kStopLimit{4};

class NetworkServer : private HttpHost {
  public:
    // Opens the data folder when the options name one; throws DataFolderError when it cannot
    // be used (the program then exits with status 2, before it listens).
    NetworkServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log);
    // Waits for the other loops' threads, which end once stop() has run, then closes the
    // store: everything queued is written and synced.
    ~NetworkServer();
    NetworkServer(const NetworkServer&) = delete;
    NetworkServer& operator=(const NetworkServer&) = delete;

    // Binds and listens on the configured address, and on the HTTP address unless HTTP is off,
    // then starts the other loops' threads; throws std::runtime_error saying which address
    // when it cannot listen.
    void start();
    // The address actually bound (the port the OS chose when 0 was asked for).
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    bool serves_http() const { return http_ != nullptr; }
    boost::asio::ip::tcp::endpoint http_endpoint() const;
    // The admin API's own listener: on with a token unless --admin off.
    bool serves_admin() const { return admin_http_ != nullptr; }
    boost::asio::ip::tcp::endpoint admin_endpoint() const;
    // On the first loop: stops accepting, ends every cast and closes every connection on every
    // loop, each watcher once it has the whole stream of its cast (or stops taking bytes);
    // each loop's run() then returns once nothing is left to do.
    void stop();

    std::size_t loop_count() const { return loops_.size(); }
    // The data folder's store; null without one.
    RecordingStore* store() { return store_.get(); }
    // On the first loop: reads the reserved names and the bans again (SIGHUP). A file that
    // cannot be read is logged and the relay keeps what it had.
    void reload();
    // The relay of loop `index`, to be used on that loop only.
    RelayCore& relay(std::size_t index = 0);

  private:
    struct Loop;
    class AsioLoops;

    void accept();
    void arm_tick(Loop& loop);
    // The shared state, the first loop's counters and what only the server knows.
    StatusSnapshot first_loop_status();
    // With a broadcast delay: the bytes of each live cast's recording its watchers may have, by
    // recording id. Empty without a delay (nothing is held back).
    std::map<std::uint64_t, std::uint64_t> released_bytes_by_recording();

    // HttpHost, on the first loop
    void request_status(std::function<void(StatusSnapshot)> done) override;
    bool open_http_connection() override;
    void close_http_connection() override;
    bool keeps_recordings() const override { return store_ != nullptr; }
    ArchivePage archive(const ArchiveQuery& query) override;
    std::optional<ReplayFile> replay(std::uint64_t id) override;
    void admin(AdminCommand command, std::function<void(AdminAnswer)> done) override;
    bool banned(const boost::asio::ip::address& address) override;

    const RelayOptions options_;
    std::vector<std::unique_ptr<Loop>> loops_;
    std::unique_ptr<AsioLoops> event_loops_;
    std::unique_ptr<RecordingStore> store_;  // outlives the casts, whose recordings it keeps
    std::unique_ptr<SharedRelayState> shared_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer accept_retry_timer_;
    Duration tick_period_;
    std::size_t next_loop_ = 0;
    bool stopped_ = false;
    bool accept_failing_ = false;  // the last accept failed (out of file descriptors, say)
    std::optional<std::chrono::steady_clock::time_point> accept_failure_logged_;
    std::uint64_t accept_failures_unlogged_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::unique_ptr<HttpServer> http_;
    std::unique_ptr<HttpServer> admin_http_;
    std::unique_ptr<OperatorActions> operator_actions_;  // on the first loop
};

}  // namespace kavro::relay
