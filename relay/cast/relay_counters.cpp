#include "relay/cast/relay_counters.h"

namespace kavro::relay {

RelayCounters& RelayCounters::operator+=(const RelayCounters& other) {
    connections_accepted += other.connections_accepted;
    bytes_received += other.bytes_received;
    bytes_sent += other.bytes_sent;
    protocol_errors += other.protocol_errors;
    idle_timeouts += other.idle_timeouts;
    stalled_writes += other.stalled_writes;
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
        case Refusal::kBanned:
            return "banned";
        case Refusal::kCastsPerAddress:
            return "casts_per_address";
        case Refusal::kWatchersPerAddress:
            return "watchers_per_address";
        case Refusal::kReservedName:
            return "reserved_name";
        case Refusal::kWrongKey:
            return "wrong_key";
        case Refusal::kLookAlikeName:
            return "look_alike_name";
        case Refusal::kHttpFull:
            return "http_full";
        case Refusal::kHttpAddressLimit:
            return "http_address_limit";
        case Refusal::kNotReserved:
            return "not_reserved";
        case Refusal::kKeyPaused:
            return "key_paused";
        case Refusal::kRecordingsPerCast:
            return "recordings_per_cast";
        case Refusal::kRecordingsPerAddress:
            return "recordings_per_address";
        case Refusal::kCount:
            break;
    }
    return "unknown";
}

}  // namespace kavro::relay

namespace kavro::relay {

std::string_view admin_action_label(AdminAction action) {
    switch (action) {
        case AdminAction::kEndCast:
            return "end_cast";
        case AdminAction::kBan:
            return "ban";
        case AdminAction::kUnban:
            return "unban";
        case AdminAction::kCount:
            break;
    }
    return "unknown";
}

}  // namespace kavro::relay
