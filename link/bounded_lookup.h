// Finding the relay's address without letting a slow name lookup hold the caller: the system's
// lookup has no time-out of its own, so it runs on a helper thread and the caller waits for it
// only until a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/socket_api.h"

namespace kavro {

// Turns a host and a port into an address; nullopt when either cannot be resolved.
using AddressLookup =
    std::function<std::optional<net::Endpoint>(const std::string& host, const std::string& port)>;

// A lookup running on a helper thread, asked for its answer without waiting. The thread owns a
// share of it, so dropping the ticket while the lookup runs is safe: its answer is then dropped.
class LookupTicket {
  public:
    struct State;
    explicit LookupTicket(std::shared_ptr<State> state) : state_(std::move(state)) {}
    // nullopt while the lookup runs; then its answer (itself nullopt when nothing was found).
    std::optional<std::optional<net::Endpoint>> answer() const;
    // Waits for the answer until `deadline`; nullopt when it has not come by then.
    std::optional<std::optional<net::Endpoint>> answer_by(
        std::chrono::steady_clock::time_point deadline) const;

  private:
    std::shared_ptr<State> state_;
};

// Starts `lookup` on a helper thread and returns at once; nullopt when no thread can be started
// or there is no lookup.
std::optional<LookupTicket> start_lookup(const AddressLookup& lookup, const std::string& host,
                                         const std::string& port);

// Runs `lookup` on a helper thread and waits for its answer until `deadline`. A lookup still
// running then counts as failed: its answer, when it comes, is dropped. The helper thread owns
// copies of everything it uses, so it may outlive the caller. nullopt also when no thread can
// be started. A lookup that refers to the caller's objects must keep them alive while it runs.
std::optional<net::Endpoint> lookup_within(const AddressLookup& lookup, const std::string& host,
                                           const std::string& port,
                                           std::chrono::steady_clock::time_point deadline);

}  // namespace kavro
