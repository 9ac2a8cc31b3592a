// The admin API's requests as the HTTP side reads them: which paths are admin paths, the bearer
// token every request must carry, and the command each asks for. What a command does to the
// relay is the host's business; this only reads requests and shapes answers. No sockets here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "relay/http/http_routes.h"

namespace kavro::relay {

enum class AdminCommandKind { kConnections, kEndCast, kBan, kUnban, kBans };

struct AdminCommand {
    AdminCommandKind kind = AdminCommandKind::kBans;
    std::string name;               // end-cast: the cast, as UTF-8 or the client's bytes
    std::string address;            // ban, unban: "ADDRESS" or "ADDRESS/PREFIX"
    std::optional<double> seconds;  // ban: how long; nothing: until lifted
    std::string from;               // who asked, for the operator's log
};

// What the host answers to a command: an HTTP status and a JSON body.
struct AdminAnswer {
    unsigned status = 200;
    std::string json;
};

bool is_admin_path(std::string_view target);
// The command `request` asks for, or the answer when it asks for none the relay acts on: 401
// without the right token (compared in constant time), 405 for the wrong method, 404 for an
// unknown admin path, 400 for a missing or bad parameter.
std::variant<AdminCommand, HttpResponse> read_admin_request(const HttpRequest& request,
                                                            std::string_view token);
// The answer to an admin path on a relay without the admin API: 404, as for any unknown path.
HttpResponse admin_off_answer(const HttpRequest& request);
HttpResponse admin_response(const HttpRequest& request, const AdminAnswer& answer);
// {"error": text}
std::string admin_error_json(std::string_view text);

}  // namespace kavro::relay
