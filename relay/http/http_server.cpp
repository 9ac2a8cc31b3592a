#include "relay/http/http_server.h"

#include <array>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <optional>

#include "relay/http/http_routes.h"
#include "relay/transport/socket_keepalive.h"

namespace kavro::relay {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::asio::ip::tcp;

// One HTTP connection: requests one after another (keep-alive), each read whole within the
// size and time limits before it is answered.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket socket, HttpServer& server, bool has_place)
        : stream_(std::move(socket)), server_(server), has_place_(has_place) {
        boost::system::error_code error;
        const auto remote = stream_.socket().remote_endpoint(error);
        peer_ = error ? "unknown peer" : endpoint_text(remote);
    }
    ~HttpSession() {
        if (has_place_) server_.host_.close_http_connection();
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
        parser_.emplace();
        parser_->header_limit(kMaxHttpRequestBytes);
        parser_->body_limit(kMaxHttpRequestBytes);
        stream_.expires_after(server_.request_timeout_);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code error, std::size_t head_bytes) {
                self->on_head(error, head_bytes);
            });
    }

    void on_head(beast::error_code error, std::size_t head_bytes) {
        if (error) return give_up(error);
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
        if (!has_place_) return respond(relay_full_answer(request_));
        if (!needs_status(request_)) return respond(answer(request_, RelayStatus{}));
        server_.host_.request_status([self = shared_from_this()](RelayStatus status) {
            self->respond(answer(self->request_, status));
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
                    seconds_text(server_.request_timeout_));
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
        stream_.expires_after(server_.request_timeout_);  // a client that never reads
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
        boost::system::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(server_.request_timeout_);
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
    std::string peer_;  // for the operator's log only, never in an answer
    beast::flat_buffer buffer_{kMaxHttpRequestBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpRequest request_;
    HttpResponse response_;
    std::array<char, 512> discarded_{};
};

HttpServer::HttpServer(boost::asio::io_context& io, HttpHost& host, Duration request_timeout,
                       LogSink log)
    : io_(io),
      host_(host),
      request_timeout_(request_timeout),
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
            probe_dead_paths(socket);
            const bool has_place = host_.open_http_connection();
            auto session = std::make_shared<HttpSession>(std::move(socket), *this, has_place);
            if (!has_place) {
                log_("http connection from " + session->peer() + " refused: The relay is full.");
            }
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

}  // namespace kavro::relay
