#include "relay/http/http_routes.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>
#include <charconv>
#include <string_view>

#include "relay/http/archive_json.h"
#include "relay/http/byte_range.h"
#include "relay/http/casts_json.h"
#include "relay/http/metrics_text.h"
#include "relay/http/status_page.h"

namespace kavro::relay {

namespace http = boost::beast::http;

namespace {

enum class Route { kPage, kCastsJson, kMetrics, kHealth, kArchive, kReplay, kUnknown };

// The path without its query: a website may add one to defeat a cache on its side.
std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

Route route_of(std::string_view target) {
    const std::string_view path = path_of(target);
    if (path == "/") return Route::kPage;
    if (path == "/casts.json") return Route::kCastsJson;
    if (path == "/metrics") return Route::kMetrics;
    if (path == "/healthz") return Route::kHealth;
    if (path == "/archive.json") return Route::kArchive;
    if (replay_id_of(target)) return Route::kReplay;
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

HttpResponse not_found() {
    return plain(http::status::not_found,
                 "Not found. This relay serves /, /casts.json, /archive.json, /replays/ID.mpr, "
                 "/metrics and /healthz.\n");
}

HttpResponse content_for(const HttpRequest& request, const StatusSnapshot& status) {
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
        case Route::kArchive:
        case Route::kReplay:
        case Route::kUnknown:
            break;
    }
    return not_found();
}

HttpResponse finished(const HttpRequest& request, HttpResponse response) {
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();  // length stays
    return response;
}

}  // namespace

HttpNeed what_it_needs(const HttpRequest& request) {
    if (!method_allowed(request)) return HttpNeed::kNothing;
    switch (route_of(request.target())) {
        case Route::kArchive:
            return HttpNeed::kArchive;
        case Route::kReplay:
            return HttpNeed::kReplay;
        case Route::kUnknown:
            return HttpNeed::kNothing;
        default:
            return HttpNeed::kStatus;
    }
}

std::optional<std::uint64_t> replay_id_of(std::string_view target) {
    constexpr std::string_view kPrefix = "/replays/", kSuffix = ".mpr";
    const std::string_view path = path_of(target);
    if (path.size() <= kPrefix.size() + kSuffix.size() ||
        path.substr(0, kPrefix.size()) != kPrefix ||
        path.substr(path.size() - kSuffix.size()) != kSuffix) {
        return std::nullopt;
    }
    const std::string_view digits =
        path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
    std::uint64_t id = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (error != std::errc() || end != digits.data() + digits.size() || id == 0) {
        return std::nullopt;
    }
    return id;
}

namespace {

std::optional<std::uint64_t> whole_number(std::string_view digits) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<ArchiveQuery> archive_query_of(std::string_view target) {
    ArchiveQuery query;
    const auto mark = target.find('?');
    if (mark == std::string_view::npos) return query;
    std::string_view rest = target.substr(mark + 1);
    bool limit_seen = false;
    bool before_seen = false;
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        const auto equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
        if (key == "limit") {
            const auto limit = whole_number(value);
            if (limit_seen || !limit || *limit == 0 || *limit > kArchivePageLimit) {
                return std::nullopt;
            }
            query.limit = static_cast<std::size_t>(*limit);
            limit_seen = true;
        } else if (key == "before") {
            const auto before = whole_number(value);
            if (before_seen || !before || *before == 0) return std::nullopt;
            query.before = *before;
            before_seen = true;
        }
    }
    return query;
}

HttpResponse archive_answer(const HttpRequest& request, const ArchivePage& page, bool keeping) {
    HttpResponse response =
        make(http::status::ok, "application/json; charset=utf-8", archive_json(page, keeping));
    response.set(http::field::access_control_allow_origin, "*");
    return finished(request, std::move(response));
}

HttpResponse bad_archive_query_answer(const HttpRequest& request) {
    HttpResponse response =
        make(http::status::bad_request, "application/json; charset=utf-8",
             "{\"error\":\"archive.json takes limit (1 to " + std::to_string(kArchivePageLimit) +
                 ") and before (a recording's id), each a whole number, each at most once.\"}\n");
    response.set(http::field::access_control_allow_origin, "*");
    return finished(request, std::move(response));
}

std::string replay_file_name(const RecordingRow& row) {
    std::string name;
    for (const char c : row.name) {
        const bool plain_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (plain_char) {
            name += c;
        } else if ((c == ' ' || c == '_') && !name.empty() && name.back() != '_') {
            name += '_';
        }
        if (name.size() >= 60) break;
    }
    while (!name.empty() && (name.back() == '_' || name.back() == '.')) name.pop_back();
    while (!name.empty() && name.front() == '.') name.erase(name.begin());
    if (name.empty()) name = "race";
    return name + "-" + utc_text(row.started).substr(0, 10) + ".mpr";
}

std::string replay_etag(const RecordingRow& row) {
    const auto started_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(row.started.time_since_epoch())
            .count();
    return "\"" + std::to_string(row.id) + "-" + std::to_string(started_ms) + "-" +
           std::to_string(row.bytes) + "\"";
}

std::variant<ReplayAnswer, HttpResponse> replay_answer(const HttpRequest& request,
                                                       const std::optional<ReplayFile>& replay) {
    if (!replay) return finished(request, not_found());
    const RecordingRow& row = replay->row;
    const std::uint64_t size = row.bytes;
    const std::string etag = replay_etag(row);
    ByteRange range;
    const auto if_range = request[http::field::if_range];
    if (request.count(http::field::range) > 0 && (if_range.empty() || if_range == etag)) {
        range = parse_byte_range(request[http::field::range], size);
    }
    if (range.kind == ByteRange::Kind::kUnsatisfiable) {
        HttpResponse response =
            plain(http::status::range_not_satisfiable, "That range is not in the recording.\n");
        response.set(http::field::content_range, "bytes */" + std::to_string(size));
        response.set(http::field::etag, etag);
        return finished(request, std::move(response));
    }
    ReplayAnswer answer;
    auto& head = answer.head;
    head.version(11);
    head.result(range.kind == ByteRange::Kind::kPart ? http::status::partial_content
                                                     : http::status::ok);
    head.set(http::field::server, "kavro-relay");
    head.set(http::field::content_type, "application/octet-stream");
    head.set(http::field::content_disposition,
             "attachment; filename=\"" + replay_file_name(row) + "\"");
    head.set(http::field::etag, etag);
    head.set(http::field::accept_ranges, "bytes");
    head.set(http::field::cache_control, "no-cache");
    head.set("X-Content-Type-Options", "nosniff");
    answer.first = range.kind == ByteRange::Kind::kPart ? range.first : 0;
    const std::uint64_t length =
        range.kind == ByteRange::Kind::kPart ? range.last - range.first + 1 : size;
    if (range.kind == ByteRange::Kind::kPart) {
        head.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                 std::to_string(range.last) + "/" +
                                                 std::to_string(size));
    }
    head.content_length(length);
    head.keep_alive(request.keep_alive());
    answer.length = request.method() == http::verb::head ? 0 : length;
    return answer;
}

HttpResponse answer(const HttpRequest& request, const StatusSnapshot& status) {
    return finished(request, content_for(request, status));
}

HttpResponse relay_full_answer(const HttpRequest& request) {
    HttpResponse response = plain(http::status::service_unavailable, "The relay is full.\n");
    response.keep_alive(false);
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();
    return response;
}

namespace {

HttpResponse closing(const HttpRequest& request, HttpResponse response) {
    response.keep_alive(false);
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();
    return response;
}

}  // namespace

HttpResponse banned_answer(const HttpRequest& request) {
    return closing(request,
                   plain(http::status::forbidden, "This relay does not accept your address.\n"));
}

HttpResponse too_many_requests_answer(const HttpRequest& request) {
    return closing(request, plain(http::status::too_many_requests,
                                  "Too many requests from your address at once.\n"));
}

HttpResponse admin_only_answer(const HttpRequest& request) {
    return closing(request, plain(http::status::not_found,
                                  "Not found. This port serves the relay's admin API only.\n"));
}

HttpResponse bad_request_answer() {
    HttpResponse response = plain(http::status::bad_request, "Bad request.\n");
    response.keep_alive(false);
    response.prepare_payload();
    return response;
}

}  // namespace kavro::relay
