// Who may register which cast name: the reservations, names that would pass for a live one, the
// casts one address may hold, and who owns a live cast. A cast registered with a key is owned by
// whoever carries that key, from any address; a cast without one by its caster's address.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <optional>
#include <string>

#include "relay/cast/cast.h"
#include "relay/cast/relay_counters.h"
#include "relay/policy/cast_names.h"
#include "relay/policy/reserved_names.h"

namespace kavro::relay {

class CastDirectory;

// A caster's registration: the name as typed, the track, and who sent it.
struct CastClaim {
    TypedCastName typed;
    std::string track;
    boost::asio::ip::address address;
    std::string peer;
};

struct CastRefusal {
    Refusal reason;
    std::string why;  // for the log; never holds a key
};

// Why the name of `claim` may not be registered, judged before any live cast of exactly that
// name is looked at: a bad name, a reserved name without its key (or any name not reserved
// when only reserved names are served), or a look-alike of another live cast's name.
std::optional<CastRefusal> name_refusal(const CastClaim& claim, const CastDirectory& casts,
                                        const ReservedNames* reserved, bool reserved_only);

// Whether `claim` tries a key: its name is a reserved one (as names are compared), or it carries
// a key for the live cast of that name, which has a key. Such an attempt waits out its
// address's key pause before it is looked at, and one refused closes its connection.
bool tries_a_key(const CastClaim& claim, const CastDirectory& casts, const ReservedNames* reserved);

// Whether `claim` owns `cast`: it carries the cast's key, or, for a cast without a key, it
// comes from the address the cast's caster had.
bool owns(const Cast& cast, const CastClaim& claim);

// Live casts (grace periods included) whose caster is counted under `address`'s address.
std::size_t casts_held_by(const CastDirectory& casts, const boost::asio::ip::address& address);

}  // namespace kavro::relay
