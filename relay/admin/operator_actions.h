// What the operator does to a running relay: the admin API's commands, and reading the
// reserved names and the bans again on SIGHUP. All of it runs on the first loop; what touches
// another loop's connections is posted to that loop. The server owns one and hands it the
// loops it made; nothing here listens or accepts.
#pragma once

#include <boost/asio/io_context.hpp>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "relay/cast/relay_core.h"
#include "relay/cast/relay_counters.h"
#include "relay/cast/shared_relay_state.h"
#include "relay/http/admin_routes.h"
#include "relay/http/http_server.h"

namespace kavro::relay {

// One event loop as the operator's actions reach it: its context, and the relay run on it.
struct OperatorLoop {
    boost::asio::io_context* io = nullptr;
    RelayCore* relay = nullptr;
};

class OperatorActions {
  public:
    // The operator's files, as the options name them.
    struct Files {
        std::optional<std::filesystem::path> reserved_names;
        std::optional<std::filesystem::path> data_dir;  // the bans are kept in it
        std::optional<std::filesystem::path> admin_token;
    };

    // `loops` starts with the first loop, whose relay logs what the operator did.
    OperatorActions(SharedRelayState& shared, Files files, std::vector<OperatorLoop> loops);

    // The operator's files: the reservations, and the bans in the data folder. Throws
    // std::runtime_error when `at_start` and one cannot be read; otherwise logs and keeps
    // what the relay had.
    bool load_reserved_names(bool at_start);
    bool load_bans(bool at_start);
    // SIGHUP: the reserved names, the bans and the admin token (into `admin_listener`, when
    // the relay has one) again.
    void reload(HttpServer* admin_listener);
    // Carries out an admin command and calls `done` on the first loop with the answer. A relay
    // that is `stopping` lists no connections.
    void run(AdminCommand command, bool stopping, std::function<void(AdminAnswer)> done);
    const AdminCounters& counters() const { return counters_; }

  private:
    void log(const std::string& line);
    // Reads --admin-token-file again; a file that cannot be used keeps the token in force.
    void load_admin_token(HttpServer& admin_listener);
    // Writes the bans to the data folder, if the relay has one; logs when it cannot.
    void save_bans();
    // Runs `work(relay)` on every loop.
    void on_every_loop(std::function<void(RelayCore&)> work);
    void list_connections(std::function<void(AdminAnswer)> done);
    AdminAnswer end_cast(const AdminCommand& command);
    AdminAnswer ban(const AdminCommand& command);
    AdminAnswer unban(const AdminCommand& command);
    AdminAnswer bans();

    SharedRelayState& shared_;
    const Files files_;
    std::vector<OperatorLoop> loops_;
    AdminCounters counters_;  // on the first loop
};

}  // namespace kavro::relay
