#include "link/bounded_lookup.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace kavro {
namespace {

// Where the helper thread leaves its answer. Shared by the waiting caller and the thread, so
// whichever finishes last frees it.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::optional<net::Endpoint> endpoint;
};

}  // namespace

std::optional<net::Endpoint> lookup_within(const AddressLookup& lookup, const std::string& host,
                                           const std::string& port,
                                           std::chrono::steady_clock::time_point deadline) {
    if (!lookup) return std::nullopt;
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, lookup, host, port] {
            std::optional<net::Endpoint> found;
            try {
                found = lookup(host, port);
            } catch (...) {
                // Nothing may escape a detached thread; a lookup that threw found nothing.
            }
            const std::lock_guard<std::mutex> lock(pending->mutex);
            pending->endpoint = found;
            pending->done = true;
            pending->answered.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->answered.wait_until(lock, deadline, [&] { return pending->done; })) {
        return std::nullopt;
    }
    return pending->endpoint;
}

}  // namespace kavro
