#include "relay/base/admin_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavro::relay {

std::string read_admin_token(const std::filesystem::path& path) {
    const std::string shown = path.string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw AdminTokenError("cannot read " + shown + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw AdminTokenError(shown + " is not a regular file");
    }
    if ((info.st_mode & 077) != 0) {
        ::close(fd);
        throw AdminTokenError(shown + " may be read or changed by other users than the relay's; " +
                              "make it the relay's alone (chmod 600 " + shown + ")");
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos || text.size() > 65536) break;
    }
    ::close(fd);
    std::string token = text.substr(0, text.find('\n'));
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.empty()) throw AdminTokenError(shown + " holds no token");
    if (token.size() < kShortestAdminToken) {
        throw AdminTokenError("the token in " + shown + " has " + std::to_string(token.size()) +
                              " characters; give it at least " +
                              std::to_string(kShortestAdminToken) +
                              " (openssl rand -hex 24 makes one)");
    }
    return token;
}

}  // namespace kavro::relay
