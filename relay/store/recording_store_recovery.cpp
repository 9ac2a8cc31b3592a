// The store's start: opening the catalogue (or setting a damaged one aside), reconciling it
// with the recordings' files, and bringing back the recordings whose casts were live.
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

// The id a file called "ID.mpr" belongs to, or 0.
std::uint64_t id_of_replay_file(const std::filesystem::path& path) {
    if (path.extension() != ".mpr") return 0;
    const std::string stem = path.stem().string();
    std::uint64_t id = 0;
    const auto [end, error] = std::from_chars(stem.data(), stem.data() + stem.size(), id);
    if (error != std::errc() || end != stem.data() + stem.size()) return 0;
    return id;
}

// The id a recording's file ("ID.mpr", "ID.json", or either with ".new") belongs to, or 0.
std::uint64_t id_of_recording_file(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    std::uint64_t id = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), id);
    if (error != std::errc() || end == name.data() || *end != '.') return 0;
    return id;
}

// A recording whose cast was live when the relay stopped: one whose writes failed is listed as
// incomplete from then on, but still has no end, and its cast comes back too.
bool carries_on(const RecordingRow& row) {
    return !row.ended && (state_is_open(row.state) || row.state == RecordingState::kIncomplete);
}

}  // namespace

void RecordingStore::open_catalogue() {
    const auto path = folder_.catalogue();
    try {
        catalogue_ = std::make_unique<Catalogue>(path);
        return;
    } catch (const CatalogueDamaged& e) {
        // Kept for the operator; the archive is built again from the recordings' files.
        const auto aside = path.string() + ".damaged";
        std::error_code ignored;
        std::filesystem::rename(path, aside, ignored);
        for (const char* part : {"-wal", "-shm"}) {
            std::filesystem::rename(path.string() + part, aside + part, ignored);
        }
        log_("the catalogue " + path.string() + " is damaged (" + e.what() + "); it is kept as " +
             aside + " and the archive is built again from the recordings' files");
    } catch (const std::runtime_error& e) {
        throw DataFolderError(e.what());
    }
    try {
        catalogue_ = std::make_unique<Catalogue>(path);
    } catch (const std::runtime_error& e) {
        throw DataFolderError(std::string("cannot make a new catalogue: ") + e.what());
    }
}

