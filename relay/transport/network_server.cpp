#include "relay/transport/network_server.h"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <stdexcept>

#include "relay/transport/network_server_loop.h"
#include "relay/transport/session.h"

namespace kavro::relay {

namespace {

// Often enough that time-outs, keep-alives and delayed blocks land close to when they are due,
// rarely enough to cost nothing with thousands of connections.
Duration tick_period_for(const RelayOptions& options) {
    Duration shortest = std::min(options.idle_timeout, options.keepalive_interval);
    if (options.broadcast_delay > Duration::zero()) {
        shortest = std::min(shortest, options.broadcast_delay);
    }
    return std::clamp<Duration>(shortest / 4, std::chrono::milliseconds(10),
                                std::chrono::milliseconds(250));
}

// A recording shows no more than its cast's watchers may have: an open one, and one a new
// header replaced while the delay still held part of it back. An open recording whose cast is
// not found (it is being replaced this instant) shows its header only.
void hold_back(RecordingRow& row, const std::map<std::uint64_t, std::uint64_t>& released) {
    const auto it = released.find(row.id);
    if (it != released.end()) {
        row.bytes = std::min<std::uint64_t>(row.bytes, it->second);
    } else if (state_is_open(row.state)) {
        row.bytes = std::min<std::uint64_t>(row.bytes, wire::kReplayHeaderSize);
    }
}

}  // namespace

class NetworkServer::AsioLoops final : public EventLoops {
  public:
    explicit AsioLoops(const std::vector<std::unique_ptr<Loop>>& loops) : loops_(loops) {}
    std::size_t count() const override { return loops_.size(); }
    void post(std::size_t index, std::function<void()> work) override {
        boost::asio::post(loops_[index]->io, std::move(work));
    }

  private:
    const std::vector<std::unique_ptr<Loop>>& loops_;
};

NetworkServer::NetworkServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log)
    : options_(options),
      acceptor_(io),
      accept_retry_timer_(io),
      tick_period_(tick_period_for(options)) {
    const std::size_t count = std::max<std::size_t>(1, options.threads);
    loops_.push_back(std::make_unique<Loop>(io));
    for (std::size_t i = 1; i < count; ++i) {
        auto owned = std::make_unique<boost::asio::io_context>(1);
        auto loop = std::make_unique<Loop>(*owned);
        loop->owned = std::move(owned);
        loops_.push_back(std::move(loop));
    }
    event_loops_ = std::make_unique<AsioLoops>(loops_);
    if (options.data_dir) {
        StoreOptions store_options;
        store_options.dir = *options.data_dir;
        store_options.max_replay_bytes = options.max_replay_bytes;
        store_options.retention.keep_for = std::chrono::duration_cast<WallClock::duration>(
            std::chrono::duration<double, std::ratio<86400>>(options.keep_days));
        store_options.retention.keep_bytes = options.keep_bytes;
        store_ = std::make_unique<RecordingStore>(std::move(store_options), log);
        log("recordings are kept in " + store_->dir().string());
    }
    shared_ = std::make_unique<SharedRelayState>(rule_settings(options), std::move(log),
                                                 SharedRelayState::ClockSource{}, *event_loops_,
                                                 store_.get());
    for (std::size_t i = 0; i < count; ++i) {
        loops_[i]->relay = std::make_unique<RelayCore>(*shared_, i);
    }
    std::vector<OperatorLoop> operator_loops;
    for (auto& loop : loops_) operator_loops.push_back({&loop->io, loop->relay.get()});
    operator_actions_ = std::make_unique<OperatorActions>(
        *shared_,
        OperatorActions::Files{options.reserved_names_file, options.data_dir,
                               options.admin_token_file},
        std::move(operator_loops));
    if (store_) {
        std::lock_guard lock(shared_->mutex);
        shared_->casts.restore(store_->take_restored(), std::chrono::steady_clock::now());
    }
}

