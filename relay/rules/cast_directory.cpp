#include "relay/rules/cast_directory.h"

#include <algorithm>
#include <chrono>

#include "relay/rules/caster_list.h"

namespace kavro::relay {

bool acceptable_cast_name(const std::string& name) {
    return !name.empty() && std::none_of(name.begin(), name.end(),
                                         [](char c) { return static_cast<unsigned char>(c) < 32; });
}

CastDirectory::CastDirectory(const RelayOptions& options, LogSink log, EventLoops& loops)
    : options_(options), log_(std::move(log)), loops_(loops) {}

CastDirectory::Registration CastDirectory::register_caster(const std::string& name,
                                                           const std::string& track,
                                                           const boost::asio::ip::address& address,
                                                           const std::string& peer,
                                                           Cast::SendAway send_away) {
    if (const auto it = casts_.find(name); it != casts_.end()) {
        const std::shared_ptr<Cast>& cast = it->second;
        if (cast->caster_address() != address) {
            log_("cast " + printable(name) + " refused for " + peer +
                 ": the name is live elsewhere");
            return {Outcome::kRefused, nullptr, 0};
        }
        if (cast->caster_attached()) {
            // The owner is back while its old connection still looks alive: a path that died
            // without a word, most likely. The old connection goes; the cast stays.
            const std::string old_peer = cast->caster_peer();
            log_("cast " + printable(name) + " taken over by " + peer + " from " + old_peer +
                 ", which was still connected");
            cast->send_caster_away("cast " + printable(name) + " was taken over by " + peer);
        } else {
            log_("cast " + printable(name) + " resumed by " + peer);
        }
        const std::uint64_t seat = cast->attach_caster(address, peer, track, std::move(send_away));
        ++counters_.resumed;
        return {Outcome::kResumed, cast, seat};
    }
    if (casts_.size() >= options_.max_casts) {
        log_("cast " + printable(name) + " refused for " + peer + ": the relay has its most casts");
        return {Outcome::kFull, nullptr, 0};
    }
    auto cast = std::make_shared<Cast>(name, next_sequence_++, options_.broadcast_delay, loops_);
    const std::uint64_t seat = cast->attach_caster(address, peer, track, std::move(send_away));
    casts_.emplace(name, cast);
    ++counters_.started;
    log_("cast " + printable(name) + " started by " + peer +
         (cast->track().empty() ? "" : " on " + cast->track()));
    return {Outcome::kCreated, cast, seat};
}

void CastDirectory::caster_left(const std::shared_ptr<Cast>& cast, std::uint64_t seat,
                                Clock::time_point now) {
    if (cast->ended() || !cast->seated(seat)) return;
    cast->detach_caster(now + options_.resume_grace);
    log_("caster of " + printable(cast->name()) + " left; the cast waits " +
         seconds_text(options_.resume_grace) + " for a resume");
}

void CastDirectory::tick(Clock::time_point now) {
    // Ending a cast or telling watchers may change the directory: walk a copy.
    tick_scratch_.clear();
    for (const auto& [name, cast] : casts_) tick_scratch_.push_back(cast);
    for (const auto& cast : tick_scratch_) {
        if (cast->grace_over(now)) {
            end_cast(cast, "its caster did not return");
        } else {
            cast->release_due_blocks(now);
        }
    }
    tick_scratch_.clear();
}

void CastDirectory::end_cast(const std::shared_ptr<Cast>& cast, const std::string& reason) {
    if (cast->ended()) return;
    const auto it = casts_.find(cast->name());
    if (it != casts_.end() && it->second == cast) casts_.erase(it);
    ++counters_.ended;
    log_("cast " + printable(cast->name()) + " ended: " + reason + " (" +
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
