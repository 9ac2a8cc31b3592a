#include "tests/relay/http_test_client.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace kavro::relay::testing {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::asio::ip::tcp;

HttpTestClient::HttpTestClient(std::uint16_t port, const char* source) : stream_(io_) {
    stream_.socket().open(tcp::v4());
    stream_.socket().bind(tcp::endpoint(boost::asio::ip::make_address(source), 0));
    stream_.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
}

std::optional<HttpAnswer> HttpTestClient::request(http::verb method, std::string_view target,
                                                  std::string body, const HttpFields& fields) {
    http::request<http::string_body> request{method, target, 11};
    request.set(http::field::host, "127.0.0.1");
    if (!bearer_.empty()) request.set(http::field::authorization, "Bearer " + bearer_);
    for (const auto& [name, value] : fields) request.set(name, value);
    request.body() = std::move(body);
    request.prepare_payload();
    http::response_parser<http::string_body> parser;
    parser.body_limit(16 * 1024 * 1024);
    parser.skip(method == http::verb::head);  // a HEAD answer has a length but no body
    bool done = false;
    beast::error_code failure;
    http::async_write(stream_, request, [&](beast::error_code error, std::size_t) {
        if (error) {
            failure = error;
            done = true;
            return;
        }
        http::async_read(stream_, buffer_, parser, [&](beast::error_code read_error, std::size_t) {
            failure = read_error;
            done = true;
        });
    });
    io_.restart();
    io_.run_for(kDeadline);
    if (!done) {
        stream_.cancel();
        io_.restart();
        io_.run();
        return std::nullopt;
    }
    if (failure) return std::nullopt;
    return parser.release();
}

bool HttpTestClient::send_raw(std::string_view bytes) {
    beast::error_code error;
    boost::asio::write(stream_.socket(), boost::asio::buffer(bytes.data(), bytes.size()), error);
    return !error;
}

std::optional<std::string> HttpTestClient::read_until_closed(std::chrono::milliseconds deadline) {
    std::string received(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    buffer_.consume(buffer_.size());
    std::array<char, 4096> piece;
    bool closed = false;
    std::function<void()> read_more = [&] {
        stream_.async_read_some(boost::asio::buffer(piece),
                                [&](beast::error_code error, std::size_t count) {
                                    received.append(piece.data(), count);
                                    if (error) {
                                        closed = true;  // end of stream, or reset
                                        return;
                                    }
                                    read_more();
                                });
    };
    read_more();
    io_.restart();
    io_.run_for(deadline);
    if (!closed) {
        stream_.cancel();
        io_.restart();
        io_.run();
        return std::nullopt;
    }
    return received;
}

std::optional<HttpAnswer> http_get(std::uint16_t port, std::string_view target,
                                   const HttpFields& fields) {
    HttpTestClient client(port);
    return client.request(http::verb::get, target, {}, fields);
}

}  // namespace kavro::relay::testing