NetworkServer::~NetworkServer() {
    for (std::size_t i = 1; i < loops_.size(); ++i) {
        Loop& loop = *loops_[i];
        if (!loop.thread.joinable()) continue;
        if (!stopped_) loop.io.stop();  // never stopped: nothing will end these loops' work
        loop.thread.join();
    }
    // Nothing reaches the disk's thread any more from here: what is queued is written, and
    // every file and the catalogue synced.
    if (store_) {
        shared_->log(store_->close() ? "the data folder is synced and closed"
                                     : "the data folder's files are synced, but its catalogue "
                                       "could not be written; the next start reconciles it");
    }
    // The relays go before the casts and counts they share.
    for (auto& loop : loops_) loop->relay.reset();
}

void NetworkServer::start() {
    const auto& options = options_;
    operator_actions_->load_reserved_names(true);
    operator_actions_->load_bans(true);
    try {
        const boost::asio::ip::tcp::endpoint endpoint(
            boost::asio::ip::make_address(options.listen_host), options.listen_port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen on " + options.listen_host + ":" +
                                 std::to_string(options.listen_port) + ": " + e.code().message());
    }
    RelayCore& first = *loops_.front()->relay;
    const auto log_on_first = [&first](const std::string& line) { first.log(line); };
    if (options.http_enabled) {
        try {
            HttpSettings settings;
            settings.request_timeout = options.http_request_timeout;
            settings.max_connections = options.max_http_connections;
            settings.connections_per_address = options.http_connections_per_address;
            settings.trusted_proxies = options.trusted_proxies;
            http_ = std::make_unique<HttpServer>(loops_.front()->io, static_cast<HttpHost&>(*this),
                                                 settings, log_on_first);
            http_->start({boost::asio::ip::make_address(options.http_host), options.http_port});
        } catch (const boost::system::system_error& e) {
            throw std::runtime_error("cannot serve HTTP on " + options.http_host + ":" +
                                     std::to_string(options.http_port) + ": " + e.code().message() +
                                     " (--http off runs the relay without it)");
        }
    }
    // The admin API listens on its own address only, never on --http: a reverse proxy that
    // publishes the HTTP side cannot publish it by mistake.
    if (options.admin_enabled && options.admin_token) {
        try {
            HttpSettings settings;
            settings.request_timeout = options.http_request_timeout;
            settings.max_connections = options.max_http_connections;
            settings.connections_per_address = options.http_connections_per_address;
            settings.admin_token = options.admin_token;
            settings.role = HttpRole::kAdmin;
            admin_http_ = std::make_unique<HttpServer>(
                loops_.front()->io, static_cast<HttpHost&>(*this), settings, log_on_first);
            admin_http_->start(
                {boost::asio::ip::make_address(options.admin_host), options.admin_port});
        } catch (const boost::system::system_error& e) {
            throw std::runtime_error("cannot serve the admin API on " + options.admin_host + ":" +
                                     std::to_string(options.admin_port) + ": " +
                                     e.code().message() +
                                     " (--admin off runs the relay without it)");
        }
    }
    accept();
    for (std::size_t i = 0; i < loops_.size(); ++i) {
        Loop& loop = *loops_[i];
        arm_tick(loop);
        if (i > 0) loop.thread = std::thread([&loop] { loop.io.run(); });
    }
}

RelayCore& NetworkServer::relay(std::size_t index) { return *loops_[index]->relay; }

void NetworkServer::reload() {
    if (stopped_) return;
    operator_actions_->reload(admin_http_.get());
}

void NetworkServer::admin(AdminCommand command, std::function<void(AdminAnswer)> done) {
    operator_actions_->run(std::move(command), stopped_, std::move(done));
}

boost::asio::ip::tcp::endpoint NetworkServer::http_endpoint() const {
    return http_ ? http_->local_endpoint() : boost::asio::ip::tcp::endpoint{};
}

boost::asio::ip::tcp::endpoint NetworkServer::admin_endpoint() const {
    return admin_http_ ? admin_http_->local_endpoint() : boost::asio::ip::tcp::endpoint{};
}

bool NetworkServer::banned(const boost::asio::ip::address& address) {
    std::lock_guard lock(shared_->mutex);
    return shared_->bans.bans(address, std::chrono::system_clock::now());
}

