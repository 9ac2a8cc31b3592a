// Finding the relay's address without letting a slow name lookup hold the caller: the system's
// lookup has no time-out of its own, so it runs on a helper thread and the caller waits for it
// only until a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "link/socket_api.h"

namespace kavro {

// Turns a host and a port into an address; nullopt when either cannot be resolved.
using AddressLookup =
    std::function<std::optional<net::Endpoint>(const std::string& host, const std::string& port)>;

// Runs `lookup` on a helper thread and waits for its answer until `deadline`. A lookup still
// running then counts as failed: its answer, when it comes, is dropped. The helper thread owns
// copies of everything it uses, so it may outlive the caller. nullopt also when no thread can
// be started. A lookup that refers to the caller's objects must keep them alive while it runs.
std::optional<net::Endpoint> lookup_within(const AddressLookup& lookup, const std::string& host,
                                           const std::string& port,
                                           std::chrono::steady_clock::time_point deadline);

}  // namespace kavro
