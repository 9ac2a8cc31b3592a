// Which relay the client uses, decided once at start and alike in every front end. The first of
// these that is present wins: the program's first argument, the environment variable
// KAVRO_RELAY, relay.txt beside the program, the built-in address. An address given in any of
// them that cannot be used is reported, and the built-in address is used instead.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "client/relay_address.h"

namespace kavro {

enum class RelaySource { kCommandLine, kEnvironment, kRelayFile, kBuiltIn };

struct RelaySources {
    std::optional<std::string> argument;     // the program's first argument
    std::optional<std::string> environment;  // KAVRO_RELAY
    std::filesystem::path relay_file;        // where relay.txt would be; empty: nowhere
    RelayAddress built_in = built_in_relay_address();
};

struct RelayChoice {
    RelayAddress address;
    RelaySource source = RelaySource::kBuiltIn;
    // For a message box: the address that could not be used and why. Empty when all is well.
    std::string problem;
};

inline constexpr const char* kRelayFileName = "relay.txt";

// The sources as a program finds them: `argument`, KAVRO_RELAY, and relay.txt in
// `program_folder`. An empty argument or variable counts as absent.
RelaySources relay_sources(std::optional<std::string> argument,
                           const std::filesystem::path& program_folder);

RelayChoice choose_relay(const RelaySources& sources);

// The log line naming the relay and where its address came from, such as
// "Relay: relay.example.org:47475 (from relay.txt)".
std::string relay_log_line(const RelayChoice& choice);

}  // namespace kavro
