#include "relay/relay_counters.h"

namespace kavro::relay {

std::string_view refusal_label(Refusal refusal) {
    switch (refusal) {
        case Refusal::kRelayFull:
            return "relay_full";
        case Refusal::kAddressLimit:
            return "address_limit";
        case Refusal::kCastsFull:
            return "casts_full";
        case Refusal::kClientVersion:
            return "client_version";
        case Refusal::kBadCastName:
            return "bad_cast_name";
        case Refusal::kCastNameTaken:
            return "cast_name_taken";
        case Refusal::kNoSuchCast:
            return "no_such_cast";
        case Refusal::kReplayTooLarge:
            return "replay_too_large";
        case Refusal::kCount:
            break;
    }
    return "unknown";
}

}  // namespace kavro::relay
