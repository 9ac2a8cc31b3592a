// The relay's HTTP side: accepts connections on its own port, on the relay's event loop, reads
// each request with Beast within a size and time limit, and answers from a snapshot of the
// relay. HTTP has places of its own (--max-http-connections, and a few per address), apart
// from the relay's clients, so the operator can still look in when clients fill the relay. One
// request is read at a time, and the next only once the client has taken the answer.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "relay/base/relay_log.h"
#include "relay/base/relay_options.h"
#include "relay/base/trusted_network.h"
#include "relay/cast/status_snapshot.h"
#include "relay/http/admin_routes.h"
#include "relay/http/http_routes.h"
#include "relay/policy/log_limiter.h"
#include "relay/store/recording_row.h"

namespace kavro::relay {

// What the HTTP side needs from the relay it reports on.
class HttpHost {
  public:
    // Calls `done` on the HTTP side's loop with a snapshot taken on the loop that owns the
    // relay's state. With one loop that is the same loop and `done` runs at once; a relay with
    // several loops gathers each loop's snapshot by posting to it.
    virtual void request_status(std::function<void(StatusSnapshot)> done) = 0;
    // Counts an open HTTP connection (the HTTP side keeps its own limits); false refuses it.
    virtual bool open_http_connection() = 0;
    virtual void close_http_connection() = 0;
    // Whether the relay keeps its recordings in a data folder.
    virtual bool keeps_recordings() const = 0;
    // One page of the recordings in the data folder, newest first; none without one. A live
    // recording shows only what its watchers may have (the broadcast delay holds back the
    // rest).
    virtual ArchivePage archive(const ArchiveQuery& query) = 0;
    // Recording `id` to download, as far as its watchers may have it; nothing when there is
    // none (or no data folder).
    virtual std::optional<ReplayFile> replay(std::uint64_t id) = 0;
    // Carries out an admin command and calls `done` on the HTTP side's loop with the answer.
    virtual void admin(AdminCommand command, std::function<void(AdminAnswer)> done) = 0;
    // Whether the operator has banned `address` (as the relay's own port does).
    virtual bool banned(const boost::asio::ip::address& address) = 0;

  protected:
    ~HttpHost() = default;
};

class HttpSession;

// The public side serves the page, the feeds, the downloads, the metrics and the health
// check, never the admin API; the admin side serves the admin API alone, on a listener of its
// own that a public reverse proxy is never pointed at.
enum class HttpRole { kPublic, kAdmin };

struct HttpSettings {
    Duration request_timeout = std::chrono::seconds(10);
    std::size_t max_connections = 64;
    std::size_t connections_per_address = 8;
    std::optional<std::string> admin_token;  // nothing: the admin paths answer 404
    HttpRole role = HttpRole::kPublic;
    // Public side: requests from these carry their client in X-Forwarded-For. A proxy's
    // connections are not capped per address; each request is, under its client's address,
    // while it is in progress, and bans apply to that address.
    std::vector<TrustedNetwork> trusted_proxies;
};

// What the HTTP side turned away, for the metrics; touched only on its loop.
struct HttpCounters {
    std::uint64_t refused_full = 0;
    std::uint64_t refused_address = 0;
    std::uint64_t admin_denied = 0;
    std::uint64_t refused_banned = 0;
};

class HttpServer {
  public:
    HttpServer(boost::asio::io_context& io, HttpHost& host, HttpSettings settings, LogSink log);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens; throws boost::system::system_error when it cannot.
    void start(const boost::asio::ip::tcp::endpoint& endpoint);
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    // Stops accepting and closes every HTTP connection.
    void stop();
    const HttpCounters& counters() const { return counters_; }
    // The admin token from now on (SIGHUP reads its file again); on the HTTP side's loop.
    void set_admin_token(std::string token) { settings_.admin_token = std::move(token); }

  private:
    friend class HttpSession;
    void accept();
    void opened(const std::shared_ptr<HttpSession>& session);
    void closed(HttpSession& session);
    // Counts a refusal, and logs it unless one of its kind was logged within a second.
    void log_refusal(std::size_t kind, std::uint64_t& count, const std::string& line);

    boost::asio::io_context& io_;
    HttpHost& host_;
    HttpSettings settings_;
    LogSink log_;
    std::size_t open_ = 0;  // with a place
    std::map<boost::asio::ip::address, std::size_t> per_address_;
    HttpCounters counters_;
    LogLimiter<4> refusal_log_;  // kinds: full, too many from an address, no token, banned
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer accept_retry_timer_;
    std::unordered_map<HttpSession*, std::weak_ptr<HttpSession>> sessions_;
    bool stopped_ = false;
};

}  // namespace kavro::relay
