#include "relay/http/http_server.h"

#include <array>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <optional>
#include <utility>
#include <variant>

#include "relay/http/forwarded_for.h"
#include "relay/http/http_routes.h"
#include "relay/net/socket_buffers.h"
#include "relay/net/socket_keepalive.h"
#include "relay/policy/address_limits.h"

namespace kavro::relay {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::asio::ip::tcp;

// A download goes out in pieces of this size, each of which must be taken within the limit.
constexpr std::size_t kDownloadPiece = 256 * 1024;
constexpr auto kDownloadStallLimit = std::chrono::seconds(30);

// One HTTP connection: requests one after another (keep-alive), each read whole within the
// size and time limits before it is answered.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket socket, const tcp::endpoint& remote, HttpServer& server, bool has_place,
                bool from_proxy)
        : stream_(std::move(socket)),
          server_(server),
          has_place_(has_place),
          from_proxy_(from_proxy),
          address_(counted_address(remote.address())),
          socket_address_(remote.address()),
          client_(remote.address()),
          socket_peer_(endpoint_text(remote)),
          peer_(socket_peer_) {}
    ~HttpSession() {
        if (has_place_) {
            --server_.open_;
            server_.host_.close_http_connection();
        }
        release_request();
        if (!from_proxy_) release(address_);
        server_.closed(*this);
    }

    const std::string& peer() const { return peer_; }
    void start() { read_request(); }

    void close() {
        boost::system::error_code ignored;
        stream_.socket().close(ignored);
    }

  private:
    void read_request() {
        release_request();
        parser_.emplace();
        parser_->header_limit(kMaxHttpRequestBytes);
        parser_->body_limit(kMaxHttpRequestBytes);
        stream_.expires_after(server_.settings_.request_timeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code error, std::size_t head_bytes) {
                self->on_head(error, head_bytes);
            });
    }

    void on_head(beast::error_code error, std::size_t head_bytes) {
        if (error) return give_up(error);
        if (server_.settings_.role == HttpRole::kPublic && !admit_request()) return;
        // A body framed any other way than plain chunks could be read differently by a proxy
        // in front, so such a request is not read at all.
        const auto& head = parser_->get();
        if (head.count(http::field::transfer_encoding) > 1 ||
            (head.count(http::field::transfer_encoding) == 1 &&
             head[http::field::transfer_encoding] != "chunked")) {
            log("bad request (a Transfer-Encoding other than chunked)");
            return respond(bad_request_answer());
        }
        // The body may have what the head left of the request's 8 KiB, and no more. The parser
        // judges a stated length when the head arrives, so that is checked here; the new limit
        // holds for a chunked body.
        const std::size_t room = kMaxHttpRequestBytes - std::min(head_bytes, kMaxHttpRequestBytes);
        if (const auto length = parser_->content_length(); length && *length > room) {
            return give_up(http::error::body_limit);
        }
        parser_->body_limit(room);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code read_error, std::size_t) {
                             self->on_request(read_error);
                         });
    }

    void on_request(beast::error_code error) {
        if (error) return give_up(error);
        request_ = parser_->release();
        // The admin listener serves the admin API alone, and answers even without a place, so
        // the operator is not locked out by the traffic they came to stop. On the public side
        // an admin path is as unknown as any other.
        if (server_.settings_.role == HttpRole::kAdmin) {
            if (is_admin_path(request_.target())) return admin_request();
            return respond(admin_only_answer(request_));
        }
        if (is_admin_path(request_.target())) return respond(admin_off_answer(request_));
        if (!has_place_) return respond(relay_full_answer(request_));
        switch (what_it_needs(request_)) {
            case HttpNeed::kNothing:
                return respond(answer(request_, StatusSnapshot{}));
            case HttpNeed::kArchive: {
                // One page, copied from the store's list in memory: the disk is not touched,
                // and the work is bounded by the page, so /healthz never waits long behind it.
                const auto query = archive_query_of(request_.target());
                if (!query) return respond(bad_archive_query_answer(request_));
                const auto page = server_.host_.archive(*query);
                return respond(archive_answer(request_, page, server_.host_.keeps_recordings()));
            }
            case HttpNeed::kReplay: {
                auto replay = server_.host_.replay(*replay_id_of(request_.target()));
                auto reply = replay_answer(request_, replay);
                if (auto* plain = std::get_if<HttpResponse>(&reply))
                    return respond(std::move(*plain));
                return send_replay(std::move(std::get<ReplayAnswer>(reply)), std::move(replay));
            }
            case HttpNeed::kStatus:
                break;
        }
        server_.host_.request_status([self = shared_from_this()](StatusSnapshot status) {
            self->respond(answer(self->request_, status));
        });
    }

    // A download: the head, then the file's bytes straight from its mapping (the page cache),
    // a piece at a time, so a slow client costs no buffer.
    void send_replay(ReplayAnswer answer, std::optional<ReplayFile> replay) {
        replay_ = std::move(replay);
        replay_head_ = std::move(answer.head);
        replay_at_ = answer.first;
        replay_end_ = answer.first + answer.length;
        replay_serializer_.emplace(*replay_head_);
        stream_.expires_after(kDownloadStallLimit);
        http::async_write_header(stream_, *replay_serializer_,
                                 [self = shared_from_this()](beast::error_code error, std::size_t) {
                                     if (!error) self->send_replay_piece();
                                 });
    }

    void send_replay_piece() {
        if (replay_at_ >= replay_end_) {
            const bool keep_alive = replay_head_->keep_alive();
            replay_serializer_.reset();
            replay_head_.reset();
            replay_.reset();
            if (keep_alive) return read_request();
            return say_goodbye();
        }
        const std::size_t piece = static_cast<std::size_t>(
            std::min<std::uint64_t>(kDownloadPiece, replay_end_ - replay_at_));
        stream_.expires_after(kDownloadStallLimit);
        boost::asio::async_write(
            stream_, boost::asio::buffer(replay_->file->data() + replay_at_, piece),
            [self = shared_from_this()](beast::error_code error, std::size_t written) {
                if (error) return;
                self->replay_at_ += written;
                self->send_replay_piece();
            });
    }

    // Who the request is from: the socket's peer, or the client a trusted proxy names in
    // X-Forwarded-For. A proxied request is counted under its client's address while it is in
    // progress, so one client behind the proxy cannot take every place; and a banned client is
    // turned away. False when the request has been answered already.
    bool admit_request() {
        const auto& head = parser_->get();
        // Each request on a proxy's connection may come from another client.
        client_ = socket_address_;
        peer_ = socket_peer_;
        if (from_proxy_) {
            const ForwardedClient forwarded = forwarded_client(head);
            if (forwarded.kind == ForwardedClient::Kind::kBad) {
                log("bad request (the last hop of its X-Forwarded-For is not an address)");
                respond(bad_request_answer());
                return false;
            }
            if (forwarded.kind == ForwardedClient::Kind::kAddress) {
                client_ = forwarded.address;
                peer_ = client_.to_string() + " (via " + socket_peer_ + ")";
            }
        }
        if (server_.host_.banned(client_)) {
            server_.log_refusal(3, server_.counters_.refused_banned,
                                "http request from " + peer_ + " refused: its address is banned");
            respond(banned_answer(head));
            return false;
        }
        if (from_proxy_) {
            const auto counted = counted_address(client_);
            std::size_t& in_progress = server_.per_address_[counted];
            if (in_progress >= server_.settings_.connections_per_address) {
                server_.log_refusal(1, server_.counters_.refused_address,
                                    "http request from " + peer_ +
                                        " refused: too many in progress from its address");
                respond(too_many_requests_answer(head));
                return false;
            }
            ++in_progress;
            request_slot_ = counted;
        }
        return true;
    }

    void release(const boost::asio::ip::address& counted) {
        if (const auto it = server_.per_address_.find(counted);
            it != server_.per_address_.end() && --it->second == 0) {
            server_.per_address_.erase(it);
        }
    }

    void release_request() {
        if (request_slot_) release(*request_slot_);
        request_slot_.reset();
    }

    void admin_request() {
        const auto& token = server_.settings_.admin_token;
        if (!token) return respond(admin_off_answer(request_));
        auto read = read_admin_request(request_, *token);
        if (auto* refused = std::get_if<HttpResponse>(&read)) {
            if (refused->result() == http::status::unauthorized) {
                server_.log_refusal(2, server_.counters_.admin_denied,
                                    "admin request from " + peer_ + " refused: no valid token");
            }
            return respond(std::move(*refused));
        }
        auto command = std::get<AdminCommand>(std::move(read));
        command.from = peer_;
        server_.host_.admin(std::move(command), [self = shared_from_this()](AdminAnswer answer) {
            self->respond(admin_response(self->request_, answer));
        });
    }

    // A request that cannot be read: too large or too slow is closed at once, one that is not
    // HTTP gets 400 first.
    void give_up(beast::error_code error) {
        if (error == http::error::end_of_stream || error == http::error::partial_message ||
            error == boost::asio::error::eof || error == boost::asio::error::operation_aborted) {
            return;  // the client left, or the relay is stopping
        }
        if (error == beast::error::timeout) {
            if (parser_->got_some() || buffer_.size() > 0) {
                log("its request did not arrive whole within " +
                    seconds_text(server_.settings_.request_timeout));
            }
            return;  // an idle keep-alive connection ends quietly
        }
        if (error == http::error::header_limit || error == http::error::body_limit ||
            error == http::error::buffer_overflow) {
            log("its request was over " + std::to_string(kMaxHttpRequestBytes) + " bytes");
            return;
        }
        if (error.category() == http::make_error_code(http::error::bad_target).category()) {
            log("bad request (" + error.message() + ")");
            return respond(bad_request_answer());
        }
        // Anything else (a reset, say) just ends the connection.
    }

    void respond(HttpResponse response) {
        response_ = std::move(response);
        if (!has_place_) response_.keep_alive(false);
        // A client that never reads: the socket's small buffers fill, and the write ends here.
        stream_.expires_after(server_.settings_.request_timeout);
        http::async_write(stream_, response_,
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              self->on_written(error);
                          });
    }

    void on_written(beast::error_code error) {
        if (error) return;
        if (response_.keep_alive()) return read_request();
        say_goodbye();
    }

    // Shuts down the sending side and reads until the client closes, so that what it sent
    // and the relay did not read does not reset the connection before the answer is read.
    void say_goodbye() {
        release_request();
        boost::system::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(server_.settings_.request_timeout);
        drain();
    }

    void drain() {
        stream_.async_read_some(boost::asio::buffer(discarded_),
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    if (!error) self->drain();
                                });
    }

    void log(const std::string& why) {
        server_.log_("http connection from " + peer_ + " closed: " + why);
    }

    beast::tcp_stream stream_;
    HttpServer& server_;
    bool has_place_;
    bool from_proxy_;                   // a trusted proxy: its requests name their clients
    boost::asio::ip::address address_;  // as counted for the cap per address (not a proxy's)
    boost::asio::ip::address socket_address_;
    boost::asio::ip::address client_;  // the request's client: the peer, or as forwarded
    std::optional<boost::asio::ip::address> request_slot_;  // a proxied request, counted
    std::string socket_peer_;
    std::string peer_;  // for the operator's log only, never in an answer
    beast::flat_buffer buffer_{kMaxHttpRequestBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpRequest request_;
    HttpResponse response_;
    std::optional<ReplayFile> replay_;
    std::optional<http::response<http::empty_body>> replay_head_;
    std::optional<http::response_serializer<http::empty_body>> replay_serializer_;
    std::uint64_t replay_at_ = 0;
    std::uint64_t replay_end_ = 0;
    std::array<char, 512> discarded_{};
};

