#include "relay/rules/relay_counters.h"

namespace kavro::relay {

RelayCounters& RelayCounters::operator+=(const RelayCounters& other) {
    connections_accepted += other.connections_accepted;
    bytes_received += other.bytes_received;
    bytes_sent += other.bytes_sent;
    protocol_errors += other.protocol_errors;
    idle_timeouts += other.idle_timeouts;
    for (std::size_t i = 0; i < kRefusalKinds; ++i) refusals[i] += other.refusals[i];
    return *this;
}

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
