#include "replay/replay_writer.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "replay/number_format.h"
#include "replay/shared_file.h"

namespace kavro {
namespace {

// Ticks in a row that end with data waiting before the log calls the file behind: one such
// tick is a burst, not a backlog.
constexpr int kTicksBeforeBehind = 2;

std::string megabytes(std::uint64_t bytes) {
    return format_one_decimal(static_cast<double>(bytes) / 1e6) + " MB";
}

// Reads `size` bytes at `offset`; false when the file holds fewer.
bool read_at(std::FILE* file, std::uint64_t offset, std::vector<std::uint8_t>& into,
             std::size_t size) {
    into.resize(size);
    return seek_to(file, offset) && std::fread(into.data(), 1, size, file) == size;
}

}  // namespace

void ReplayWriter::ByteQueue::drop_front(std::size_t n) {
    start_ += n;
    if (start_ == bytes_.size()) {
        clear();
    } else if (start_ > bytes_.size() / 2) {
        // What is left is the smaller part: moving it keeps the cost per byte constant.
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
}

ReplayWriter::ReplayWriter(std::filesystem::path file, Log log)
    : file_(std::move(file)),
      log_(std::move(log)),
      write_notice_(log_, "Cannot write " + file_.generic_string() + ".",
                    file_.generic_string() + " can be written again.") {}

bool ReplayWriter::empty_file() {
    restart();
    std::FILE* file = open_shared(file_, "wb");
    const bool emptied = file != nullptr && std::fclose(file) == 0;
    position_ = emptied ? std::optional<std::uint64_t>(0) : std::nullopt;
    return emptied;
}

void ReplayWriter::restart() {
    queue_.clear();
    pending_header_.clear();
    gathered_ = 0;
    state_ = FileState::kWriting;
    header_in_file_ = false;
    replay_ready_announced_ = false;
    restart_needed_ = false;
    ticks_behind_ = 0;
    behind_announced_ = false;
    next_progress_ = kFirstProgressBytes;
}

void ReplayWriter::write_header(std::span<const std::uint8_t> payload) {
    if (restart_needed_) return;
    log_("Received a replay header.");
    // What arrived for the old header goes in first where the file still takes it: should the
    // new header be the same recording's, the file then only grows.
    if (state_ != FileState::kHeaderWaiting && header_in_file_) write_queue(queue_.size());
    queue_.clear();
    gathered_ = 0;
    pending_header_.assign(payload.begin(), payload.end());
    state_ = FileState::kHeaderWaiting;
    header_in_file_ = false;
    replay_ready_announced_ = false;
    if (place_header()) {
        write_notice_.worked();
    } else {
        write_notice_.failed();
    }
}

bool ReplayWriter::place_header() {
    {
        // The same header at the file's start: the file is this recording, continued.
        SharedFile file(open_shared(file_, "rb"));
        if (file) {
            std::vector<std::uint8_t> start;
            if (read_at(file.get(), 0, start, pending_header_.size()) &&
                std::equal(start.begin(), start.end(), pending_header_.begin())) {
                position_ = pending_header_.size();
                pending_header_.clear();
                state_ = FileState::kMatching;
                header_in_file_ = true;
                return true;
            }
        } else {
            std::error_code error;
            // There but unreadable: starting it afresh could wipe the very recording it holds.
            if (std::filesystem::exists(file_, error) || error) return false;
        }
    }
    SharedFile file(open_shared(file_, "wb"));
    if (!file) return false;
    const bool all = pending_header_.empty() ||
                     std::fwrite(pending_header_.data(), 1, pending_header_.size(), file.get()) ==
                         pending_header_.size();
    // A buffered write can still fail when the stream is flushed on closing.
    if (std::fclose(file.release()) != 0 || !all) return false;
    position_ = pending_header_.size();
    pending_header_.clear();
    state_ = FileState::kWriting;
    header_in_file_ = true;
    return true;
}

void ReplayWriter::append_data(std::span<const std::uint8_t> payload) {
    if (restart_needed_) return;
    if (held_bytes() + payload.size() > kMaxHeldBytes) {
        give_up("Cannot hold more than 64 MiB of the replay while " + file_.generic_string() +
                " takes no writes; the replay starts again.");
        return;
    }
    queue_.append(payload);
    gathered_ += payload.size();
    if (gathered_ >= kMaxGathered) flush();
}

void ReplayWriter::flush() {
    if (restart_needed_) return;
    const std::size_t budget = gathered_ + kMaxWriteBackPerFlush;
    gathered_ = 0;
    if (state_ == FileState::kHeaderWaiting) {
        if (!place_header()) {
            write_notice_.failed();
            return;
        }
        write_notice_.worked();
    }
    if (queue_.empty()) {
        if (state_ != FileState::kHeaderWaiting) write_notice_.worked();
        return;
    }
    if (write_queue(budget)) {
        write_notice_.worked();
    } else if (!restart_needed_) {
        write_notice_.failed();
    }
}

bool ReplayWriter::write_queue(std::size_t budget) {
    if (queue_.empty()) return true;
    SharedFile file(open_shared(file_, "r+b"));
    if (!file) {
        std::error_code error;
        if (std::filesystem::exists(file_, error) || error) return false;  // there, but shut
        if (position_.value_or(0) > 0) {
            give_up(file_.generic_string() + " was removed; the replay starts again.");
            return false;
        }
        file.reset(open_shared(file_, "w+b"));  // nothing of ours was in it: begin it
        if (!file) return false;
        position_ = 0;
    }
    const std::optional<std::uint64_t> size = size_of_open(file.get());
    if (!size) return false;
    // Data before any header goes after whatever the file holds.
    if (!position_) position_ = *size;
    if (*size < *position_) {
        give_up(file_.generic_string() + " lost what was written to it; the replay starts again.");
        return false;
    }
    std::size_t from = 0;
    const std::size_t end = std::min(budget, queue_.size());
    if (state_ == FileState::kMatching) {
        // Step over what the file holds already, byte for byte; the first difference is a new
        // recording under the same header, written over the old one from there.
        const std::size_t compared =
            static_cast<std::size_t>(std::min<std::uint64_t>(end, *size - *position_));
        std::vector<std::uint8_t> held_part;
        if (!read_at(file.get(), *position_, held_part, compared)) return false;
        const auto differ = std::mismatch(held_part.begin(), held_part.end(), queue_.data());
        from = static_cast<std::size_t>(differ.first - held_part.begin());
        if (from < compared) {
            file.reset();
            std::error_code error;
            std::filesystem::resize_file(file_, *position_ + from, error);
            if (error) return false;
            log_("The replay differs from " + file_.generic_string() + " from byte " +
                 std::to_string(*position_ + from) + "; the file is written again from there.");
            file.reset(open_shared(file_, "r+b"));
            if (!file) return false;
            state_ = FileState::kWriting;
        } else if (*position_ + from >= *size) {
            state_ = FileState::kWriting;
        }
    }
    if (from < end) {
        if (!seek_to(file.get(), *position_ + from)) return false;
        const std::size_t count = end - from;
        const bool all = std::fwrite(queue_.data() + from, 1, count, file.get()) == count;
        if (std::fclose(file.release()) != 0 || !all) {
            // Whatever of it went in is written again over itself next time.
            if (from > 0) {
                *position_ += from;
                queue_.drop_front(from);
            }
            return false;
        }
    }
    *position_ += end;
    queue_.drop_front(end);
    written_data();
    return true;
}

void ReplayWriter::written_data() {
    if (header_in_file_ && !replay_ready_announced_) {
        replay_ready_announced_ = true;
        log_("Replay ready to watch.");
    }
}

void ReplayWriter::note_receive_tick(bool backlog, TimePoint now) {
    const std::uint64_t received = position_.value_or(0) + queue_.size();
    if (!backlog) {
        ticks_behind_ = 0;
        if (behind_announced_ && now - last_backlog_ >= kCaughtUpAfter) {
            behind_announced_ = false;
            next_progress_ = kFirstProgressBytes;
            log_("Caught up with the live race.");
        }
        return;
    }
    last_backlog_ = now;
    if (++ticks_behind_ < kTicksBeforeBehind && !behind_announced_) return;
    if (!behind_announced_) {
        behind_announced_ = true;
        log_("Catching up with the live race: " + megabytes(received) + " received.");
        next_progress_ = std::max(kFirstProgressBytes, received) * 2;
    } else if (received >= next_progress_) {
        log_("Catching up: " + megabytes(received) + " received.");
        next_progress_ = received * 2;
    }
}

void ReplayWriter::give_up(const std::string& why) {
    log_(why);
    restart();
    restart_needed_ = true;
}

}  // namespace kavro