void RecordingStore::recover() {
    std::size_t unreadable = 0;
    std::vector<RecordingRow> rows;
    try {
        rows = catalogue_->load(unreadable);
    } catch (const std::runtime_error& e) {
        throw DataFolderError("cannot read the catalogue " + folder_.catalogue().string() + ": " +
                              e.what());
    }
    if (unreadable > 0) {
        log_("the catalogue has " + std::to_string(unreadable) +
             " row(s) that cannot be read; they are left out");
    }
    next_id_ = catalogue_->next_id();
    std::set<std::uint64_t> listed;

    // A row's file: missing or shorter than a header, it is left out; a torn last block goes.
    const auto check_file = [&](RecordingRow& row) -> bool {
        const auto path = folder_.replay_file(row.id);
        std::error_code error;
        const auto size = std::filesystem::file_size(path, error);
        if (error) {
            log_(describe(row) + ": its file " + path.string() + " is missing (" + error.message() +
                 "); left out of the archive");
            return false;
        }
        if (size < wire::kReplayHeaderSize) {
            log_(describe(row) + ": its file has " + std::to_string(size) +
                 " bytes, less than a replay header; left out of the archive");
            return false;
        }
        const std::uint64_t whole = block_offset(whole_blocks(size));
        if (whole != size) {
            std::filesystem::resize_file(path, whole, error);
            if (error) {
                log_(describe(row) + ": cannot cut its torn last block (" + error.message() +
                     "); left out of the archive");
                return false;
            }
            log_(describe(row) + ": cut a torn last block of " + std::to_string(size - whole) +
                 " bytes");
        }
        row.bytes = whole;
        return true;
    };

    std::vector<std::shared_ptr<Entry>> open;
    for (RecordingRow& row : rows) {
        if (!check_file(row)) {
            deleted_.push_back(row.id);
            continue;
        }
        auto entry = std::make_shared<Entry>();
        entry->row = std::move(row);
        listed.insert(entry->row.id);
        next_id_ = std::max(next_id_, entry->row.id + 1);
        if (carries_on(entry->row)) open.push_back(entry);
        entries_[entry->row.id] = std::move(entry);
    }

    // Files the catalogue does not list (it was damaged, or lost its last writes): listed again
    // from their about files.
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder_.recordings(), error)) {
        // Every id a file in the folder carries stays given, listed or not: a recording whose
        // catalogue row was never written must not see its file overwritten by a new one.
        next_id_ = std::max(next_id_, id_of_recording_file(item.path()) + 1);
        const std::uint64_t id = id_of_replay_file(item.path());
        if (id == 0 || listed.count(id) > 0) continue;
        auto about = read_about(folder_.about_file(id));
        if (!about || about->id != id) {
            log_("the file " + item.path().string() +
                 " is in no catalogue entry and has no readable about file; skipped");
            continue;
        }
        RecordingRow row = std::move(*about);
        if (!check_file(row)) continue;
        const bool was_open = row.state == RecordingState::kAwaitingResume;
        if (!was_open) {
            std::error_code time_error;
            const auto written = std::filesystem::last_write_time(item.path(), time_error);
            row.ended = time_error ? row.started
                                   : std::chrono::time_point_cast<WallClock::duration>(
                                         std::chrono::file_clock::to_sys(written));
        }
        log_(describe(row) + " was in no catalogue entry; listed again from its files" +
             (was_open ? ", open: its cast comes back" : ""));
        auto entry = std::make_shared<Entry>();
        entry->row = std::move(row);
        next_id_ = std::max(next_id_, id + 1);
        if (was_open) open.push_back(entry);
        entries_[id] = std::move(entry);
    }
    if (error) {
        throw DataFolderError("cannot read " + folder_.recordings().string() + ": " +
                              error.message());
    }

    // Live when the relay stopped: its cast comes back. Of two open recordings of one name, the
    // newer stands.
    std::sort(open.begin(), open.end(),
              [](const auto& a, const auto& b) { return a->row.id > b->row.id; });
    std::set<std::string> names;
    for (const auto& entry : open) {
        if (!names.insert(entry->row.name).second) {
            entry->row.state = RecordingState::kFinished;
            entry->row.ended = wall_now();
            log_(describe(entry->row) + ": a newer recording of its cast is open; finished");
            continue;
        }
        restore(entry);
    }
}

void RecordingStore::restore(const std::shared_ptr<Entry>& entry) {
    RecordingRow& row = entry->row;
    const auto path = folder_.replay_file(row.id);
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    std::shared_ptr<const RecordingMap> map;
    if (fd >= 0) {
        try {
            map = std::make_shared<const RecordingMap>(
                fd, std::max<std::size_t>(options_.max_replay_bytes, row.bytes));
        } catch (const std::system_error&) {
        }
    }
    if (!map) {
        const int why = errno;
        if (fd >= 0) ::close(fd);
        row.state = RecordingState::kIncomplete;
        row.ended = wall_now();
        log_(describe(row) + ": cannot open its file to carry on (" + store_error_text(why) +
             "); listed as incomplete");
        return;
    }
    entry->fd = fd;
    entry->map = map;
    entry->header_on_disk = true;
    entry->written = entry->synced = whole_blocks(row.bytes);
    if (row.state != RecordingState::kIncomplete) row.state = RecordingState::kAwaitingResume;
    entry->dirty = true;
    RestoredRecording restored;
    restored.id = row.id;
    restored.start = RecordingStart{row.name, row.track, row.owner, row.key};
    restored.started = row.started;
    restored.header_message = share(wire::make_message(
        wire::kTagReplayHeader, wire::ConstBytes(map->data(), wire::kReplayHeaderSize)));
    restored.file = map;
    restored.blocks = entry->written;
    restored_.push_back(std::move(restored));
    open_.push_back(entry);
}

std::vector<RestoredRecording> RecordingStore::take_restored() {
    std::lock_guard lock(mutex_);
    return std::exchange(restored_, {});
}

}  // namespace kavro::relay
