// The casts live on this relay, by name: registration, resume within the grace period, the
// end of a cast, and the list watchers see.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "relay/cast.h"
#include "relay/relay_counters.h"
#include "relay/relay_log.h"
#include "relay/relay_options.h"

namespace kavro::relay {

// An empty name, or one with a byte below 32, is refused.
bool acceptable_cast_name(const std::string& name);

class CastDirectory {
  public:
    enum class Outcome { kCreated, kResumed, kRefused, kFull };
    struct Registration {
        Outcome outcome = Outcome::kRefused;
        std::shared_ptr<Cast> cast;  // set when created or resumed
    };

    CastDirectory(boost::asio::any_io_executor executor, const RelayOptions& options, LogSink log);

    // A caster at `address` registers `name`. Takes over a cast of that name in its grace
    // period when the address matches; refuses a name live elsewhere.
    Registration register_caster(const std::string& name, const std::string& track,
                                 const boost::asio::ip::address& address, const std::string& peer);
    // The caster's connection closed: the cast waits for the grace period, then ends.
    void caster_left(const std::shared_ptr<Cast>& cast);
    // Ends the cast now, logging `reason`.
    void end_cast(const std::shared_ptr<Cast>& cast, const std::string& reason);
    void end_all(const std::string& reason);

    std::shared_ptr<Cast> find(const std::string& name) const;
    std::size_t size() const { return casts_.size(); }
    std::vector<std::uint8_t> caster_list() const;
    const std::map<std::string, std::shared_ptr<Cast>>& casts() const { return casts_; }
    const CastCounters& counters() const { return counters_; }

  private:
    boost::asio::any_io_executor executor_;
    const RelayOptions& options_;
    LogSink log_;
    std::map<std::string, std::shared_ptr<Cast>> casts_;
    std::uint64_t next_sequence_ = 1;
    CastCounters counters_;
};

}  // namespace kavro::relay
