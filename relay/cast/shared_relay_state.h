// What the relays of every event loop share: the rules' settings, the log and clock, the casts, and
// the connection counts the limits are kept against (in total and per client address; HTTP
// connections count in the total). Its lock guards the directory, the casts' caster side and the
// counts. It is taken for admissions, closings, control messages, uploads, the directory's tick
// and an HTTP request's copy of the cast list, and held only briefly: a cast posts its news to
// the loops under it but tells no watcher, so no watcher's write ever waits for it.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "relay/base/relay_log.h"
#include "relay/cast/cast_directory.h"
#include "relay/cast/event_loops.h"
#include "relay/cast/rule_settings.h"
#include "relay/cast/shared_lock.h"
#include "relay/policy/ban_list.h"
#include "relay/policy/key_pauses.h"
#include "relay/policy/recording_limits.h"
#include "relay/policy/reserved_names.h"

namespace kavro::relay {

struct SharedRelayState {
    using Clock = std::chrono::steady_clock;
    using ClockSource = std::function<Clock::time_point()>;

    // `clock` defaults to the steady clock. Casts keep their recordings with `keeper` too when
    // there is one.
    SharedRelayState(const RuleSettings& rule_settings, LogSink log_sink, ClockSource clock_source,
                     EventLoops& event_loops, RecordingKeeper* keeper = nullptr)
        : settings(rule_settings),
          log(std::move(log_sink)),
          clock(clock_source ? std::move(clock_source) : ClockSource([] { return Clock::now(); })),
          loops(event_loops),
          keeper(keeper),
          casts(settings, log, loops, mutex, keeper),
          recording_limits(settings.cast_recordings_per_minute,
                           settings.address_recordings_per_hour) {}
    SharedRelayState(const SharedRelayState&) = delete;
    SharedRelayState& operator=(const SharedRelayState&) = delete;

    const RuleSettings settings;
    const LogSink log;
    const ClockSource clock;
    EventLoops& loops;
    RecordingKeeper* const keeper;  // the data folder's, or none

    // Plain, not recursive: nothing under it closes a connection there and then (a closing takes
    // it too). A rule hands an ERR to the connection, whose write and close come later on its
    // loop; the operator's actions drop casters after letting it go.
    SharedLock mutex;
    CastDirectory casts;
    std::size_t connections = 0;       // relay clients
    std::size_t http_connections = 0;  // they count against --max-connections too
    // Both counted under counted_address(): an IPv6 client by its /64.
    std::map<boost::asio::ip::address, std::size_t> per_address;
    std::map<boost::asio::ip::address, std::size_t> watchers_per_address;
    // The operator's reservations (none: no name is reserved) and bans, replaced as a whole
    // when they are read again.
    std::shared_ptr<const ReservedNames> reserved_names;
    BanList bans;
    // What each address may still do: try a key, start a new recording.
    KeyPauses key_pauses;
    RecordingLimits recording_limits;
};

}  // namespace kavro::relay
