// The relay's HTTP side: accepts connections on its own port, on the relay's event loop, reads
// each request with Beast within a size and time limit, and answers from a snapshot of the
// relay. Each HTTP connection holds a place under --max-connections while it is open.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "relay/relay_log.h"
#include "relay/relay_options.h"
#include "relay/rules/relay_status.h"
#include "relay/store/recording_row.h"

namespace kavro::relay {

// What the HTTP side needs from the relay it reports on.
class HttpHost {
  public:
    // Calls `done` on the HTTP side's loop with a snapshot taken on the loop that owns the
    // relay's state. With one loop that is the same loop and `done` runs at once; a relay with
    // several loops gathers each loop's snapshot by posting to it.
    virtual void request_status(std::function<void(RelayStatus)> done) = 0;
    // Takes a place under --max-connections for an HTTP connection; false when none is left.
    virtual bool open_http_connection() = 0;
    virtual void close_http_connection() = 0;
    // Whether the relay keeps its recordings in a data folder.
    virtual bool keeps_recordings() const = 0;
    // The recordings in the data folder, newest first; none without one.
    virtual std::vector<RecordingRow> archive() = 0;
    // Recording `id` to download; nothing when there is none (or no data folder).
    virtual std::optional<ReplayFile> replay(std::uint64_t id) = 0;

  protected:
    ~HttpHost() = default;
};

class HttpSession;

class HttpServer {
  public:
    HttpServer(boost::asio::io_context& io, HttpHost& host, Duration request_timeout, LogSink log);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens; throws boost::system::system_error when it cannot.
    void start(const boost::asio::ip::tcp::endpoint& endpoint);
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    // Stops accepting and closes every HTTP connection.
    void stop();

  private:
    friend class HttpSession;
    void accept();
    void opened(const std::shared_ptr<HttpSession>& session);
    void closed(HttpSession& session);

    boost::asio::io_context& io_;
    HttpHost& host_;
    Duration request_timeout_;
    LogSink log_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer accept_retry_timer_;
    std::unordered_map<HttpSession*, std::weak_ptr<HttpSession>> sessions_;
    bool stopped_ = false;
};

}  // namespace kavro::relay
