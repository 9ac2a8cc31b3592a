#include "relay/http/admin_routes.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>
#include <charconv>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "relay/policy/cast_names.h"

namespace kavro::relay {

namespace http = boost::beast::http;

namespace {

constexpr std::string_view kPrefix = "/admin/";
// The longest ban: ten years, far inside what a time point holds.
constexpr double kMostBanSeconds = 10.0 * 365 * 24 * 60 * 60;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query's value with %XX and '+' decoded; nothing when a % escape is broken.
std::optional<std::string> decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hex_digit(text[i + 1]), low = hex_digit(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::map<std::string, std::string>> query_of(std::string_view target) {
    std::map<std::string, std::string> query;
    const auto mark = target.find('?');
    if (mark == std::string_view::npos) return query;
    std::string_view rest = target.substr(mark + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (pair.empty()) continue;
        const auto equals = pair.find('=');
        auto key = decoded(pair.substr(0, equals));
        auto value = decoded(equals == std::string_view::npos ? "" : pair.substr(equals + 1));
        if (!key || !value) return std::nullopt;
        query[*key] = *value;
    }
    return query;
}

HttpResponse json_response(http::status status, std::string body) {
    HttpResponse response{status, 11};
    response.set(http::field::server, "kavro-relay");
    response.set(http::field::content_type, "application/json; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.body() = std::move(body);
    return response;
}

HttpResponse finished(const HttpRequest& request, HttpResponse response) {
    response.keep_alive(request.keep_alive());
    response.prepare_payload();
    if (request.method() == http::verb::head) response.body().clear();
    return response;
}

bool has_token(const HttpRequest& request, std::string_view token) {
    const std::string_view header = request[http::field::authorization];
    constexpr std::string_view kScheme = "bearer ";
    if (header.size() < kScheme.size()) return false;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        const char c = header[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) {
            return false;
        }
    }
    return same_key(header.substr(kScheme.size()), token);
}

struct Route {
    std::string_view path;
    AdminCommandKind kind;
    http::verb method;
};

constexpr Route kRoutes[] = {
    {"connections", AdminCommandKind::kConnections, http::verb::get},
    {"end-cast", AdminCommandKind::kEndCast, http::verb::post},
    {"ban", AdminCommandKind::kBan, http::verb::post},
    {"unban", AdminCommandKind::kUnban, http::verb::post},
    {"bans", AdminCommandKind::kBans, http::verb::get},
};

HttpResponse error(const HttpRequest& request, http::status status, std::string_view text) {
    return finished(request, json_response(status, admin_error_json(text)));
}

}  // namespace

bool is_admin_path(std::string_view target) {
    const std::string_view path = target.substr(0, target.find('?'));
    return path == "/admin" || path.substr(0, kPrefix.size()) == kPrefix;
}

std::string admin_error_json(std::string_view text) {
    return nlohmann::json{{"error", std::string(text)}}.dump() + "\n";
}

std::variant<AdminCommand, HttpResponse> read_admin_request(const HttpRequest& request,
                                                            std::string_view token) {
    // The token first, so that nothing about the API shows to whoever lacks it.
    if (!has_token(request, token)) {
        HttpResponse response =
            error(request, http::status::unauthorized, "This needs the relay's admin token.");
        response.set(http::field::www_authenticate, "Bearer realm=\"kavro-relay admin\"");
        return response;
    }
    const std::string_view target = request.target();
    const std::string_view path = target.substr(0, target.find('?'));
    const Route* route = nullptr;
    for (const Route& each : kRoutes) {
        if (path.substr(std::min(path.size(), kPrefix.size())) == each.path) route = &each;
    }
    if (!route || path.substr(0, kPrefix.size()) != kPrefix) {
        return error(request, http::status::not_found,
                     "Not an admin path: connections, end-cast, ban, unban, bans.");
    }
    if (request.method() != route->method) {
        HttpResponse response = error(request, http::status::method_not_allowed,
                                      route->method == http::verb::get ? "Use GET." : "Use POST.");
        response.set(http::field::allow, route->method == http::verb::get ? "GET" : "POST");
        return response;
    }
    const auto query = query_of(target);
    if (!query) return error(request, http::status::bad_request, "The query is not well formed.");
    const auto param = [&](const std::string& key) -> const std::string* {
        const auto it = query->find(key);
        return it == query->end() ? nullptr : &it->second;
    };
    AdminCommand command;
    command.kind = route->kind;
    if (route->kind == AdminCommandKind::kEndCast) {
        const std::string* name = param("name");
        if (!name || name->empty()) {
            return error(request, http::status::bad_request, "Say which cast: ?name=NAME.");
        }
        command.name = *name;
    }
    if (route->kind == AdminCommandKind::kBan || route->kind == AdminCommandKind::kUnban) {
        const std::string* address = param("address");
        if (!address || address->empty()) {
            return error(request, http::status::bad_request,
                         "Say which address: ?address=A or ?address=A/PREFIX.");
        }
        command.address = *address;
    }
    if (route->kind == AdminCommandKind::kBan) {
        if (const std::string* seconds = param("seconds")) {
            double value = 0;
            const auto [end, parse_error] =
                std::from_chars(seconds->data(), seconds->data() + seconds->size(), value);
            if (parse_error != std::errc() || end != seconds->data() + seconds->size() ||
                !std::isfinite(value) || value <= 0 || value > kMostBanSeconds) {
                return error(request, http::status::bad_request,
                             "seconds must be a number above 0 and at most ten years.");
            }
            command.seconds = value;
        }
    }
    return command;
}

HttpResponse admin_off_answer(const HttpRequest& request) {
    HttpResponse response{http::status::not_found, 11};
    response.set(http::field::server, "kavro-relay");
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = "Not found. This relay serves /, /casts.json, /metrics and /healthz.\n";
    return finished(request, std::move(response));
}

HttpResponse admin_response(const HttpRequest& request, const AdminAnswer& answer) {
    return finished(request, json_response(static_cast<http::status>(answer.status), answer.json));
}

}  // namespace kavro::relay
