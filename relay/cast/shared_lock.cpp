#include "relay/cast/shared_lock.h"

#include <cstdio>
#include <cstdlib>

namespace kavro::relay {

void SharedLock::lock() {
    if (held_here()) {
        std::fputs("kavro-relay: the shared lock was taken twice on one thread\n", stderr);
        std::abort();
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool SharedLock::try_lock() {
    if (held_here() || !mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

void SharedLock::unlock() {
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
}

}  // namespace kavro::relay
