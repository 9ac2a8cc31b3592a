#include "replay/replay_writer.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "replay/shared_file.h"

namespace kavro {

ReplayWriter::ReplayWriter(std::filesystem::path file, Log log)
    : file_(std::move(file)),
      log_(std::move(log)),
      write_notice_(log_, "Cannot write " + file_.generic_string() + ".",
                    file_.generic_string() + " can be written again.") {}

bool ReplayWriter::empty_file() {
    restart();
    std::FILE* file = open_shared(file_, "wb");
    const bool emptied = file != nullptr && std::fclose(file) == 0;
    written_ = emptied ? std::optional<std::uint64_t>(0) : std::nullopt;
    return emptied;
}

void ReplayWriter::restart() {
    held_.clear();
    held_bytes_ = 0;
    header_in_file_ = false;
    replay_ready_announced_ = false;
    restart_needed_ = false;
}

void ReplayWriter::write_header(std::span<const std::uint8_t> payload) {
    if (restart_needed_) return;
    log_("Received a replay header.");
    // The header starts the file over: what waited for the old one never goes in.
    held_.clear();
    held_bytes_ = 0;
    header_in_file_ = false;
    replay_ready_announced_ = false;
    if (write_piece(true, payload)) {
        written(true);
    } else {
        hold(true, payload);
    }
}

void ReplayWriter::append_data(std::span<const std::uint8_t> payload) {
    if (restart_needed_) return;
    flush();
    if (held_.empty() && !restart_needed_ && write_piece(false, payload)) {
        written(false);
    } else {
        hold(false, payload);
    }
}

void ReplayWriter::flush() {
    while (!held_.empty() && !restart_needed_) {
        const Piece& piece = held_.front();
        if (!write_piece(piece.header, piece.bytes)) return;
        const bool header = piece.header;
        held_bytes_ -= piece.bytes.size();
        held_.pop_front();
        written(header);
    }
}

void ReplayWriter::hold(bool header, std::span<const std::uint8_t> bytes) {
    if (restart_needed_) return;
    write_notice_.failed();
    if (held_bytes_ + bytes.size() > kMaxHeldBytes) {
        give_up("Cannot hold more than 64 MiB of the replay while " + file_.generic_string() +
                " takes no writes; the replay starts again.");
        return;
    }
    held_.push_back(Piece{header, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
    held_bytes_ += bytes.size();
}

void ReplayWriter::written(bool header) {
    write_notice_.worked();
    if (header) {
        header_in_file_ = true;
    } else if (header_in_file_ && !replay_ready_announced_) {
        replay_ready_announced_ = true;
        log_("Replay ready to watch.");
    }
}

void ReplayWriter::give_up(const std::string& why) {
    log_(why);
    restart();
    restart_needed_ = true;
}

bool ReplayWriter::write_piece(bool header, std::span<const std::uint8_t> bytes) {
    if (!header) return write_data(bytes);
    SharedFile file(open_shared(file_, "wb"));
    if (!file) return false;
    const bool all =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    // A buffered write can still fail when the stream is flushed on closing.
    if (std::fclose(file.release()) != 0 || !all) return false;
    written_ = bytes.size();
    return true;
}

bool ReplayWriter::write_data(std::span<const std::uint8_t> bytes) {
    // Each piece goes at its own offset, so a piece that was cut short is written again over
    // its first part instead of being followed by a second copy.
    SharedFile file(open_shared(file_, "r+b"));
    if (!file) {
        std::error_code error;
        if (std::filesystem::exists(file_, error) || error) return false;  // there, but shut
        if (written_.value_or(0) > 0) {
            give_up(file_.generic_string() + " was removed; the replay starts again.");
            return false;
        }
        file.reset(open_shared(file_, "w+b"));  // nothing of ours was in it: begin it
        if (!file) return false;
        written_ = 0;
    }
    const std::optional<std::uint64_t> size = size_of_open(file.get());
    if (!size) return false;
    // Data before any header goes after whatever the file holds.
    if (!written_) written_ = *size;
    if (*size < *written_) {
        give_up(file_.generic_string() + " lost what was written to it; the replay starts again.");
        return false;
    }
    if (!seek_to(file.get(), *written_)) return false;
    const bool all =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (std::fclose(file.release()) != 0 || !all) return false;
    *written_ += bytes.size();
    return true;
}

}  // namespace kavro
