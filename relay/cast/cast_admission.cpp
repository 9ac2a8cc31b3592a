#include "relay/cast/cast_admission.h"

#include "relay/base/relay_log.h"
#include "relay/cast/cast_directory.h"
#include "relay/policy/address_limits.h"

namespace kavro::relay {

std::optional<CastRefusal> name_refusal(const CastClaim& claim, const CastDirectory& casts,
                                        const ReservedNames* reserved, bool reserved_only) {
    const std::string& name = claim.typed.name;
    if (const auto problem = cast_name_problem(name)) {
        return CastRefusal{Refusal::kBadCastName, *problem};
    }
    const ReservedNames::Reservation* reservation = reserved ? reserved->find(name) : nullptr;
    if (reservation) {
        if (!claim.typed.key || !same_key(*claim.typed.key, reservation->key)) {
            return CastRefusal{Refusal::kReservedName,
                               "the name is reserved and came without its key"};
        }
    } else if (reserved_only) {
        return CastRefusal{Refusal::kNotReserved, "this relay accepts only reserved names"};
    }
    const std::string comparable = comparable_name(name);
    for (const auto& [live_name, cast] : casts.casts()) {
        if (live_name != name && comparable_name(live_name) == comparable) {
            return CastRefusal{Refusal::kLookAlikeName,
                               "the name looks like the live cast " + printable(live_name)};
        }
    }
    return std::nullopt;
}

bool tries_a_key(const CastClaim& claim, const CastDirectory& casts,
                 const ReservedNames* reserved) {
    const std::string& name = claim.typed.name;
    if (cast_name_problem(name)) return false;  // refused for the name alone
    if (reserved && reserved->find(name)) return true;
    if (!claim.typed.key) return false;
    const auto live = casts.find(name);
    return live && live->key();
}

bool owns(const Cast& cast, const CastClaim& claim) {
    if (cast.key()) return claim.typed.key && same_key(*claim.typed.key, *cast.key());
    return cast.caster_address() == claim.address;
}

std::size_t casts_held_by(const CastDirectory& casts, const boost::asio::ip::address& address) {
    const auto counted = counted_address(address);
    std::size_t held = 0;
    for (const auto& [name, cast] : casts.casts()) {
        if (counted_address(cast->caster_address()) == counted) ++held;
    }
    return held;
}

}  // namespace kavro::relay
