#include "client/relay_choice.h"

#include <cstdlib>

#include "client/relay_file.h"

namespace kavro {
namespace {

std::optional<std::string> present(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

std::string address_text(const RelayAddress& address) { return address.host + ':' + address.port; }

RelayChoice built_in_because(const RelaySources& sources, const std::string& problem) {
    return {
        sources.built_in, RelaySource::kBuiltIn,
        problem + "\n\nThe built-in relay " + address_text(sources.built_in) + " is used instead."};
}

// An address given as text (the argument or the variable), named `where` in a message.
RelayChoice from_text(const RelaySources& sources, const std::string& text, RelaySource source,
                      const std::string& where) {
    const ParsedRelayAddress parsed = parse_relay_address(text, sources.built_in.port);
    if (parsed.address) return {*parsed.address, source, {}};
    return built_in_because(sources, "The relay address " + in_quotes(text) + " " + where +
                                         " cannot be used: " + parsed.problem + ".");
}

}  // namespace

RelaySources relay_sources(std::optional<std::string> argument,
                           const std::filesystem::path& program_folder) {
    RelaySources sources;
    sources.argument = present(std::move(argument));
    if (const char* variable = std::getenv("KAVRO_RELAY")) {
        sources.environment = present(std::string(variable));
    }
    sources.relay_file = program_folder / kRelayFileName;
    return sources;
}

RelayChoice choose_relay(const RelaySources& sources) {
    if (sources.argument) {
        return from_text(sources, *sources.argument, RelaySource::kCommandLine,
                         "on the command line");
    }
    if (sources.environment) {
        return from_text(sources, *sources.environment, RelaySource::kEnvironment,
                         "in KAVRO_RELAY");
    }
    if (!sources.relay_file.empty()) {
        const RelayFileContent file = read_relay_file(sources.relay_file, sources.built_in.port);
        if (!file.problem.empty()) return built_in_because(sources, file.problem);
        if (file.address) return {*file.address, RelaySource::kRelayFile, {}};
    }
    return {sources.built_in, RelaySource::kBuiltIn, {}};
}

std::string relay_log_line(const RelayChoice& choice) {
    const char* from = choice.source == RelaySource::kCommandLine   ? "from the command line"
                       : choice.source == RelaySource::kEnvironment ? "from KAVRO_RELAY"
                       : choice.source == RelaySource::kRelayFile   ? "from relay.txt"
                                                                    : "built in";
    return "Relay: " + address_text(choice.address) + " (" + from + ")";
}

}  // namespace kavro
