#include "relay/cast/cast.h"

#include <algorithm>
#include <utility>

#include "relay/base/relay_log.h"

namespace kavro::relay {

// What a cast posts to each loop: a new recording (its header, and the file it may read blocks
// from), newly released blocks of a recording, what the data folder's file holds of a
// recording, or the end.
struct Cast::News {
    enum class Kind { kRecording, kBlocks, kFile, kEnded };
    Kind kind = Kind::kBlocks;
    std::uint64_t generation = 0;
    SharedBytes header_message;
    std::size_t first_block = 0;  // index of blocks[0] in its recording
    // Each in memory, or null when the file already holds it.
    std::vector<SharedBytes> blocks;
    // kRecording, kFile: the file holding the recording's blocks [0, in_file).
    std::shared_ptr<const RecordingMap> file;
    std::size_t in_file = 0;
};

void ReplayChunk::clear() {
    header_message.reset();
    for (auto& block : in_memory) block.reset();
    file.reset();
    block_count = 0;
}

Cast::Cast(std::string name, std::uint64_t sequence, CastPlace place)
    : name_(std::move(name)),
      sequence_(sequence),
      broadcast_delay_(place.broadcast_delay),
      loops_(place.loops),
      lock_(place.lock),
      keeper_(place.keeper),
      views_(std::make_unique<LoopView[]>(place.loops.count())) {}

std::uint64_t Cast::attach_caster(const boost::asio::ip::address& address, std::string peer,
                                  std::string_view track, SendAway send_away) {
    caster_address_ = address;
    caster_peer_ = std::move(peer);
    track_ = printable(track);
    caster_attached_ = true;
    send_away_ = std::move(send_away);
    grace_ends_.reset();
    if (recording_) recording_->caster_connected(true);
    return ++seat_;
}

void Cast::detach_caster(Clock::time_point grace_ends) {
    caster_attached_ = false;
    send_away_ = nullptr;
    grace_ends_ = grace_ends;
    if (recording_) recording_->caster_connected(false);
}

void Cast::send_caster_away(const std::string& why) {
    caster_attached_ = false;
    if (const SendAway send_away = std::exchange(send_away_, nullptr)) send_away(why);
}

void Cast::key_from_now_on(const std::string& key) {
    key_ = key;
    if (recording_) recording_->keyed(key);
}

void Cast::add_watcher(CastWatcher& watcher, std::size_t loop) {
    LoopView& view = views_[loop];
    watcher.cast_slot_ = view.watchers.size();
    view.watchers.push_back(&watcher);
    const std::size_t count = watcher_count_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (recording_) recording_->watchers_now(count);
}

void Cast::remove_watcher(CastWatcher& watcher, std::size_t loop) {
    LoopView& view = views_[loop];
    const std::size_t slot = watcher.cast_slot_;
    if (slot >= view.watchers.size() || view.watchers[slot] != &watcher) return;
    watcher_count_.fetch_sub(1, std::memory_order_relaxed);
    if (view.notifying) {
        view.watchers[slot] = nullptr;
        view.has_holes = true;
        return;
    }
    view.watchers[slot] = view.watchers.back();  // order does not matter: swap with the last
    view.watchers[slot]->cast_slot_ = slot;
    view.watchers.pop_back();
}

void Cast::compact(LoopView& view) {
    if (!view.has_holes) return;
    std::size_t kept = 0;
    for (CastWatcher* watcher : view.watchers) {
        if (watcher == nullptr) continue;
        watcher->cast_slot_ = kept;
        view.watchers[kept++] = watcher;
    }
    view.watchers.resize(kept);
    view.has_holes = false;
}

void Cast::remember_superseded() {
    if (!recording_ || held_back_.empty()) return;
    superseded_ = Superseded{recording_->id(), released_bytes(), Clock::now() + broadcast_delay_};
}

void Cast::start_recording(wire::ConstBytes header) {
    remember_superseded();
    store_.start_recording(header);
    released_ = 0;
    published_ = 0;
    held_back_.clear();  // a pending release wait finds nothing due and lapses
    packet_clock_.reset();
    packet_time_.store(0, std::memory_order_relaxed);
    keep_recording();
    announce_recording();
}

void Cast::diverge_at(std::size_t index, wire::ConstBytes block, Clock::time_point now) {
    remember_superseded();
    store_.restart_keeping(index);
    // held_back_ runs from block released_ on: the kept blocks past released_ stay held.
    held_back_.resize(index > released_ ? index - released_ : 0);
    released_ = std::min(released_, index);
    published_ = 0;  // the new recording goes to the loops from its start
    keep_recording();
    announce_recording();
    append_block(block, now);
}

void Cast::restore(const RestoredRecording& restored, const boost::asio::ip::address& owner,
                   Clock::time_point started_at, Clock::time_point now,
                   Clock::time_point grace_ends) {
    caster_address_ = owner;
    caster_peer_ = "the caster from before the restart";
    track_ = printable(restored.start.track);
    started_at_ = started_at;
    grace_ends_ = grace_ends;
    store_.restore_recording(restored.header_message, restored.file, restored.blocks);
    if (keeper_) recording_ = keeper_->resume(restored.id, progress_for(store_.generation()));
    released_ = 0;
    published_ = 0;
    // The blocks' arrival times are not kept: a broadcast delay counts from now.
    if (broadcast_delay_ > Duration::zero()) {
        held_back_.assign(restored.blocks, now);
    } else {
        released_ = restored.blocks;
    }
    announce_recording();
    publish();
}

void Cast::keep_recording() {
    if (recording_) recording_->finish();
    recording_.reset();
    if (!keeper_) return;
    recording_ =
        keeper_->begin(RecordingStart{name_, track_, caster_address_.to_string(), key_},
                       store_.header_message(), store_.blocks(), progress_for(store_.generation()));
    recording_->caster_connected(caster_attached_);
    recording_->watchers_now(watcher_count());
}

FileProgress Cast::progress_for(std::uint64_t generation) {
    // Called on the disk's thread: the news goes to the first loop, which takes the lock.
    return [weak = weak_from_this(), generation, &loops = loops_, &lock = lock_](
               std::shared_ptr<const RecordingMap> file, std::size_t count) {
        loops.post(0, [weak, generation, &lock, file = std::move(file), count]() mutable {
            const auto self = weak.lock();
            if (!self) return;
            std::lock_guard guard(lock);
            self->file_holds(generation, std::move(file), count);
        });
    };
}

void Cast::file_holds(std::uint64_t generation, std::shared_ptr<const RecordingMap> file,
                      std::size_t count) {
    const std::size_t before = store_.blocks().in_file();
    const auto file_before = store_.blocks().file();
    store_.file_holds(generation, file, count);
    if (store_.blocks().in_file() == before && store_.blocks().file() == file_before) return;
    auto news = std::make_shared<News>();
    news->kind = News::Kind::kFile;
    news->generation = generation;
    news->file = std::move(file);
    news->in_file = store_.blocks().in_file();
    tell_loops(std::move(news));
}

void Cast::announce_recording() {
    auto news = std::make_shared<News>();
    news->kind = News::Kind::kRecording;
    news->generation = store_.generation();
    news->header_message = store_.header_message();
    news->file = store_.blocks().file();
    news->in_file = store_.blocks().in_file();
    tell_loops(std::move(news));
}

void Cast::append_block(wire::ConstBytes block, Clock::time_point now) {
    const SharedBytes& stored = store_.append(block);
    if (recording_) recording_->append(stored);
    packet_clock_.block_arrived(now);
    packet_time_.store(packet_clock_.tenths(), std::memory_order_relaxed);
    if (broadcast_delay_ <= Duration::zero()) {
        released_ = store_.block_count();
        return;
    }
    held_back_.push_back(now);
}

void Cast::release_due_blocks(Clock::time_point now) {
    if (ended_) return;
    while (!held_back_.empty() && held_back_.front() + broadcast_delay_ <= now) {
        held_back_.pop_front();
        ++released_;
    }
    publish();
}

void Cast::publish() {
    if (ended_ || published_ >= released_) return;
    auto news = std::make_shared<News>();
    news->kind = News::Kind::kBlocks;
    news->generation = store_.generation();
    news->first_block = published_;
    news->blocks.reserve(released_ - published_);
    const StoredBlocks& blocks = store_.blocks();
    for (std::size_t i = published_; i < released_; ++i) {
        const SharedBytes* in_memory = blocks.in_memory(i);
        news->blocks.push_back(in_memory ? *in_memory : nullptr);
    }
    published_ = released_;
    tell_loops(std::move(news));
}

void Cast::tell_loops(std::shared_ptr<const News> news) {
    for (std::size_t loop = 0; loop < loops_.count(); ++loop) {
        loops_.post(loop,
                    [self = shared_from_this(), loop, news] { self->take_news(loop, *news); });
    }
}

void Cast::take_news(std::size_t loop, const News& news) {
    LoopView& view = views_[loop];
    switch (news.kind) {
        case News::Kind::kRecording:
            view.generation = news.generation;
            view.header_message = news.header_message;
            view.blocks.clear();
            view.blocks.file_holds(news.file, news.in_file);
            break;
        case News::Kind::kBlocks:
            // News of a recording since replaced is stale. Each loop takes the news in the order
            // it was posted, under the shared lock, so the blocks follow on from those the view
            // has; anything else is dropped rather than put out of place.
            if (news.generation != view.generation || news.first_block != view.blocks.size()) {
                return;
            }
            for (const SharedBytes& block : news.blocks) view.blocks.append(block);
            break;
        case News::Kind::kFile:
            // Nothing new to write: the view only reads these blocks from the file from now on.
            if (news.generation == view.generation) view.blocks.file_holds(news.file, news.in_file);
            return;
        case News::Kind::kEnded: {
            const auto leaving = static_cast<std::size_t>(
                std::count_if(view.watchers.begin(), view.watchers.end(),
                              [](const CastWatcher* watcher) { return watcher != nullptr; }));
            watcher_count_.fetch_sub(leaving, std::memory_order_relaxed);
            notify(view, true);
            return;
        }
    }
    notify(view, false);
}

bool Cast::next_chunk(std::size_t loop, Cursor& cursor, ReplayChunk& chunk) const {
    const LoopView& view = views_[loop];
    chunk.clear();
    if (!view.header_message) return false;
    if (cursor.generation != view.generation) {
        chunk.header_message = view.header_message;
        cursor = Cursor{view.generation, 0};
        return true;
    }
    const std::size_t released = view.blocks.size();
    const std::size_t available = released - std::min(released, cursor.next_block);
    if (available == 0) return false;
    chunk.block_count = std::min(available, kBlocksPerMessage);
    for (std::size_t i = 0; i < chunk.block_count; ++i) {
        const std::size_t index = cursor.next_block + i;
        if (const SharedBytes* in_memory = view.blocks.in_memory(index)) {
            chunk.in_memory[i] = *in_memory;
        } else {
            chunk.file = view.blocks.file();
        }
        chunk.blocks[i] = view.blocks.data(index);
    }
    cursor.next_block += chunk.block_count;
    return true;
}

void Cast::notify(LoopView& view, bool ended) {
    if (ended) {
        // Every watcher on this loop leaves; each takes what it was already told of, then
        // closes.
        std::vector<CastWatcher*> leaving;
        leaving.swap(view.watchers);
        view.has_holes = false;
        for (CastWatcher* watcher : leaving) {
            if (watcher != nullptr) watcher->cast_ended();
        }
        return;
    }
    // A watcher may leave while it is being told: its slot empties and the walk skips it.
    view.notifying = true;
    for (std::size_t i = 0; i < view.watchers.size(); ++i) {
        if (view.watchers[i] != nullptr) view.watchers[i]->cast_has_news();
    }
    view.notifying = false;
    compact(view);
}

void Cast::end() {
    if (ended_) return;
    // Nothing is delayed any more once the cast is over: every watcher gets the whole stream.
    held_back_.clear();
    released_ = store_.block_count();
    publish();
    ended_ = true;
    grace_ends_.reset();
    if (recording_) recording_->finish();
    auto news = std::make_shared<News>();
    news->kind = News::Kind::kEnded;
    tell_loops(std::move(news));
}

}  // namespace kavro::relay
