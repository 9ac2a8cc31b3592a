#include "relay/admin/operator_actions.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "relay/base/admin_token.h"
#include "relay/cast/connection.h"
#include "relay/http/client_text.h"

namespace kavro::relay {

namespace {

constexpr const char* kBansFile = "bans.json";

nlohmann::json ban_json(const Ban& ban) {
    nlohmann::json entry{{"network", ban.text()}};
    if (ban.until) {
        const auto left =
            std::chrono::ceil<std::chrono::seconds>(*ban.until - Ban::WallClock::now());
        entry["seconds_left"] = std::max<std::int64_t>(0, left.count());
        entry["until_unix_seconds"] =
            std::chrono::duration_cast<std::chrono::seconds>(ban.until->time_since_epoch()).count();
    } else {
        entry["seconds_left"] = nullptr;
        entry["until_unix_seconds"] = nullptr;
    }
    return entry;
}

AdminAnswer json_answer(unsigned status, const nlohmann::json& body) {
    return AdminAnswer{status, body.dump() + "\n"};
}

AdminAnswer error_answer(unsigned status, const std::string& text) {
    return AdminAnswer{status, admin_error_json(text)};
}

}  // namespace

OperatorActions::OperatorActions(SharedRelayState& shared, Files files,
                                 std::vector<OperatorLoop> loops)
    : shared_(shared), files_(std::move(files)), loops_(std::move(loops)) {}

void OperatorActions::log(const std::string& line) { loops_.front().relay->log(line); }

bool OperatorActions::load_reserved_names(bool at_start) {
    const auto& file = files_.reserved_names;
    if (!file) return true;
    std::string problem;
    auto reserved = ReservedNames::load(*file, problem);
    if (!reserved) {
        if (at_start) throw std::runtime_error("cannot use the reserved names: " + problem);
        log("reserved names not read again, the old ones stay: " + problem);
        return false;
    }
    const std::size_t count = reserved->size();
    {
        std::lock_guard lock(shared_.mutex);
        shared_.reserved_names = std::make_shared<const ReservedNames>(std::move(*reserved));
    }
    log("reserved names: " + std::to_string(count) + " read from " + file->string());
    return true;
}

bool OperatorActions::load_bans(bool at_start) {
    const auto& folder = files_.data_dir;
    if (!folder) return true;
    std::string problem;
    auto bans = BanList::load(*folder / kBansFile, problem);
    if (!bans && at_start) {
        // A damaged or empty file (a disk that filled, a hand edit) must not stop the relay
        // (under systemd, a restart loop): it is set aside for the operator, and the relay
        // starts with no bans.
        const auto path = *folder / kBansFile;
        const auto aside = path.string() + ".damaged";
        std::error_code error;
        std::filesystem::rename(path, aside, error);
        if (error) throw std::runtime_error("cannot use the bans: " + problem);
        log("the bans file cannot be used (" + problem + "); it is kept as " + aside +
            " and the relay starts with " + "no bans");
        bans = BanList{};
    }
    if (!bans) {
        log("bans not read again, the old ones stay: " + problem);
        return false;
    }
    std::size_t count = 0;
    {
        std::lock_guard lock(shared_.mutex);
        shared_.bans = std::move(*bans);
        count = shared_.bans.in_force(Ban::WallClock::now()).size();
    }
    log("bans: " + std::to_string(count) + " in force, from " + (*folder / kBansFile).string());
    return true;
}

void OperatorActions::save_bans() {
    const auto& folder = files_.data_dir;
    if (!folder) return;
    BanList copy;
    {
        std::lock_guard lock(shared_.mutex);
        copy = shared_.bans;
    }
    std::string problem;
    if (!copy.save(*folder / kBansFile, problem)) {
        log("bans not saved (they hold until the relay stops): " + problem);
    }
}

void OperatorActions::reload(HttpServer* admin_listener) {
    log("reading the reserved names and the bans again");
    load_reserved_names(false);
    if (load_bans(false)) on_every_loop([](RelayCore& relay) { relay.close_banned(); });
    // Only the admin listener checks the token; the public HTTP side serves no admin path.
    if (admin_listener) load_admin_token(*admin_listener);
}

void OperatorActions::load_admin_token(HttpServer& admin_listener) {
    const auto& file = files_.admin_token;
    if (!file) return;
    try {
        admin_listener.set_admin_token(read_admin_token(*file));
        log("admin token read again from " + file->string());
    } catch (const AdminTokenError& e) {
        log(std::string("admin token not read again, the old one stays: ") + e.what());
    }
}

void OperatorActions::on_every_loop(std::function<void(RelayCore&)> work) {
    for (auto& loop : loops_) {
        RelayCore* relay = loop.relay;
        boost::asio::post(*loop.io, [relay, work] { work(*relay); });
    }
}

void OperatorActions::run(AdminCommand command, bool stopping,
                          std::function<void(AdminAnswer)> done) {
    switch (command.kind) {
        case AdminCommandKind::kConnections:
            if (stopping) return done(error_answer(503, "The relay is stopping."));
            return list_connections(std::move(done));
        case AdminCommandKind::kEndCast:
            return done(end_cast(command));
        case AdminCommandKind::kBan:
            return done(ban(command));
        case AdminCommandKind::kUnban:
            return done(unban(command));
        case AdminCommandKind::kBans:
            return done(bans());
    }
}

void OperatorActions::list_connections(std::function<void(AdminAnswer)> done) {
    // Each loop lists its own connections on its own thread; the lists come back to the first.
    struct Gather {
        nlohmann::json list = nlohmann::json::array();
        std::size_t waiting = 0;
        std::function<void(AdminAnswer)> done;
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> first_loop;
    };
    const OperatorLoop first = loops_.front();
    auto gather =
        std::make_shared<Gather>(Gather{nlohmann::json::array(), loops_.size(), std::move(done),
                                        boost::asio::make_work_guard(*first.io)});
    for (const OperatorLoop& loop : loops_) {
        boost::asio::post(*loop.io, [first, loop, gather]() mutable {
            auto infos = loop.relay->connection_infos(std::chrono::steady_clock::now());
            boost::asio::post(*first.io, [gather = std::move(gather), infos = std::move(infos)] {
                for (const auto& info : infos) {
                    gather->list.push_back(
                        {{"address", info.peer},
                         {"role", info.role},
                         {"cast", info.cast.empty()
                                      ? nlohmann::json(nullptr)
                                      : nlohmann::json(utf8_from_client_text(info.cast))},
                         {"bytes_received", info.bytes_received},
                         {"bytes_sent", info.bytes_sent},
                         {"open_seconds",
                          std::chrono::duration_cast<std::chrono::seconds>(info.open_for)
                              .count()}});
                }
                if (--gather->waiting > 0) return;
                auto answer = std::move(gather->done);
                gather->first_loop.reset();
                answer(json_answer(200, {{"connections", std::move(gather->list)}}));
            });
        });
    }
}

AdminAnswer OperatorActions::end_cast(const AdminCommand& command) {
    std::shared_ptr<Cast> cast;
    std::size_t watchers = 0;
    {
        std::lock_guard lock(shared_.mutex);
        // The name as the client's bytes, or as the UTF-8 the feed shows it in.
        for (const auto& [name, live] : shared_.casts.casts()) {
            if (name == command.name || utf8_from_client_text(name) == command.name) cast = live;
        }
        if (!cast) return error_answer(404, "No cast of that name is live.");
        watchers = cast->watcher_count();
        shared_.casts.end_cast(cast,
                               "ended by the operator (admin request from " + command.from + ")");
    }
    counters_.count(AdminAction::kEndCast);
    on_every_loop([cast](RelayCore& relay) {
        relay.drop_caster_of(cast, "The relay's operator ended this cast.");
    });
    return json_answer(200,
                       {{"ended", utf8_from_client_text(cast->name())}, {"watchers", watchers}});
}

AdminAnswer OperatorActions::ban(const AdminCommand& command) {
    std::string problem;
    auto ban = parse_ban_target(command.address, problem);
    if (!ban) return error_answer(400, problem);
    if (command.seconds) {
        ban->until = Ban::WallClock::now() + std::chrono::duration_cast<Ban::WallClock::duration>(
                                                 std::chrono::duration<double>(*command.seconds));
    }
    {
        std::lock_guard lock(shared_.mutex);
        shared_.bans.add(*ban);
    }
    counters_.count(AdminAction::kBan);
    log("admin request from " + command.from + ": banned " + ban->text() +
        (command.seconds ? " for " + seconds_text(std::chrono::duration_cast<Duration>(
                                         std::chrono::duration<double>(*command.seconds)))
                         : std::string(" until lifted")));
    save_bans();
    on_every_loop([](RelayCore& relay) { relay.close_banned(); });
    return json_answer(200, {{"banned", ban_json(*ban)}});
}

AdminAnswer OperatorActions::unban(const AdminCommand& command) {
    std::string problem;
    const auto target = parse_ban_target(command.address, problem);
    if (!target) return error_answer(400, problem);
    std::vector<Ban> lifted;
    {
        std::lock_guard lock(shared_.mutex);
        if (command.address.find('/') != std::string::npos) {
            lifted = shared_.bans.lift_exact(*target);
        } else {
            boost::system::error_code ignored;
            lifted =
                shared_.bans.lift_covering(boost::asio::ip::make_address(command.address, ignored));
        }
    }
    if (lifted.empty()) return error_answer(404, "No ban covers that address.");
    counters_.count(AdminAction::kUnban);
    nlohmann::json list = nlohmann::json::array();
    std::string texts;
    for (const Ban& ban : lifted) {
        list.push_back(ban_json(ban));
        texts += (texts.empty() ? "" : ", ") + ban.text();
    }
    log("admin request from " + command.from + ": lifted the ban of " + texts);
    save_bans();
    return json_answer(200, {{"unbanned", list}});
}

AdminAnswer OperatorActions::bans() {
    nlohmann::json list = nlohmann::json::array();
    std::lock_guard lock(shared_.mutex);
    for (const Ban& ban : shared_.bans.in_force(Ban::WallClock::now())) {
        list.push_back(ban_json(ban));
    }
    return json_answer(200, {{"bans", list}});
}

}  // namespace kavro::relay
