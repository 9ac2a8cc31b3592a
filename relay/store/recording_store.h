// The relay's recordings in its data folder: every recording written as it arrives to one file
// that is the replay, listed in the catalogue, kept until retention removes it, and restored
// after a restart. Casts hand it their recordings through RecordingKeeper; the HTTP side reads
// the archive and downloads from it.
//
// One thread of its own does all the disk work: it writes the queued blocks in batches, syncs
// each file and the catalogue at least once a second and whenever a recording ends, and then
// tells each recording's cast how much its file holds, so the cast can let the memory copies
// go. The event loops only queue work under a short lock, never waiting on the disk. A write
// that fails (a full disk, say) ends nothing: the recording is marked incomplete, the log gets
// one line, the metrics count it, and the cast goes on from memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "relay/store/catalogue.h"
#include "relay/store/data_folder.h"
#include "relay/store/recording_keeper.h"
#include "relay/store/recording_row.h"
#include "relay/store/retention.h"

namespace kavro::relay {

struct StoreOptions {
    std::filesystem::path dir;
    // The most a recording may hold, header and blocks: the address space its file is mapped
    // with.
    std::size_t max_replay_bytes = 64u * 1024 * 1024;
    RetentionLimits retention;
    // The clock recordings are dated by; the system's when not set.
    std::function<WallClock::time_point()> wall_clock;
    std::chrono::milliseconds sync_interval{1000};
    std::chrono::milliseconds retention_interval{60'000};
    // Bytes queued for the disk and not yet written, across every recording, past which the
    // casters are not read (backpressure) until half of it is written.
    std::size_t queue_limit = 32u << 20;
};

class RecordingStore final : public RecordingKeeper {
  public:
    using Log = std::function<void(const std::string& line)>;

    // Opens and locks the data folder and its catalogue (a damaged catalogue is set aside and
    // the archive built again from the files), reconciles the catalogue with the files (a
    // torn last block is cut off; missing and unreadable files are skipped with a log line),
    // applies retention, and starts the disk's thread. Throws DataFolderError when the folder
    // cannot be used.
    RecordingStore(StoreOptions options, Log log);
    // Closes the store (see close()).
    ~RecordingStore() override;
    RecordingStore(const RecordingStore&) = delete;
    RecordingStore& operator=(const RecordingStore&) = delete;

    // The recordings that were live when the relay last stopped, for their casts to come back;
    // given once.
    std::vector<RestoredRecording> take_restored();
    // Writes everything queued, syncs every file and the catalogue, lists every recording
    // still open as awaiting its caster (it comes back at the next start), and stops the
    // disk's thread. Nothing may be queued after it. False when the catalogue could not be
    // written at the end (the files are synced all the same).
    bool close();

    // RecordingKeeper
    std::unique_ptr<KeptRecording> begin(const RecordingStart& start,
                                         const SharedBytes& header_message,
                                         const StoredBlocks& kept, FileProgress progress) override;
    std::unique_ptr<KeptRecording> resume(std::uint64_t id, FileProgress progress) override;
    bool has_room() const override;
    void when_room(std::function<void()> resume) override;

    // Every recording in the catalogue, newest first.
    std::vector<RecordingRow> archive() const;
    // At most `limit` recordings older than `before` (all, without it), newest first: the
    // work is the page's, however many recordings the catalogue lists.
    ArchivePage archive_page(std::optional<std::uint64_t> before, std::size_t limit) const;
    // Recording `id`'s row; nothing when there is no such recording.
    std::optional<RecordingRow> row(std::uint64_t id) const;
    // Recording `id`'s file, mapped, and the bytes of it stored so far; nothing when there is
    // no such recording or nothing of it is stored.
    std::optional<ReplayFile> replay(std::uint64_t id) const;
    StoreStatus status() const;
    const std::filesystem::path& dir() const { return folder_.dir(); }

  private:
    struct Entry;
    class Handle;
    struct Work;

    WallClock::time_point wall_now() const;
    void open_catalogue();
    void recover();
    void restore(const std::shared_ptr<Entry>& entry);
    void run();
    std::chrono::steady_clock::time_point next_wake(
        const std::vector<std::shared_ptr<Entry>>& open,
        std::chrono::steady_clock::time_point last_catalogue_write, bool rows_dirty) const;
    void write_work(Work& work);
    bool write_blocks(Entry& entry, const std::vector<const std::uint8_t*>& blocks);
    void write_failed(Entry& entry, const std::string& what, int error);
    void sync_round(bool closing);
    void write_catalogue();
    void apply_retention();
    void notify_locked();
    std::string describe(const RecordingRow& row) const;

    const StoreOptions options_;
    const Log log_;
    DataFolder folder_;
    std::unique_ptr<Catalogue> catalogue_;  // the disk's thread's alone once it runs

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::uint64_t, std::shared_ptr<Entry>> entries_;  // every recording listed
    std::vector<std::shared_ptr<Entry>> open_;  // those whose file may still be written
    std::vector<std::uint64_t> deleted_;        // ids to take out of the catalogue
    std::uint64_t next_id_ = 1;
    std::size_t pending_bytes_ = 0;  // queued since the disk's thread last took its batch
    std::size_t backlog_bytes_ = 0;  // queued or taken, not yet written
    std::vector<std::function<void()>> room_waiters_;
    bool urgent_ = false;
    bool rows_dirty_ = false;  // some entry's row changed since the catalogue was written
    bool closing_ = false;
    bool closed_ = false;
    std::vector<RestoredRecording> restored_;
    StoreStatus counts_;  // write errors, deletions and syncs

    // The disk's thread's own.
    bool catalogue_failing_ = false;
    std::chrono::steady_clock::time_point last_retention_;
    bool retention_due_ = false;
    std::optional<std::chrono::steady_clock::time_point> trim_at_;
    std::uint64_t released_since_trim_ = 0;
    std::thread thread_;
};

}  // namespace kavro::relay
