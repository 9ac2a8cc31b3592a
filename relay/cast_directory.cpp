#include "relay/cast_directory.h"

#include <algorithm>
#include <chrono>

#include "relay/caster_list.h"

namespace kavro::relay {

bool acceptable_cast_name(const std::string& name) {
    return !name.empty() && std::none_of(name.begin(), name.end(),
                                         [](char c) { return static_cast<unsigned char>(c) < 32; });
}

CastDirectory::CastDirectory(boost::asio::any_io_executor executor, const RelayOptions& options,
                             LogSink log)
    : executor_(std::move(executor)), options_(options), log_(std::move(log)) {}

CastDirectory::Registration CastDirectory::register_caster(const std::string& name,
                                                           const std::string& track,
                                                           const boost::asio::ip::address& address,
                                                           const std::string& peer) {
    if (const auto it = casts_.find(name); it != casts_.end()) {
        const std::shared_ptr<Cast>& cast = it->second;
        if (cast->caster_attached() || cast->caster_address() != address) {
            log_("cast " + name + " refused for " + peer + ": the name is live elsewhere");
            return {Outcome::kRefused, nullptr};
        }
        cast->grace_timer().cancel();
        cast->attach_caster(address, track);
        ++counters_.resumed;
        log_("cast " + name + " resumed by " + peer);
        return {Outcome::kResumed, cast};
    }
    if (casts_.size() >= options_.max_casts) {
        log_("cast " + name + " refused for " + peer + ": the relay has its most casts");
        return {Outcome::kFull, nullptr};
    }
    auto cast = std::make_shared<Cast>(executor_, name, next_sequence_++, options_.broadcast_delay);
    cast->attach_caster(address, track);
    casts_.emplace(name, cast);
    ++counters_.started;
    log_("cast " + name + " started by " + peer + (track.empty() ? "" : " on " + track));
    return {Outcome::kCreated, cast};
}

void CastDirectory::caster_left(const std::shared_ptr<Cast>& cast) {
    if (cast->ended()) return;
    cast->detach_caster();
    log_("caster of " + cast->name() + " left; the cast waits " +
         seconds_text(options_.resume_grace) + " for a resume");
    cast->grace_timer().expires_after(options_.resume_grace);
    cast->grace_timer().async_wait(
        [this, weak = std::weak_ptr<Cast>(cast)](const boost::system::error_code& error) {
            const auto cast = weak.lock();
            if (error || !cast || cast->caster_attached() || cast->ended()) return;
            end_cast(cast, "its caster did not return");
        });
}

void CastDirectory::end_cast(const std::shared_ptr<Cast>& cast, const std::string& reason) {
    if (cast->ended()) return;
    const auto it = casts_.find(cast->name());
    if (it != casts_.end() && it->second == cast) casts_.erase(it);
    ++counters_.ended;
    log_("cast " + cast->name() + " ended: " + reason + " (" +
         std::to_string(cast->watcher_count()) + " watchers)");
    cast->end();
}

void CastDirectory::end_all(const std::string& reason) {
    std::vector<std::shared_ptr<Cast>> all;
    for (const auto& [name, cast] : casts_) all.push_back(cast);
    for (const auto& cast : all) end_cast(cast, reason);
}

std::shared_ptr<Cast> CastDirectory::find(const std::string& name) const {
    const auto it = casts_.find(name);
    return it == casts_.end() ? nullptr : it->second;
}

std::vector<std::uint8_t> CastDirectory::caster_list() const {
    std::vector<ListedCast> listed;
    listed.reserve(casts_.size());
    for (const auto& [name, cast] : casts_) {
        listed.push_back(ListedCast{name, cast->track(), cast->watcher_count(), cast->packet_time(),
                                    cast->sequence()});
    }
    return build_caster_list(std::move(listed));
}

}  // namespace kavro::relay
