#include "relay/http/http_routes.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>
#include <string_view>

#include "relay/http/casts_json.h"
#include "relay/http/metrics_text.h"
#include "relay/http/status_page.h"

namespace kavro::relay {

namespace http = boost::beast::http;

namespace {

enum class Route { kPage, kCastsJson, kMetrics, kHealth, kUnknown };

// The path without its query: a website may add one to defeat a cache on its side.
std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

Route route_of(std::string_view target) {
    const std::string_view path = path_of(target);
    if (path == "/") return Route::kPage;
    if (path == "/casts.json") return Route::kCastsJson;
    if (path == "/metrics") return Route::kMetrics;
    if (path == "/healthz") return Route::kHealth;
    return Route::kUnknown;
}

bool method_allowed(const HttpRequest& request) {
    return request.method() == http::verb::get || request.method() == http::verb::head;
}

HttpResponse make(http::status status, std::string_view content_type, std::string body) {
    HttpResponse response{status, 11};
    response.set(http::field::server, "kavro-relay");
    response.set(http::field::content_type, content_type);
    response.set(http::field::cache_control, "no-cache");
    response.set("X-Content-Type-Options", "nosniff");
    response.body() = std::move(body);
    return response;
}

HttpResponse plain(http::status status, std::string text) {
    return make(status, "text/plain; charset=utf-8", std::move(text));
}

HttpResponse content_for(const HttpRequest& request, const RelayStatus& status) {
    if (!method_allowed(request)) {
        HttpResponse response =
            plain(http::status::method_not_allowed, "Only GET and HEAD are served here.\n");
        response.set(http::field::allow, "GET, HEAD");
        return response;
    }
    switch (route_of(request.target())) {
        case Route::kPage: {
            HttpResponse response =
                make(http::status::ok, "text/html; charset=utf-8", std::string(status_page_html()));
            response.set("Content-Security-Policy", kStatusPagePolicy);
            return response;
        }
        case Route::kCastsJson: {
            HttpResponse response =
                make(http::status::ok, "application/json; charset=utf-8", casts_json(status));
            response.set(http::field::access_control_allow_origin, "*");
            return response;
        }
        case Route::kMetrics:
            return make(http::status::ok, kMetricsContentType, metrics_text(status));
        case Route::kHealth:
            return status.accepting
                       ? plain(http::status::ok, "ok\n")
                       : plain(http::status::service_unavailable, "not accepting connections\n");
        case Route::kUnknown:
            break;
    }
    return plain(http::status::not_found,
                 "Not found. This relay serves /, /casts.json, /metrics and /healthz.\n");
}

HttpResponse finished(const HttpRequest& request, HttpResponse response) {
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();  // length stays
    return response;
}

}  // namespace

bool needs_status(const HttpRequest& request) {
    return method_allowed(request) && route_of(request.target()) != Route::kUnknown;
}

HttpResponse answer(const HttpRequest& request, const RelayStatus& status) {
    return finished(request, content_for(request, status));
}

HttpResponse relay_full_answer(const HttpRequest& request) {
    HttpResponse response = plain(http::status::service_unavailable, "The relay is full.\n");
    response.keep_alive(false);
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();
    return response;
}

HttpResponse bad_request_answer() {
    HttpResponse response = plain(http::status::bad_request, "Bad request.\n");
    response.keep_alive(false);
    response.prepare_payload();
    return response;
}

}  // namespace kavro::relay
