#include "relay/relay_server.h"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "relay/session.h"

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

}  // namespace

struct RelayServer::Loop {
    explicit Loop(boost::asio::io_context& context) : io(context), tick_timer(context) {}
    std::unique_ptr<boost::asio::io_context> owned;  // every loop's but the first
    boost::asio::io_context& io;
    std::unique_ptr<Relay> relay;
    boost::asio::steady_timer tick_timer;
    bool stopped = false;  // a tick already due when the timer was cancelled does not re-arm it
    std::thread thread;
};

class RelayServer::AsioLoops final : public EventLoops {
  public:
    explicit AsioLoops(const std::vector<std::unique_ptr<Loop>>& loops) : loops_(loops) {}
    std::size_t count() const override { return loops_.size(); }
    void post(std::size_t index, std::function<void()> work) override {
        boost::asio::post(loops_[index]->io, std::move(work));
    }

  private:
    const std::vector<std::unique_ptr<Loop>>& loops_;
};

RelayServer::RelayServer(boost::asio::io_context& io, const RelayOptions& options, LogSink log)
    : acceptor_(io), accept_retry_timer_(io), tick_period_(tick_period_for(options)) {
    const std::size_t count = std::max<std::size_t>(1, options.threads);
    loops_.push_back(std::make_unique<Loop>(io));
    for (std::size_t i = 1; i < count; ++i) {
        auto owned = std::make_unique<boost::asio::io_context>(1);
        auto loop = std::make_unique<Loop>(*owned);
        loop->owned = std::move(owned);
        loops_.push_back(std::move(loop));
    }
    event_loops_ = std::make_unique<AsioLoops>(loops_);
    shared_ = std::make_unique<RelayShared>(options, std::move(log), RelayShared::ClockSource{},
                                            *event_loops_);
    for (std::size_t i = 0; i < count; ++i) {
        loops_[i]->relay = std::make_unique<Relay>(*shared_, i);
    }
}

RelayServer::~RelayServer() {
    for (std::size_t i = 1; i < loops_.size(); ++i) {
        Loop& loop = *loops_[i];
        if (!loop.thread.joinable()) continue;
        if (!stopped_) loop.io.stop();  // never stopped: nothing will end these loops' work
        loop.thread.join();
    }
    // The relays go before the casts and counts they share.
    for (auto& loop : loops_) loop->relay.reset();
}

void RelayServer::start() {
    const auto& options = shared_->options;
    const boost::asio::ip::tcp::endpoint endpoint(
        boost::asio::ip::make_address(options.listen_host), options.listen_port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    accept();
    for (std::size_t i = 0; i < loops_.size(); ++i) {
        Loop& loop = *loops_[i];
        arm_tick(loop);
        if (i > 0) loop.thread = std::thread([&loop] { loop.io.run(); });
    }
}

Relay& RelayServer::relay(std::size_t index) { return *loops_[index]->relay; }

boost::asio::ip::tcp::endpoint RelayServer::local_endpoint() const {
    return acceptor_.local_endpoint();
}

void RelayServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_timer_.cancel();
    // The first loop ends the casts; every loop closes its own connections.
    for (auto& loop : loops_) {
        Loop* each = loop.get();
        boost::asio::post(each->io, [each] {
            each->stopped = true;
            each->tick_timer.cancel();
            each->relay->stop();
        });
    }
    loops_.front()->relay->log("relay stopped");
}

void RelayServer::accept() {
    // Each new socket belongs to the next loop in turn, which admits it.
    Loop& target = *loops_[next_loop_];
    next_loop_ = (next_loop_ + 1) % loops_.size();
    acceptor_.async_accept(target.io, [this, &target](const boost::system::error_code& error,
                                                      boost::asio::ip::tcp::socket socket) {
        if (stopped_) return;
        if (!error) {
            boost::asio::post(target.io, [&target, socket = std::move(socket)]() mutable {
                start_session(std::move(socket), *target.relay);
            });
            accept();
            return;
        }
        // Out of file descriptors, typically: wait a moment rather than spin.
        loops_.front()->relay->log("accepting a connection failed: " + error.message());
        accept_retry_timer_.expires_after(std::chrono::milliseconds(100));
        accept_retry_timer_.async_wait([this](const boost::system::error_code& wait_error) {
            if (!wait_error && !stopped_) accept();
        });
    });
}

void RelayServer::arm_tick(Loop& loop) {
    loop.tick_timer.expires_after(tick_period_);
    loop.tick_timer.async_wait([this, &loop](const boost::system::error_code& error) {
        if (error || loop.stopped) return;
        loop.relay->tick(std::chrono::steady_clock::now());
        arm_tick(loop);
    });
}

}  // namespace kavro::relay