StatusSnapshot NetworkServer::first_loop_status() {
    const auto now = std::chrono::steady_clock::now();
    const Loop& first = *loops_.front();
    StatusSnapshot status = first.relay->status(now);
    status.version = KAVRO_RELAY_VERSION;
    status.uptime = now - started_;
    status.accepting =
        !stopped_ && !accept_failing_ && status.relay_connections < status.max_connections;
    status.max_http_connections = options_.max_http_connections;
    status.admin = operator_actions_->counters();
    if (http_) {
        const HttpCounters& http = http_->counters();
        status.counters.refusals[static_cast<std::size_t>(Refusal::kHttpFull)] += http.refused_full;
        status.counters.refusals[static_cast<std::size_t>(Refusal::kHttpAddressLimit)] +=
            http.refused_address;
        status.counters.refusals[static_cast<std::size_t>(Refusal::kBanned)] += http.refused_banned;
    }
    if (admin_http_) status.admin.denied = admin_http_->counters().admin_denied;
    status.received_bytes_per_second = first.throughput.received_per_second();
    status.sent_bytes_per_second = first.throughput.sent_per_second();
    if (store_) {
        status.store = store_->status();
        // The folder's total would show the progress of a cast whose watchers are held back.
        for (const auto& [id, released] : released_bytes_by_recording()) {
            const auto row = store_->row(id);
            if (!row) continue;
            const std::uint64_t hidden = row->bytes - std::min<std::uint64_t>(row->bytes, released);
            status.store.bytes -= std::min(status.store.bytes, hidden);
        }
    }
    return status;
}

std::map<std::uint64_t, std::uint64_t> NetworkServer::released_bytes_by_recording() {
    std::map<std::uint64_t, std::uint64_t> released;
    if (options_.broadcast_delay <= Duration::zero()) return released;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(shared_->mutex);
    for (const auto& [name, cast] : shared_->casts.casts()) {
        if (cast->recording_id() != 0) released[cast->recording_id()] = cast->released_bytes();
        const auto& superseded = cast->superseded();
        if (superseded && now < superseded->held_until) {
            released[superseded->recording_id] = superseded->released_bytes;
        }
    }
    return released;
}

ArchivePage NetworkServer::archive(const ArchiveQuery& query) {
    if (!store_) return {};
    ArchivePage page = store_->archive_page(query.before, query.limit);
    if (options_.broadcast_delay > Duration::zero()) {
        const auto released = released_bytes_by_recording();
        for (RecordingRow& row : page.rows) hold_back(row, released);
    }
    return page;
}

std::optional<ReplayFile> NetworkServer::replay(std::uint64_t id) {
    if (!store_) return std::nullopt;
    auto replay = store_->replay(id);
    if (replay && options_.broadcast_delay > Duration::zero()) {
        hold_back(replay->row, released_bytes_by_recording());
    }
    return replay;
}

void NetworkServer::request_status(std::function<void(StatusSnapshot)> done) {
    // What the other loops add: their counters and byte rates, each copied on its own loop.
    struct Gather {
        StatusSnapshot status;
        std::size_t waiting = 0;
        std::function<void(StatusSnapshot)> done;
        // The first loop keeps running until every answer is back, even while stopping.
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> first_loop;
    };
    Loop& first = *loops_.front();
    // Once stopping, the other loops may be done: the first loop's part is all there is.
    if (loops_.size() == 1 || stopped_) return done(first_loop_status());
    auto gather =
        std::make_shared<Gather>(Gather{first_loop_status(), loops_.size() - 1, std::move(done),
                                        boost::asio::make_work_guard(first.io)});
    for (std::size_t i = 1; i < loops_.size(); ++i) {
        Loop& loop = *loops_[i];
        boost::asio::post(loop.io, [&first, &loop, gather]() mutable {
            const RelayCounters counters = loop.relay->counters();
            const double received = loop.throughput.received_per_second();
            const double sent = loop.throughput.sent_per_second();
            // Moved on, so the gather (and the HTTP connection it answers) is only ever let go
            // on the first loop.
            boost::asio::post(first.io, [gather = std::move(gather), counters, received, sent] {
                gather->status.counters += counters;
                gather->status.received_bytes_per_second += received;
                gather->status.sent_bytes_per_second += sent;
                if (--gather->waiting > 0) return;
                auto answer = std::move(gather->done);
                gather->done = nullptr;
                gather->first_loop.reset();
                answer(std::move(gather->status));
            });
        });
    }
}

