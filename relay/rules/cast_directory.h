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
#include <string>
#include <vector>

#include "relay/relay_log.h"
#include "relay/relay_options.h"
#include "relay/rules/cast.h"
#include "relay/rules/event_loops.h"
#include "relay/rules/relay_counters.h"

namespace kavro::relay {

// An empty name, or one with a byte below 32, is refused.
bool acceptable_cast_name(const std::string& name);

class CastDirectory {
  public:
    enum class Outcome { kCreated, kResumed, kRefused, kFull };
    struct Registration {
        Outcome outcome = Outcome::kRefused;
        std::shared_ptr<Cast> cast;  // set when created or resumed
        std::uint64_t seat = 0;      // the caster's seat in it
    };

    using Clock = std::chrono::steady_clock;

    // New casts tell their news to the watchers on `loops`.
    CastDirectory(const RelayOptions& options, LogSink log, EventLoops& loops);

    // A caster at `address` registers `name`. The owner of a cast of that name (its caster's
    // address) takes it over, whether the old connection is gone (grace period) or still open:
    // then the old one is sent away through its `send_away`. Anyone else is refused.
    Registration register_caster(const std::string& name, const std::string& track,
                                 const boost::asio::ip::address& address, const std::string& peer,
                                 Cast::SendAway send_away);
    // The connection seated as `seat` closed at `now`: if it is still the cast's caster, the
    // cast waits for the grace period, then ends.
    void caster_left(const std::shared_ptr<Cast>& cast, std::uint64_t seat, Clock::time_point now);
    // Ends the casts whose grace period is over and releases delayed blocks that are due.
    void tick(Clock::time_point now);
    // Ends the cast now, logging `reason`.
    void end_cast(const std::shared_ptr<Cast>& cast, const std::string& reason);
    void end_all(const std::string& reason);

    std::shared_ptr<Cast> find(const std::string& name) const;
    std::size_t size() const { return casts_.size(); }
    std::vector<std::uint8_t> caster_list() const;
    const std::map<std::string, std::shared_ptr<Cast>>& casts() const { return casts_; }
    const CastCounters& counters() const { return counters_; }

  private:
    const RelayOptions& options_;
    LogSink log_;
    EventLoops& loops_;
    std::map<std::string, std::shared_ptr<Cast>> casts_;
    std::uint64_t next_sequence_ = 1;
    CastCounters counters_;
    std::vector<std::shared_ptr<Cast>> tick_scratch_;
};

}  // namespace kavro::relay
