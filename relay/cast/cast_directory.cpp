#include "relay/cast/cast_directory.h"

#include <algorithm>
#include <chrono>

#include "relay/cast/caster_list.h"

namespace kavro::relay {

CastDirectory::CastDirectory(const RuleSettings& settings, LogSink log, EventLoops& loops,
                             SharedLock& lock, RecordingKeeper* keeper)
    : settings_(settings), log_(std::move(log)), loops_(loops), lock_(lock), keeper_(keeper) {}

CastDirectory::Registration CastDirectory::register_caster(const CastClaim& claim,
                                                           Cast::SendAway send_away) {
    const std::string& name = claim.typed.name;
    if (const auto it = casts_.find(name); it != casts_.end()) {
        const std::shared_ptr<Cast>& cast = it->second;
        if (!owns(*cast, claim)) {
            // A wrong key is a guess, and closes the connection; no key at all is a name
            // that is taken, as for a cast without a key.
            return {Outcome::kRefused, nullptr, 0,
                    !cast->key()
                        ? CastRefusal{Refusal::kCastNameTaken, "the name is live elsewhere"}
                    : claim.typed.key
                        ? CastRefusal{Refusal::kWrongKey, "the key given is not the cast's"}
                        : CastRefusal{Refusal::kCastNameTaken,
                                      "the cast has a key and none came with it"}};
        }
        if (cast->caster_attached()) {
            // The owner is back while its old connection still looks alive: a path that died
            // without a word, most likely. The old connection goes; the cast stays.
            const std::string old_peer = cast->caster_peer();
            log_("cast " + printable(name) + " taken over by " + claim.peer + " from " + old_peer +
                 ", which was still connected");
            cast->send_caster_away("cast " + printable(name) + " was taken over by " + claim.peer);
        } else {
            log_("cast " + printable(name) + " resumed by " + claim.peer);
        }
        if (!cast->key() && claim.typed.key) {
            // The owner of a cast without a key gave one: from now on the key owns the cast,
            // from any address, and its address alone no longer does.
            cast->key_from_now_on(*claim.typed.key);
            log_("cast " + printable(name) + " is keyed from now on: its owner " + claim.peer +
                 " gave a key as it took the cast up again");
        }
        const std::uint64_t seat =
            cast->attach_caster(claim.address, claim.peer, claim.track, std::move(send_away));
        ++counters_.resumed;
        return {Outcome::kResumed, cast, seat, std::nullopt};
    }
    if (casts_held_by(*this, claim.address) >= settings_.casts_per_address) {
        log_("cast " + printable(name) + " refused for " + claim.peer +
             ": its address has its most casts");
        return {Outcome::kAddressFull, nullptr, 0, std::nullopt};
    }
    if (casts_.size() >= settings_.max_casts) {
        log_("cast " + printable(name) + " refused for " + claim.peer +
             ": the relay has its most casts");
        return {Outcome::kFull, nullptr, 0, std::nullopt};
    }
    auto cast = std::make_shared<Cast>(
        name, next_sequence_++, CastPlace{settings_.broadcast_delay, loops_, lock_, keeper_});
    cast->set_key(claim.typed.key);
    const std::uint64_t seat =
        cast->attach_caster(claim.address, claim.peer, claim.track, std::move(send_away));
    casts_.emplace(name, cast);
    ++counters_.started;
    log_("cast " + printable(name) + " started by " + claim.peer +
         (cast->track().empty() ? "" : " on " + cast->track()) +
         (cast->key() ? ", with a key" : ""));
    return {Outcome::kCreated, cast, seat, std::nullopt};
}

void CastDirectory::restore(const std::vector<RestoredRecording>& restored, Clock::time_point now) {
    const auto wall_now = std::chrono::system_clock::now();
    for (const RestoredRecording& recording : restored) {
        const std::string& name = recording.start.name;
        const auto problem = cast_name_problem(name);
        if (casts_.count(name) > 0 || casts_.size() >= settings_.max_casts || problem) {
            log_("recording " + std::to_string(recording.id) + " (" + printable(name) +
                 ") was live but its cast cannot come back: " +
                 (casts_.count(name) > 0 ? "its name is live"
                  : problem              ? *problem
                                         : "the relay has its most casts"));
            if (auto kept = keeper_ ? keeper_->resume(recording.id, nullptr) : nullptr) {
                kept->finish();
            }
            continue;
        }
        boost::system::error_code error;
        const auto owner = boost::asio::ip::make_address(recording.start.owner, error);
        const auto age = std::chrono::duration_cast<Clock::duration>(
            std::max(wall_now - recording.started, std::chrono::system_clock::duration::zero()));
        auto cast = std::make_shared<Cast>(
            name, next_sequence_++, CastPlace{settings_.broadcast_delay, loops_, lock_, keeper_});
        cast->set_key(recording.start.key);
        cast->restore(recording, error ? boost::asio::ip::address() : owner, now - age, now,
                      now + settings_.resume_grace);
        casts_.emplace(name, cast);
        ++counters_.restored;
        log_("cast " + printable(name) + " restored from the data folder with " +
             std::to_string(recording.blocks) + " blocks; it waits " +
             seconds_text(settings_.resume_grace) + " for its caster");
    }
}

void CastDirectory::caster_left(const std::shared_ptr<Cast>& cast, std::uint64_t seat,
                                Clock::time_point now) {
    if (cast->ended() || !cast->seated(seat)) return;
    cast->detach_caster(now + settings_.resume_grace);
    log_("caster of " + printable(cast->name()) + " left; the cast waits " +
         seconds_text(settings_.resume_grace) + " for a resume");
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