HttpServer::HttpServer(boost::asio::io_context& io, HttpHost& host, HttpSettings settings,
                       LogSink log)
    : io_(io),
      host_(host),
      settings_(std::move(settings)),
      log_(std::move(log)),
      acceptor_(io),
      accept_retry_timer_(io) {}

void HttpServer::start(const tcp::endpoint& endpoint) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(boost::asio::socket_base::max_listen_connections);
    accept();
}

tcp::endpoint HttpServer::local_endpoint() const { return acceptor_.local_endpoint(); }

void HttpServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_timer_.cancel();
    std::vector<std::shared_ptr<HttpSession>> open;
    for (const auto& [raw, weak] : sessions_) {
        if (auto session = weak.lock()) open.push_back(std::move(session));
    }
    for (const auto& session : open) session->close();
}

void HttpServer::accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (stopped_) return;
        if (!error) {
            boost::system::error_code remote_error;
            const auto remote = socket.remote_endpoint(remote_error);
            if (remote_error) return accept();  // gone before we looked
            // A few per address, closed at once past that: the cheapest answer to a flood. A
            // trusted proxy's connections are counted by the clients their requests name.
            const bool from_proxy = settings_.role == HttpRole::kPublic &&
                                    is_trusted(settings_.trusted_proxies, remote.address());
            if (!from_proxy) {
                std::size_t& from_address = per_address_[counted_address(remote.address())];
                if (from_address >= settings_.connections_per_address) {
                    log_refusal(1, counters_.refused_address,
                                "http connection from " + endpoint_text(remote) +
                                    " refused: too many from its address");
                    boost::system::error_code ignored;
                    socket.close(ignored);
                    return accept();
                }
                ++from_address;
            }
            const bool has_place =
                open_ < settings_.max_connections && host_.open_http_connection();
            if (has_place) {
                ++open_;
            } else {
                log_refusal(0, counters_.refused_full,
                            "http connection from " + endpoint_text(remote) +
                                " refused: The relay is full.");
            }
            probe_dead_paths(socket);
            limit_http_send_buffer(socket);
            auto session = std::make_shared<HttpSession>(std::move(socket), remote, *this,
                                                         has_place, from_proxy);
            opened(session);
            session->start();
            accept();
            return;
        }
        log_("accepting an HTTP connection failed: " + error.message());
        accept_retry_timer_.expires_after(std::chrono::milliseconds(100));
        accept_retry_timer_.async_wait([this](const boost::system::error_code& wait_error) {
            if (!wait_error && !stopped_) accept();
        });
    });
}

void HttpServer::opened(const std::shared_ptr<HttpSession>& session) {
    sessions_.emplace(session.get(), session);
}

void HttpServer::closed(HttpSession& session) { sessions_.erase(&session); }

void HttpServer::log_refusal(std::size_t kind, std::uint64_t& count, const std::string& line) {
    ++count;
    if (const auto note = refusal_log_.pass(kind, std::chrono::steady_clock::now())) {
        log_(line + *note);
    }
}

}  // namespace kavro::relay
