// The relay's data folder: the catalogue, a folder of recordings (each a replay file and a
// small file of what the catalogue says of it) and a lock on the folder itself that keeps a
// second relay out (the lock file beside it names the relay that holds it).
// Other files in the folder (an operator's, or other parts of the relay's) are left alone.
//
//   DIR/kavro-relay.lock
//   DIR/catalogue.sqlite      (and SQLite's -wal and -shm beside it)
//   DIR/recordings/ID.mpr     the replay: the 16,384-byte header, then the blocks
//   DIR/recordings/ID.json    name, track, owner and start of the recording
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>

namespace kavro::relay {

// The data folder cannot be used; the relay says why and exits with status 2.
class DataFolderError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

class DataFolder {
  public:
    // Creates the folder and its recordings folder when missing and locks it. Throws
    // DataFolderError when it cannot be made, opened, written or locked, or another relay
    // holds it.
    explicit DataFolder(std::filesystem::path dir);
    ~DataFolder();
    DataFolder(const DataFolder&) = delete;
    DataFolder& operator=(const DataFolder&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path catalogue() const { return dir_ / "catalogue.sqlite"; }
    std::filesystem::path recordings() const { return dir_ / "recordings"; }
    std::filesystem::path replay_file(std::uint64_t id) const;
    std::filesystem::path about_file(std::uint64_t id) const;

  private:
    std::filesystem::path dir_;
    int folder_fd_ = -1;  // the folder, locked
    int lock_fd_ = -1;    // kavro-relay.lock, which names the process
};

}  // namespace kavro::relay