bool NetworkServer::open_http_connection() { return loops_.front()->relay->open_http_connection(); }

void NetworkServer::close_http_connection() { loops_.front()->relay->close_http_connection(); }

boost::asio::ip::tcp::endpoint NetworkServer::local_endpoint() const {
    return acceptor_.local_endpoint();
}

void NetworkServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_timer_.cancel();
    if (http_) http_->stop();
    if (admin_http_) admin_http_->stop();
    // Without a data folder the casts end here, first: each loop hears of it before its own
    // stop below, so its watchers are already taking the rest of their streams when it closes
    // everything else. With one, they are kept for the next start. A loop keeps ticking
    // (stall, closing and draining limits) until its last connection is gone.
    if (!store_) loops_.front()->relay->end_casts("the relay is stopping");
    for (auto& loop : loops_) {
        Loop* each = loop.get();
        boost::asio::post(each->io, [each] {
            each->stopped = true;
            each->relay->stop();
            if (!each->relay->has_connections()) {
                each->tick_timer.cancel();
                return;
            }
            // Whatever watchers do (read nothing, take a long tail), the stop is over in
            // seconds: then every connection left is closed and the loop ends.
            each->stop_timer.expires_after(kStopLimit);
            each->stop_timer.async_wait([each](const boost::system::error_code& error) {
                if (error) return;
                each->relay->close_everything("the relay is stopping and cannot wait longer");
                each->tick_timer.cancel();
            });
        });
    }
    loops_.front()->relay->log("relay stopped");
}

void NetworkServer::accept() {
    // Each new socket belongs to the next loop in turn, which admits it.
    Loop& target = *loops_[next_loop_];
    next_loop_ = (next_loop_ + 1) % loops_.size();
    acceptor_.async_accept(target.io, [this, &target](const boost::system::error_code& error,
                                                      boost::asio::ip::tcp::socket socket) {
        if (stopped_) return;
        if (!error) {
            accept_failing_ = false;
            boost::asio::post(target.io, [this, &target, socket = std::move(socket)]() mutable {
                start_session(std::move(socket), *target.relay, options_.trusted_proxies,
                              target.stopped);
            });
            accept();
            return;
        }
        // Out of file descriptors, typically: wait a moment rather than spin, and say so at
        // most once a second, with how many failures the line stands for.
        accept_failing_ = true;
        ++accept_failures_unlogged_;
        const auto now = std::chrono::steady_clock::now();
        if (!accept_failure_logged_ || now - *accept_failure_logged_ >= std::chrono::seconds(1)) {
            const std::uint64_t count = std::exchange(accept_failures_unlogged_, 0);
            accept_failure_logged_ = now;
            loops_.front()->relay->log(
                "accepting a connection failed: " + error.message() +
                (count > 1 ? " (" + std::to_string(count) + " times since the last such line)"
                           : ""));
        }
        accept_retry_timer_.expires_after(std::chrono::milliseconds(100));
        accept_retry_timer_.async_wait([this](const boost::system::error_code& wait_error) {
            if (!wait_error && !stopped_) accept();
        });
    });
}

void NetworkServer::arm_tick(Loop& loop) {
    loop.tick_timer.expires_after(tick_period_);
    loop.tick_timer.async_wait([this, &loop](const boost::system::error_code& error) {
        if (error) return;
        const auto now = std::chrono::steady_clock::now();
        loop.relay->tick(now);
        const RelayCounters& counters = loop.relay->counters();
        loop.throughput.sample(now, counters.bytes_received, counters.bytes_sent);
        if (!loop.stopped || loop.relay->has_connections()) {
            arm_tick(loop);
        } else {
            loop.stop_timer.cancel();
        }
    });
}

}  // namespace kavro::relay
