#include "relay/store/data_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kavro::relay {

namespace {

std::string reason(int error) { return std::strerror(error); }

// The process id the holder of the lock wrote into it, or "" when there is none.
std::string holder_of(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid;
}

}  // namespace

DataFolder::DataFolder(std::filesystem::path dir) : dir_(std::move(dir)) {
    const std::string shown = dir_.string();
    std::error_code error;
    std::filesystem::create_directories(dir_ / "recordings", error);
    if (error) {
        throw DataFolderError("cannot use the data folder " + shown + ": " + error.message());
    }
    const auto lock_path = dir_ / "kavro-relay.lock";
    // The folder itself is what is locked: the lock file only names the holder, so an operator
    // who takes it for a stale pidfile and deletes it lets no second relay in.
    folder_fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd_ < 0) {
        throw DataFolderError("cannot use the data folder " + shown + ": " + reason(errno));
    }
    if (::flock(folder_fd_, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(folder_fd_);
        folder_fd_ = -1;
        std::string holder;
        const int named = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (named >= 0) {
            holder = holder_of(named);
            ::close(named);
        }
        if (why == EWOULDBLOCK) {
            throw DataFolderError("the data folder " + shown + " is in use by another kavro-relay" +
                                  (holder.empty() ? "" : " (process " + holder + ")") +
                                  "; give each relay a folder of its own");
        }
        throw DataFolderError("cannot lock the data folder " + shown + ": " + reason(why));
    }
    lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        const int why = errno;
        ::close(folder_fd_);
        folder_fd_ = -1;
        throw DataFolderError("cannot use the data folder " + shown + ": cannot open " +
                              lock_path.string() + ": " + reason(why));
    }
    // Held too, for relays of earlier versions, which lock only the file.
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        const std::string holder = holder_of(lock_fd_);
        ::close(lock_fd_);
        ::close(folder_fd_);
        lock_fd_ = folder_fd_ = -1;
        if (why == EWOULDBLOCK) {
            throw DataFolderError("the data folder " + shown + " is in use by another kavro-relay" +
                                  (holder.empty() ? "" : " (process " + holder + ")") +
                                  "; give each relay a folder of its own");
        }
        throw DataFolderError("cannot lock the data folder " + shown + ": " + reason(why));
    }
    // Written for the operator, and for the message a second relay gives.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock_fd_, 0) != 0 ||
        ::pwrite(lock_fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        const int why = errno;
        ::close(lock_fd_);
        ::close(folder_fd_);
        lock_fd_ = folder_fd_ = -1;
        throw DataFolderError("cannot write in the data folder " + shown + ": " + reason(why));
    }
}

DataFolder::~DataFolder() {
    if (lock_fd_ >= 0) ::close(lock_fd_);  // lets the locks go
    if (folder_fd_ >= 0) ::close(folder_fd_);
}

std::filesystem::path DataFolder::replay_file(std::uint64_t id) const {
    return recordings() / (std::to_string(id) + ".mpr");
}

std::filesystem::path DataFolder::about_file(std::uint64_t id) const {
    return recordings() / (std::to_string(id) + ".json");
}

}  // namespace kavro::relay
