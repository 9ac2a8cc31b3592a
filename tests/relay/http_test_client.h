// A blocking HTTP client for the relay's HTTP side, built on Beast: whole requests, answers read
// with a deadline, and raw bytes for requests no well-behaved client would send.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/verb.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/relay/test_client.h"

namespace kavro::relay::testing {

using HttpAnswer = boost::beast::http::response<boost::beast::http::string_body>;
// Header fields a request carries besides Host: name and value.
using HttpFields = std::vector<std::pair<std::string, std::string>>;

class HttpTestClient {
  public:
    // Connects to 127.0.0.1:port from `source`.
    explicit HttpTestClient(std::uint16_t port, const char* source = "127.0.0.1");
    HttpTestClient(const HttpTestClient&) = delete;
    HttpTestClient& operator=(const HttpTestClient&) = delete;

    // Sends one request (HTTP/1.1, keep-alive) and reads its answer; nothing when the
    // connection closes first or the deadline passes.
    std::optional<HttpAnswer> request(boost::beast::http::verb method, std::string_view target,
                                      std::string body = {}, const HttpFields& fields = {});
    std::optional<HttpAnswer> get(std::string_view target) {
        return request(boost::beast::http::verb::get, target);
    }
    // Every later request carries "Authorization: Bearer TOKEN".
    void set_bearer(std::string token) { bearer_ = std::move(token); }
    // Writes bytes as they are; false when the relay has closed the connection.
    bool send_raw(std::string_view bytes);
    // Reads until the relay closes the connection and returns what came before; nothing when
    // the deadline passes with the connection still open.
    std::optional<std::string> read_until_closed(std::chrono::milliseconds deadline = kDeadline);

  private:
    boost::asio::io_context io_;
    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::string bearer_;
};

// One request on a fresh connection.
std::optional<HttpAnswer> http_get(std::uint16_t port, std::string_view target,
                                   const HttpFields& fields = {});

}  // namespace kavro::relay::testing
