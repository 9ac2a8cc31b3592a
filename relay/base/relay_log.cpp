#include "relay/base/relay_log.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace kavro::relay {

LogSink stderr_log() {
    return [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    };
}

struct AsyncLog::State {
    int fd = 2;
    std::size_t capacity = 0;
    std::mutex mutex;
    std::condition_variable wake;     // lines queued, or closing
    std::condition_variable drained;  // the writer has written all it took
    std::deque<std::string> lines;
    std::uint64_t dropped_unsaid = 0;  // dropped since the last line that said so
    std::uint64_t dropped_total = 0;
    bool writing = false;
    bool closing = false;
    bool broken = false;  // the log cannot be written at all (a closed pipe): lines are let go
};

namespace {

// Writes all of `text`, waiting while the other side is full; false when it cannot be written.
bool write_all_to(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{fd, POLLOUT, 0};
            ::poll(&entry, 1, 1000);
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

AsyncLog::AsyncLog(int fd, std::size_t capacity) : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->capacity = capacity;
    std::thread([state = state_] { run(state); }).detach();
}

AsyncLog::~AsyncLog() {
    std::unique_lock lock(state_->mutex);
    state_->closing = true;
    state_->wake.notify_one();
    state_->drained.wait_for(lock, std::chrono::seconds(1), [&] {
        return state_->broken || (state_->lines.empty() && !state_->writing);
    });
}

void AsyncLog::write(std::string line) {
    std::lock_guard lock(state_->mutex);
    if (state_->lines.size() >= state_->capacity) {
        ++state_->dropped_unsaid;
        ++state_->dropped_total;
        return;
    }
    state_->lines.push_back(std::move(line));
    if (!state_->writing) state_->wake.notify_one();
}

LogSink AsyncLog::sink() {
    return [this](const std::string& line) { write(line); };
}

std::uint64_t AsyncLog::dropped() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped_total;
}

void AsyncLog::run(const std::shared_ptr<State>& state) {
    std::deque<std::string> taken;
    for (;;) {
        std::uint64_t dropped = 0;
        {
            std::unique_lock lock(state->mutex);
            state->writing = false;
            state->drained.notify_all();
            state->wake.wait(lock, [&] { return !state->lines.empty() || state->closing; });
            if (state->lines.empty()) {
                if (state->closing) return;
                continue;
            }
            taken.swap(state->lines);
            dropped = std::exchange(state->dropped_unsaid, 0);
            state->writing = true;
        }
        std::string text;
        for (const std::string& line : taken) {
            text += line;
            text += '\n';
        }
        taken.clear();
        // The lines were dropped after every line already queued: said after them.
        if (dropped > 0) {
            text += std::to_string(dropped) +
                    " log line(s) were dropped: the log was not taking lines fast enough\n";
        }
        if (!write_all_to(state->fd, text)) {
            std::lock_guard lock(state->mutex);
            state->broken = true;  // a log that cannot be written: lines are let go
        }
    }
}

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    }
    return shown;
}

std::string seconds_text(Duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(duration).count());
    return text;
}

}  // namespace kavro::relay
