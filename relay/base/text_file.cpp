#include "relay/base/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kavro::relay {

std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool replace_file_durably(const std::filesystem::path& path, const std::string& text,
                          std::string& problem) {
    const std::filesystem::path temporary = path.string() + ".new";
    const auto failed = [&](const std::string& what) {
        problem = what + ": " + std::strerror(errno);
        return false;
    };
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return failed("cannot write " + temporary.string());
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int why = n < 0 ? errno : EIO;
            ::close(fd);
            errno = why;
            return failed("cannot write " + temporary.string());
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int why = errno;
        ::close(fd);
        errno = why;
        return failed("cannot sync " + temporary.string());
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return failed("cannot rename " + temporary.string());
    }
    // The new name outlives a power cut too.
    const auto parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const int folder = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return failed("cannot open " + parent.string());
    const bool synced = ::fsync(folder) == 0;
    const int why = errno;
    ::close(folder);
    errno = why;
    if (!synced) return failed("cannot sync " + parent.string());
    return true;
}

}  // namespace kavro::relay
