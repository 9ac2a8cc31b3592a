// What the relay answers to each HTTP request: the status page, the cast feed, the metrics and
// the health check, from a snapshot of the relay. No sockets here.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>

#include "relay/rules/relay_status.h"

namespace kavro::relay {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Requests larger than this, head and body together, are not read to their end.
inline constexpr std::size_t kMaxHttpRequestBytes = 8 * 1024;

// Whether answering `request` needs a snapshot of the relay (unknown paths and methods do not).
bool needs_status(const HttpRequest& request);
// The answer to `request`; a HEAD answer has the GET answer's headers and no body.
HttpResponse answer(const HttpRequest& request, const RelayStatus& status);
// The answer to every request on a connection the relay has no place for.
HttpResponse relay_full_answer(const HttpRequest& request);
// The answer to a request that is not HTTP the relay understands.
HttpResponse bad_request_answer();

}  // namespace kavro::relay
