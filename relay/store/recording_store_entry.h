// A recording as the store keeps it and the work its disk's thread takes, shared by the
// store's own files (the store, its recovery at start and its disk writer); nothing else
// includes this.
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "relay/store/recording_store.h"

namespace kavro::relay {

inline std::string store_error_text(int error) { return std::strerror(error); }

struct RecordingStore::Entry {
    // Guarded by the store's mutex.
    RecordingRow row;
    bool dirty = true;          // changed since the catalogue last had it
    bool file_to_make = false;  // the file is still to be made, from these:
    SharedBytes header_message;
    StoredBlocks kept;
    std::vector<SharedBytes> pending;  // blocks to write, in order
    bool finish_requested = false;
    bool failed = false;  // a write failed: nothing more is written
    FileProgress progress;
    std::shared_ptr<const RecordingMap> map;

    // The disk's thread's alone.
    int fd = -1;
    bool header_on_disk = false;
    std::size_t written = 0;  // blocks written
    std::size_t synced = 0;   // blocks synced
    std::optional<std::chrono::steady_clock::time_point> unsynced_since;
    bool finish_taken = false;
};

struct RecordingStore::Work {
    std::shared_ptr<Entry> entry;
    bool make_file = false;
    SharedBytes header_message;
    StoredBlocks kept;
    std::vector<SharedBytes> blocks;
    bool finish = false;
};

}  // namespace kavro::relay
