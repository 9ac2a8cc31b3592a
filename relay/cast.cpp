#include "relay/cast.h"

#include <algorithm>

#include "relay/relay_log.h"

namespace kavro::relay {

void ReplayChunk::clear() {
    header_message.reset();
    for (auto& block : blocks) block.reset();
    block_count = 0;
}

Cast::Cast(std::string name, std::uint64_t sequence, Duration broadcast_delay)
    : name_(std::move(name)), sequence_(sequence), broadcast_delay_(broadcast_delay) {}

void Cast::attach_caster(const boost::asio::ip::address& address, std::string_view track) {
    caster_address_ = address;
    track_ = printable(track);
    caster_attached_ = true;
    grace_ends_.reset();
}

void Cast::detach_caster(Clock::time_point grace_ends) {
    caster_attached_ = false;
    grace_ends_ = grace_ends;
}

void Cast::add_watcher(CastWatcher& watcher) {
    watcher.cast_slot_ = watchers_.size();
    watchers_.push_back(&watcher);
    ++watcher_count_;
}

void Cast::remove_watcher(CastWatcher& watcher) {
    const std::size_t slot = watcher.cast_slot_;
    if (slot >= watchers_.size() || watchers_[slot] != &watcher) return;
    --watcher_count_;
    if (notifying_) {
        watchers_[slot] = nullptr;
        has_holes_ = true;
        return;
    }
    watchers_[slot] = watchers_.back();  // order does not matter: swap with the last
    watchers_[slot]->cast_slot_ = slot;
    watchers_.pop_back();
}

void Cast::compact_watchers() {
    if (!has_holes_) return;
    std::size_t kept = 0;
    for (CastWatcher* watcher : watchers_) {
        if (watcher == nullptr) continue;
        watcher->cast_slot_ = kept;
        watchers_[kept++] = watcher;
    }
    watchers_.resize(kept);
    has_holes_ = false;
}

void Cast::start_recording(wire::ConstBytes header) {
    store_.start_recording(header);
    released_ = 0;
    held_back_.clear();  // a pending release wait finds nothing due and lapses
    packet_clock_.reset();
    notify_watchers();
}

void Cast::append_block(wire::ConstBytes block, Clock::time_point now) {
    store_.append(block);
    packet_clock_.block_arrived(now);
    if (broadcast_delay_ <= Duration::zero()) {
        released_ = store_.block_count();
        notify_watchers();
        return;
    }
    held_back_.push_back(now);
}

void Cast::release_due_blocks(Clock::time_point now) {
    if (ended_) return;
    const std::size_t before = released_;
    while (!held_back_.empty() && held_back_.front() + broadcast_delay_ <= now) {
        held_back_.pop_front();
        ++released_;
    }
    if (released_ != before) notify_watchers();
}

bool Cast::next_chunk(Cursor& cursor, ReplayChunk& chunk) const {
    chunk.clear();
    if (!store_.has_header()) return false;
    if (cursor.generation != store_.generation()) {
        chunk.header_message = store_.header_message();
        cursor = Cursor{store_.generation(), 0};
        return true;
    }
    const std::size_t available = released_ - std::min(released_, cursor.next_block);
    if (available == 0) return false;
    chunk.block_count = std::min(available, kBlocksPerMessage);
    for (std::size_t i = 0; i < chunk.block_count; ++i) {
        chunk.blocks[i] = store_.block(cursor.next_block + i);
    }
    cursor.next_block += chunk.block_count;
    return true;
}

void Cast::notify_watchers() {
    // A watcher may leave while it is being told: its slot empties and the walk skips it.
    notifying_ = true;
    for (std::size_t i = 0; i < watchers_.size(); ++i) {
        if (watchers_[i] != nullptr) watchers_[i]->cast_has_news();
    }
    notifying_ = false;
    compact_watchers();
}

void Cast::end() {
    if (ended_) return;
    ended_ = true;
    grace_ends_.reset();
    std::vector<CastWatcher*> leaving;
    leaving.swap(watchers_);
    watcher_count_ = 0;
    for (CastWatcher* watcher : leaving) {
        if (watcher != nullptr) watcher->cast_ended();
    }
}

}  // namespace kavro::relay
