// The store's disk thread: it writes the queued blocks in batches, syncs the files and the
// catalogue, tells the casts how much each file holds, applies retention and hands freed
// memory back to the system.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <set>

#include "relay/base/relay_log.h"
#include "relay/base/text_file.h"
#include "relay/store/about_file.h"
#include "relay/store/recording_store.h"
#include "relay/store/recording_store_entry.h"

namespace kavro::relay {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The least time between two retention checks, however short the interval asked for.
constexpr auto kShortestRetentionInterval = std::chrono::milliseconds(100);
// Unsynced bytes that make the disk's thread sync at once: a caster uploading fast keeps
// little in memory.
constexpr std::uint64_t kSyncBytes = 16u << 20;
// Bytes let go of since the last trim that make the next one worth its walk of the heap.
constexpr std::uint64_t kTrimBytes = 8u << 20;
// How long after a sync the memory the casts let go of is handed back to the system.
constexpr auto kTrimDelay = std::chrono::milliseconds(300);
// Blocks written in one call.
constexpr std::size_t kBlocksPerWrite = 256;

std::string size_text(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

bool write_all(int fd, const void* data, std::size_t size, off_t offset) {
    const auto* from = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, from, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        from += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

SteadyClock::time_point RecordingStore::next_wake(const std::vector<std::shared_ptr<Entry>>& open,
                                                  SteadyClock::time_point last_catalogue_write,
                                                  bool rows_dirty) const {
    // Nothing to do until the first of: a sync due, the next retention check, a trim, or the
    // catalogue's rows that changed without new data. Queued work wakes the thread sooner.
    auto wake = last_retention_ + std::max<SteadyClock::duration>(options_.retention_interval,
                                                                  kShortestRetentionInterval);
    for (const auto& entry : open) {
        if (entry->unsynced_since)
            wake = std::min(wake, *entry->unsynced_since + options_.sync_interval);
    }
    if (trim_at_) wake = std::min(wake, *trim_at_);
    if (rows_dirty) wake = std::min(wake, last_catalogue_write + options_.sync_interval);
    return wake;
}

void RecordingStore::run() {
    // Named, so an operator (top -H) and the tests tell it from the event loops.
    ::pthread_setname_np(::pthread_self(), "kavro-disk");
    std::vector<Work> work;
    std::vector<std::shared_ptr<Entry>> open;
    auto last_catalogue_write = SteadyClock::now();
    for (;;) {
        bool closing = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, next_wake(open, last_catalogue_write, rows_dirty_),
                             [&] { return urgent_ || closing_; });
            urgent_ = false;
            closing = closing_;
            pending_bytes_ = 0;
            work.clear();
            for (const auto& entry : open_) {
                Entry& e = *entry;
                const bool finish = e.finish_requested && !e.finish_taken;
                if (!e.file_to_make && e.pending.empty() && !finish) continue;
                Work w;
                w.entry = entry;
                w.make_file = std::exchange(e.file_to_make, false);
                w.header_message = std::move(e.header_message);
                w.kept = std::exchange(e.kept, {});
                w.blocks.swap(e.pending);
                w.finish = finish;
                work.push_back(std::move(w));
            }
            open = open_;
        }
        bool due = closing;
        for (Work& w : work) {
            write_work(w);
            due = due || w.finish;
            std::size_t written = 0;
            for (const auto& block : w.blocks) written += block->size();
            std::vector<std::function<void()>> resumed;
            {
                std::lock_guard lock(mutex_);
                backlog_bytes_ -= std::min(backlog_bytes_, written);
                if (backlog_bytes_ <= options_.queue_limit / 2) resumed.swap(room_waiters_);
            }
            for (auto& resume : resumed) resume();
        }
        {
            // A write that failed let its queue go too.
            std::vector<std::function<void()>> resumed;
            {
                std::lock_guard lock(mutex_);
                if (backlog_bytes_ <= options_.queue_limit / 2 || closing) {
                    resumed.swap(room_waiters_);
                }
            }
            for (auto& resume : resumed) resume();
        }
        const auto now = SteadyClock::now();
        std::uint64_t unsynced = 0;
        for (const auto& entry : open) {
            unsynced += (entry->written - entry->synced) * wire::kBlockSize;
            if (entry->unsynced_since && now - *entry->unsynced_since >= options_.sync_interval) {
                due = true;
            }
        }
        if (due || unsynced >= kSyncBytes) {
            sync_round(closing);
            last_catalogue_write = SteadyClock::now();
        } else if (now - last_catalogue_write >= options_.sync_interval) {
            write_catalogue();
            last_catalogue_write = now;
        }
        if (!trim_at_ && released_since_trim_ >= kTrimBytes) {
            // After the loops have taken the news and dropped their copies.
            trim_at_ = now + kTrimDelay;
            released_since_trim_ = 0;
        }
        if (trim_at_ && now >= *trim_at_) {
            // The casts let go of the memory copies of what was synced; glibc keeps freed
            // blocks for itself unless asked to hand whole pages back.
            ::malloc_trim(0);
            trim_at_.reset();
        }
        if (!closing && (retention_due_ || now - last_retention_ >= options_.retention_interval)) {
            apply_retention();
            retention_due_ = false;
            last_retention_ = now;
        }
        if (closing) return;
    }
}

void RecordingStore::write_work(Work& work) {
    Entry& e = *work.entry;
    e.finish_taken = e.finish_taken || work.finish;
    if (work.make_file) {
        const auto path = folder_.replay_file(e.row.id);
        RecordingRow about;
        {
            std::lock_guard lock(mutex_);
            about = e.row;
        }
        // Never over another recording's file: ids are never given twice.
        e.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (e.fd < 0) return write_failed(e, "creating its file", errno);
        {
            const std::string text = about_text(about);
            const auto about_path = folder_.about_file(e.row.id);
            // It names the caster's address, which is never shown: the relay's user's alone,
            // as the catalogue is.
            const int fd =
                ::open(about_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            const bool ok = fd >= 0 && write_all(fd, text.data(), text.size(), 0);
            const int why = errno;
            if (fd >= 0) ::close(fd);
            if (!ok) return write_failed(e, "writing its about file", why);
            // The two new names in the folder outlive a power cut too.
            const int folder = ::open(folder_.recordings().c_str(), O_RDONLY | O_DIRECTORY);
            if (folder >= 0) {
                ::fsync(folder);
                ::close(folder);
            }
        }
        try {
            auto map = std::make_shared<const RecordingMap>(e.fd, options_.max_replay_bytes);
            std::lock_guard lock(mutex_);
            e.map = std::move(map);
        } catch (const std::system_error& error) {
            return write_failed(e, "mapping its file", error.code().value());
        }
        const auto header = wire::ConstBytes(*work.header_message).subspan(wire::kHeadSize);
        if (!write_all(e.fd, header.data(), header.size(), 0)) {
            return write_failed(e, "writing its header", errno);
        }
        e.header_on_disk = true;
        e.unsynced_since = SteadyClock::now();
        // Durable from the first block: the catalogue lists the recording, live, as soon as
        // its header is written, not at the first sync, so a relay killed in the cast's
        // first second brings it back and its caster's upload continues it.
        write_catalogue();
        std::vector<const std::uint8_t*> kept;
        kept.reserve(work.kept.size());
        for (std::size_t i = 0; i < work.kept.size(); ++i) kept.push_back(work.kept.data(i));
        if (!write_blocks(e, kept)) return;
    }
    if (e.fd < 0 || work.blocks.empty()) return;
    std::vector<const std::uint8_t*> blocks;
    blocks.reserve(work.blocks.size());
    for (const auto& block : work.blocks) blocks.push_back(block->data());
    write_blocks(e, blocks);
}

bool RecordingStore::write_blocks(Entry& e, const std::vector<const std::uint8_t*>& blocks) {
    std::size_t done = 0;
    std::array<iovec, kBlocksPerWrite> pieces{};
    while (done < blocks.size()) {
        const std::size_t count = std::min(kBlocksPerWrite, blocks.size() - done);
        for (std::size_t i = 0; i < count; ++i) {
            pieces[i].iov_base = const_cast<std::uint8_t*>(blocks[done + i]);
            pieces[i].iov_len = wire::kBlockSize;
        }
        const ssize_t n = ::pwritev(e.fd, pieces.data(), static_cast<int>(count),
                                    static_cast<off_t>(block_offset(e.written)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            write_failed(e, "writing its blocks", n < 0 ? errno : EIO);
            return false;
        }
        // A short write leaves part of a block: it is written again, whole, next time round.
        const std::size_t whole = static_cast<std::size_t>(n) / wire::kBlockSize;
        e.written += whole;
        done += whole;
        if (!e.unsynced_since) e.unsynced_since = SteadyClock::now();
    }
    return true;
}

void RecordingStore::write_failed(Entry& e, const std::string& what, int error) {
    RecordingRow row;
    {
        std::lock_guard lock(mutex_);
        e.failed = true;
        for (const auto& block : e.pending) {
            backlog_bytes_ -= std::min(backlog_bytes_, block->size());
        }
        e.pending.clear();
        e.row.state = RecordingState::kIncomplete;
        e.dirty = true;
        rows_dirty_ = true;
        ++counts_.write_errors;
        row = e.row;
    }
    log_(describe(row) + ": " + what + " failed (" + store_error_text(error) +
         "); the cast goes on from memory and the recording is listed as incomplete");
    if (e.fd < 0) return;
    // What was written before the failure still counts once it is synced; the rest of the
    // file is cut off, so the file is the recording's first blocks, whole.
    if (e.header_on_disk && e.written > e.synced && ::fdatasync(e.fd) == 0) {
        e.synced = e.written;
    }
    const std::uint64_t keep = e.header_on_disk ? block_offset(e.synced) : 0;
    if (::ftruncate(e.fd, static_cast<off_t>(keep)) != 0) {
        // Recovery at the next start cuts what does not belong.
    }
    ::close(e.fd);
    e.fd = -1;
    e.written = e.synced;
    e.unsynced_since.reset();
    FileProgress progress;
    std::shared_ptr<const RecordingMap> map;
    {
        std::lock_guard lock(mutex_);
        e.row.bytes = keep;
        progress = e.progress;
        map = e.map;
    }
    if (progress && map && e.header_on_disk) progress(map, e.synced);
}

void RecordingStore::sync_round(bool closing) {
    const auto started = SteadyClock::now();
    std::vector<std::shared_ptr<Entry>> open;
    {
        std::lock_guard lock(mutex_);
        open = open_;
    }
    std::vector<std::shared_ptr<Entry>> closed;
    std::vector<RecordingRow> finished;
    for (const auto& entry : open) {
        Entry& e = *entry;
        if (e.fd >= 0 && e.written > e.synced) {
            const std::size_t before = e.synced;
            if (::fdatasync(e.fd) != 0) {
                write_failed(e, "syncing its file", errno);
            } else {
                e.synced = e.written;
                e.unsynced_since.reset();
                FileProgress progress;
                std::shared_ptr<const RecordingMap> map;
                {
                    std::lock_guard lock(mutex_);
                    e.row.bytes = block_offset(e.synced);
                    e.dirty = true;
                    rows_dirty_ = true;
                    progress = e.progress;
                    map = e.map;
                }
                if (progress && map) {
                    progress(map, e.synced);
                    released_since_trim_ += (e.synced - before) * wire::kBlockSize;
                }
            }
        }
        if (e.finish_taken || closing) {
            if (e.fd >= 0) ::close(e.fd);
            e.fd = -1;
            closed.push_back(entry);
            if (e.finish_taken && e.header_on_disk) {
                std::lock_guard lock(mutex_);
                finished.push_back(e.row);
            }
        }
    }
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : closed) {
            Entry& e = *entry;
            if (closing && e.row.state == RecordingState::kLive) {
                e.row.state = RecordingState::kAwaitingResume;  // back at the next start
            }
            e.dirty = true;
            rows_dirty_ = true;
            if (e.finish_taken) {
                retention_due_ = true;
                // A finished recording's file is mapped again on demand for a download; the
                // store keeps no address space for it.
                e.map.reset();
            }
            std::erase(open_, entry);
        }
    }
    write_catalogue();
    // Its about file no longer says it is open, so a catalogue built again from the files
    // lists it as finished.
    for (const RecordingRow& row : finished) {
        std::string problem;
        if (!replace_file_durably(folder_.about_file(row.id), about_text(row), problem)) {
            log_(describe(row) + ": its about file could not be marked finished (" + problem + ")");
        }
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    std::lock_guard lock(mutex_);
    ++counts_.syncs;
    counts_.sync_seconds += seconds;
    for (std::size_t i = 0; i < kSyncBuckets.size(); ++i) {
        if (seconds <= kSyncBuckets[i]) ++counts_.sync_buckets[i];
    }
}

void RecordingStore::write_catalogue() {
    std::vector<RecordingRow> rows;
    std::vector<std::uint64_t> deleted;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, entry] : entries_) {
            if (!entry->dirty) continue;
            entry->dirty = false;
            rows.push_back(entry->row);
        }
        deleted.swap(deleted_);
        rows_dirty_ = false;
    }
    std::string error;
    if (catalogue_->write(rows, deleted, error)) {
        if (catalogue_failing_) log_("the catalogue is written again");
        catalogue_failing_ = false;
        return;
    }
    std::lock_guard lock(mutex_);
    for (const RecordingRow& row : rows) {
        if (const auto it = entries_.find(row.id); it != entries_.end()) it->second->dirty = true;
    }
    rows_dirty_ = true;
    deleted_.insert(deleted_.end(), deleted.begin(), deleted.end());
    ++counts_.write_errors;
    if (!catalogue_failing_) {
        log_("writing the catalogue failed (" + error + "); it is tried again each second");
    }
    catalogue_failing_ = true;
}

void RecordingStore::apply_retention() {
    std::vector<RecordingRow> rows;
    {
        std::lock_guard lock(mutex_);
        rows.reserve(entries_.size());
        for (const auto& [id, entry] : entries_) rows.push_back(entry->row);
    }
    const auto deletions = choose_deletions(rows, wall_now(), options_.retention);
    if (deletions.empty()) return;
    for (const Deletion& deletion : deletions) {
        RecordingRow row;
        {
            std::lock_guard lock(mutex_);
            const auto it = entries_.find(deletion.id);
            if (it == entries_.end() || !it->second->row.ended) continue;  // live: kept
            row = it->second->row;
            entries_.erase(it);
            deleted_.push_back(deletion.id);
            ++counts_.deleted_by_retention;
        }
        std::error_code ignored;
        std::filesystem::remove(folder_.replay_file(deletion.id), ignored);
        std::filesystem::remove(folder_.about_file(deletion.id), ignored);
        log_("retention deleted " + describe(row) + ", " + size_text(row.bytes) + " from " +
             utc_text(row.started) +
             (deletion.for_age ? ": older than the days kept"
                               : ": the recordings passed the bytes kept"));
    }
    write_catalogue();
}

}  // namespace kavro::relay
