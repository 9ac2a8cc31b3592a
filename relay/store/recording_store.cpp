#include "relay/store/recording_store.h"

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
#include "relay/store/recording_store_entry.h"

namespace kavro::relay {

class RecordingStore::Handle final : public KeptRecording {
  public:
    Handle(RecordingStore& store, std::shared_ptr<Entry> entry)
        : store_(store), entry_(std::move(entry)), id_(entry_->row.id) {}

    std::uint64_t id() const override { return id_; }

    void append(const SharedBytes& block) override {
        std::lock_guard lock(store_.mutex_);
        if (entry_->failed || entry_->finish_requested || store_.closed_) return;
        entry_->pending.push_back(block);
        // The first block since the disk's thread took the last batch wakes it; the others
        // join that batch.
        if (store_.pending_bytes_ == 0) store_.notify_locked();
        store_.pending_bytes_ += block->size();
        store_.backlog_bytes_ += block->size();
    }

    void caster_connected(bool connected) override {
        std::lock_guard lock(store_.mutex_);
        RecordingRow& row = entry_->row;
        if (!state_is_open(row.state)) return;
        row.state = connected ? RecordingState::kLive : RecordingState::kAwaitingResume;
        entry_->dirty = true;
        store_.rows_dirty_ = true;
    }

    void watchers_now(std::size_t count) override {
        std::lock_guard lock(store_.mutex_);
        if (count <= entry_->row.watchers_peak) return;
        entry_->row.watchers_peak = count;
        entry_->dirty = true;
        store_.rows_dirty_ = true;
    }

    void keyed(const std::string& key) override {
        std::lock_guard lock(store_.mutex_);
        entry_->row.key = key;
        entry_->dirty = true;
        store_.rows_dirty_ = true;
    }

    void finish() override {
        std::lock_guard lock(store_.mutex_);
        if (entry_->finish_requested) return;
        entry_->finish_requested = true;
        entry_->row.ended = store_.wall_now();
        if (entry_->row.state != RecordingState::kIncomplete) {
            entry_->row.state = RecordingState::kFinished;
        }
        entry_->dirty = true;
        store_.rows_dirty_ = true;
        store_.notify_locked();
    }

  private:
    RecordingStore& store_;
    std::shared_ptr<Entry> entry_;
    std::uint64_t id_;
};

RecordingStore::RecordingStore(StoreOptions options, Log log)
    : options_(std::move(options)), log_(std::move(log)), folder_(options_.dir) {
    open_catalogue();
    recover();
    write_catalogue();
    apply_retention();
    last_retention_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { run(); });
}

RecordingStore::~RecordingStore() { close(); }

WallClock::time_point RecordingStore::wall_now() const {
    return options_.wall_clock ? options_.wall_clock() : WallClock::now();
}

std::string RecordingStore::describe(const RecordingRow& row) const {
    return "recording " + std::to_string(row.id) + " (" + printable(row.name) + ")";
}

void RecordingStore::notify_locked() {
    urgent_ = true;
    wake_.notify_one();
}

std::unique_ptr<KeptRecording> RecordingStore::begin(const RecordingStart& start,
                                                     const SharedBytes& header_message,
                                                     const StoredBlocks& kept,
                                                     FileProgress progress) {
    auto entry = std::make_shared<Entry>();
    std::lock_guard lock(mutex_);
    entry->row.id = next_id_++;
    entry->row.name = start.name;
    entry->row.track = start.track;
    entry->row.owner = start.owner;
    entry->row.key = start.key;
    entry->row.started = wall_now();
    entry->file_to_make = true;
    entry->header_message = header_message;
    entry->kept = kept;
    entry->progress = std::move(progress);
    entries_[entry->row.id] = entry;
    if (!closed_) {
        open_.push_back(entry);
        notify_locked();
    }
    return std::make_unique<Handle>(*this, std::move(entry));
}

std::unique_ptr<KeptRecording> RecordingStore::resume(std::uint64_t id, FileProgress progress) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return nullptr;
    it->second->progress = std::move(progress);
    return std::make_unique<Handle>(*this, it->second);
}

bool RecordingStore::close() {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || closing_) return !catalogue_failing_;
        closing_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    closed_ = true;
    return !catalogue_failing_;
}

std::vector<RecordingRow> RecordingStore::archive() const {
    std::vector<RecordingRow> rows;
    {
        std::lock_guard lock(mutex_);
        rows.reserve(entries_.size());
        for (const auto& [id, entry] : entries_) rows.push_back(entry->row);
    }
    std::sort(rows.begin(), rows.end(), [](const RecordingRow& a, const RecordingRow& b) {
        return a.started != b.started ? a.started > b.started : a.id > b.id;
    });
    return rows;
}

ArchivePage RecordingStore::archive_page(std::optional<std::uint64_t> before,
                                         std::size_t limit) const {
    ArchivePage page;
    std::lock_guard lock(mutex_);
    auto it = before ? entries_.lower_bound(*before) : entries_.end();
    while (it != entries_.begin() && page.rows.size() < limit) {
        --it;
        page.rows.push_back(it->second->row);
    }
    if (it != entries_.begin() && !page.rows.empty()) page.next_before = page.rows.back().id;
    return page;
}

std::optional<RecordingRow> RecordingStore::row(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second->row;
}

std::optional<ReplayFile> RecordingStore::replay(std::uint64_t id) const {
    ReplayFile replay;
    {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(id);
        if (it == entries_.end()) return std::nullopt;
        replay.row = it->second->row;
        replay.file = it->second->map;
    }
    if (replay.row.bytes < wire::kReplayHeaderSize) return std::nullopt;
    if (!replay.file) replay.file = RecordingMap::open(folder_.replay_file(id), replay.row.bytes);
    if (!replay.file) return std::nullopt;
    return replay;
}

bool RecordingStore::has_room() const {
    std::lock_guard lock(mutex_);
    return backlog_bytes_ < options_.queue_limit || closed_;
}

void RecordingStore::when_room(std::function<void()> resume) {
    {
        std::lock_guard lock(mutex_);
        if (backlog_bytes_ >= options_.queue_limit && !closed_ && !closing_) {
            room_waiters_.push_back(std::move(resume));
            return;
        }
    }
    resume();
}

StoreStatus RecordingStore::status() const {
    std::lock_guard lock(mutex_);
    StoreStatus status = counts_;
    status.enabled = true;
    status.recordings = entries_.size();
    for (const auto& [id, entry] : entries_) status.bytes += entry->row.bytes;
    return status;
}

}  // namespace kavro::relay
