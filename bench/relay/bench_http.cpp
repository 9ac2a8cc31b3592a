#include "bench/relay/bench_http.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>

namespace kavro::bench {

namespace http = boost::beast::http;

std::optional<std::string> http_get_body(std::uint16_t port, std::string_view target) {
    try {
        boost::asio::io_context io;
        boost::beast::tcp_stream stream(io);
        stream.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        http::request<http::empty_body> request{http::verb::get, target, 11};
        request.set(http::field::host, "127.0.0.1");
        request.keep_alive(false);
        http::write(stream, request);
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        if (response.result_int() != 200) return std::nullopt;
        return response.body();
    } catch (const boost::system::system_error&) {
        return std::nullopt;
    }
}

std::optional<double> metric_value(std::uint16_t port, std::string_view name) {
    const auto body = http_get_body(port, "/metrics");
    if (!body) return std::nullopt;
    std::istringstream lines(*body);
    std::string line;
    const std::string prefix = std::string(name) + " ";
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size()));
    }
    return std::nullopt;
}

}  // namespace kavro::bench
