// What the relay has done since it started, as plain counters. Each event loop owns its own
// counters and only that loop touches them; the HTTP side reads them through a snapshot taken
// on the loop, so no lock guards them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavro::relay {

// Why the relay turned a client away or declined what it asked for, short of a protocol error.
enum class Refusal : std::size_t {
    kRelayFull,             // past --max-connections
    kAddressLimit,          // past --connections-per-address
    kCastsFull,             // past --max-casts
    kClientVersion,         // a hello from another client version
    kBadCastName,           // empty, or with control bytes
    kCastNameTaken,         // live under another connection
    kNoSuchCast,            // a watch request for a name that is not live
    kReplayTooLarge,        // past --max-replay-bytes
    kBanned,                // a connection from a banned address
    kCastsPerAddress,       // past --casts-per-address
    kWatchersPerAddress,    // past --watchers-per-address
    kReservedName,          // a reserved name without its key
    kWrongKey,              // a keyed cast's name with another key
    kLookAlikeName,         // a name that would pass for a live cast's
    kHttpFull,              // an HTTP connection past --max-http-connections
    kHttpAddressLimit,      // past --http-connections-per-address
    kNotReserved,           // a name not reserved, on a relay that takes only reserved names
    kKeyPaused,             // an attempt at a keyed or reserved name during its address's pause
    kRecordingsPerCast,     // past --cast-recordings-per-minute
    kRecordingsPerAddress,  // past --address-recordings-per-hour
    kCount
};

inline constexpr std::size_t kRefusalKinds = static_cast<std::size_t>(Refusal::kCount);

// The label a refusal carries in the metrics.
std::string_view refusal_label(Refusal refusal);

struct RelayCounters {
    std::uint64_t connections_accepted = 0;
    std::uint64_t bytes_received = 0;  // from relay clients, HTTP not included
    std::uint64_t bytes_sent = 0;      // to relay clients, HTTP not included
    std::uint64_t protocol_errors = 0;
    // Connections closed for sending no message, or not finishing one, in time.
    std::uint64_t idle_timeouts = 0;
    std::array<std::uint64_t, kRefusalKinds> refusals{};
    // Connections closed because their socket took nothing for --stall-timeout.
    std::uint64_t stalled_writes = 0;

    void count(Refusal refusal) { ++refusals[static_cast<std::size_t>(refusal)]; }
    std::uint64_t refused(Refusal refusal) const {
        return refusals[static_cast<std::size_t>(refusal)];
    }
    // Attempts at a keyed or reserved name refused: a wrong key, a reserved name without its
    // key, or any attempt during its address's pause.
    std::uint64_t key_attempts_refused() const {
        return refused(Refusal::kWrongKey) + refused(Refusal::kReservedName) +
               refused(Refusal::kKeyPaused);
    }
    // Adds another loop's counters.
    RelayCounters& operator+=(const RelayCounters& other);
};

// What the operator did through the admin API.
enum class AdminAction : std::size_t { kEndCast, kBan, kUnban, kCount };
inline constexpr std::size_t kAdminActionKinds = static_cast<std::size_t>(AdminAction::kCount);
std::string_view admin_action_label(AdminAction action);

struct AdminCounters {
    std::array<std::uint64_t, kAdminActionKinds> actions{};
    std::uint64_t denied = 0;  // requests without the right token
    void count(AdminAction action) { ++actions[static_cast<std::size_t>(action)]; }
};

// Casts started, resumed and ended, counted where the casts are kept.
struct CastCounters {
    std::uint64_t started = 0;
    std::uint64_t resumed = 0;
    std::uint64_t ended = 0;
    std::uint64_t restored = 0;  // from the data folder at start
};

}  // namespace kavro::relay
