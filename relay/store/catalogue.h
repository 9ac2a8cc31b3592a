// The catalogue of recordings in the data folder: a SQLite database in WAL mode, one row per
// recording (id, name, track, owner, started, ended, bytes, peak watchers, state). Only the
// disk's thread writes it, in one transaction per sync.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "relay/store/recording_row.h"

struct sqlite3;

namespace kavro::relay {

// The catalogue file is there but is not a sound database.
class CatalogueDamaged : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Catalogue {
  public:
    // Opens the catalogue at `path`, creating it when there is none. Throws CatalogueDamaged
    // when the file is not a database or fails SQLite's quick check, std::runtime_error when
    // it cannot be opened at all.
    explicit Catalogue(const std::filesystem::path& path);
    ~Catalogue();
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Every row; those that cannot be read (a bad state, say) are left out and counted in
    // `unreadable`.
    std::vector<RecordingRow> load(std::size_t& unreadable);
    // One more than the highest id ever given, so no id is used twice.
    std::uint64_t next_id();
    // Writes `rows` (new or changed) and deletes `deleted` in one transaction. False, with the
    // reason in `error`, when it failed; nothing of it is then written.
    bool write(const std::vector<RecordingRow>& rows, const std::vector<std::uint64_t>& deleted,
               std::string& error);

  private:
    void exec(const char* sql);
    std::string error_text() const;

    sqlite3* db_ = nullptr;
};

}  // namespace kavro::relay
