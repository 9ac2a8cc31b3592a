// The casts live on this relay, by name: registration, resume within the grace period, the
// end of a cast, and the list watchers see. Its deadlines (grace periods, broadcast delays)
// are checked in tick(now), so it needs no timers of its own.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "relay/base/relay_log.h"
#include "relay/cast/cast.h"
#include "relay/cast/cast_admission.h"
#include "relay/cast/event_loops.h"
#include "relay/cast/relay_counters.h"
#include "relay/cast/rule_settings.h"
#include "relay/cast/shared_lock.h"
#include "relay/store/recording_keeper.h"

namespace kavro::relay {

class CastDirectory {
  public:
    enum class Outcome { kCreated, kResumed, kRefused, kFull, kAddressFull };
    struct Registration {
        Outcome outcome = Outcome::kRefused;
        std::shared_ptr<Cast> cast;          // set when created or resumed
        std::uint64_t seat = 0;              // the caster's seat in it
        std::optional<CastRefusal> refusal;  // why, when refused
    };

    using Clock = std::chrono::steady_clock;

    // New casts tell their news to the watchers on `loops`, and keep their recordings with
    // `keeper` as well when there is one. `lock` is the one the directory is used under.
    CastDirectory(const RuleSettings& settings, LogSink log, EventLoops& loops, SharedLock& lock,
                  RecordingKeeper* keeper = nullptr);

    // A caster registers the claim's name. The owner of a cast of that name takes it over,
    // whether the old connection is gone (grace period) or still open: then the old one is sent
    // away through its `send_away`. A cast registered with a key is owned by whoever carries
    // that key, from any address; one without a key by its caster's address. Anyone else is
    // refused, and a new cast past --casts-per-address or --max-casts too.
    Registration register_caster(const CastClaim& claim, Cast::SendAway send_away);
    // Brings back the casts of recordings that were live when the relay last stopped, listed
    // at once, each waiting the grace period from `now` for its caster to return.
    void restore(const std::vector<RestoredRecording>& restored, Clock::time_point now);
    // The connection seated as `seat` closed at `now`: if it is still the cast's caster, the
    // cast waits for the grace period, then ends.
    void caster_left(const std::shared_ptr<Cast>& cast, std::uint64_t seat, Clock::time_point now);
    // Ends the casts whose grace period is over and releases delayed blocks that are due.
    void tick(Clock::time_point now);
    // Ends the cast now, logging `reason`.
    void end_cast(const std::shared_ptr<Cast>& cast, const std::string& reason);
    void end_all(const std::string& reason);

    // Whether the casts keep their recordings in a data folder (and so outlive a restart).
    bool keeps_recordings() const { return keeper_ != nullptr; }
    std::shared_ptr<Cast> find(const std::string& name) const;
    std::size_t size() const { return casts_.size(); }
    std::vector<std::uint8_t> caster_list() const;
    const std::map<std::string, std::shared_ptr<Cast>>& casts() const { return casts_; }
    const CastCounters& counters() const { return counters_; }

  private:
    const RuleSettings& settings_;
    LogSink log_;
    EventLoops& loops_;
    SharedLock& lock_;
    RecordingKeeper* keeper_;
    std::map<std::string, std::shared_ptr<Cast>> casts_;
    std::uint64_t next_sequence_ = 1;
    CastCounters counters_;
    std::vector<std::shared_ptr<Cast>> tick_scratch_;
};

}  // namespace kavro::relay
