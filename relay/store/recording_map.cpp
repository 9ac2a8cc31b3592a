#include "relay/store/recording_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kavro::relay {

RecordingMap::RecordingMap(int fd, std::size_t length) : length_(length) {
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
    base_ = static_cast<const std::uint8_t*>(base);
}

RecordingMap::~RecordingMap() { ::munmap(const_cast<std::uint8_t*>(base_), length_); }

std::shared_ptr<const RecordingMap> RecordingMap::open(const std::filesystem::path& path,
                                                       std::size_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::shared_ptr<const RecordingMap> map;
    try {
        map = std::make_shared<const RecordingMap>(fd, length);
    } catch (const std::system_error&) {
    }
    ::close(fd);
    return map;
}

}  // namespace kavro::relay
