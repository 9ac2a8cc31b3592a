#include "link/bounded_lookup.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace kavro {

// Where the helper thread leaves its answer. Shared by the ticket and the thread, so whichever
// finishes last frees it.
struct LookupTicket::State {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::optional<net::Endpoint> endpoint;
};

std::optional<std::optional<net::Endpoint>> LookupTicket::answer() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->done) return std::nullopt;
    return state_->endpoint;
}

std::optional<std::optional<net::Endpoint>> LookupTicket::answer_by(
    std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!state_->answered.wait_until(lock, deadline, [&] { return state_->done; })) {
        return std::nullopt;
    }
    return state_->endpoint;
}

std::optional<LookupTicket> start_lookup(const AddressLookup& lookup, const std::string& host,
                                         const std::string& port) {
    if (!lookup) return std::nullopt;
    auto state = std::make_shared<LookupTicket::State>();
    try {
        std::thread([state, lookup, host, port] {
            std::optional<net::Endpoint> found;
            try {
                found = lookup(host, port);
            } catch (...) {
                // Nothing may escape a detached thread; a lookup that threw found nothing.
            }
            const std::lock_guard<std::mutex> lock(state->mutex);
            state->endpoint = found;
            state->done = true;
            state->answered.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    return LookupTicket(std::move(state));
}

std::optional<net::Endpoint> lookup_within(const AddressLookup& lookup, const std::string& host,
                                           const std::string& port,
                                           std::chrono::steady_clock::time_point deadline) {
    const std::optional<LookupTicket> ticket = start_lookup(lookup, host, port);
    if (!ticket) return std::nullopt;
    const auto answer = ticket->answer_by(deadline);
    if (!answer) return std::nullopt;
    return *answer;
}

}  // namespace kavro
