#include "replay/replay_writer.h"

#include <cstdio>
#include <utility>

#include "replay/shared_file.h"

namespace kavro {

ReplayWriter::ReplayWriter(std::filesystem::path file, Log log)
    : file_(std::move(file)), log_(std::move(log)) {}

bool ReplayWriter::empty_file() {
    std::FILE* file = open_shared(file_, "wb");
    return file != nullptr && std::fclose(file) == 0;
}

void ReplayWriter::write_header(std::span<const std::uint8_t> payload) {
    const bool written = write("wb", payload);
    log_("Received a replay header.");
    replay_ready_announced_ = false;
    write_failure_reported_ = false;
    if (!written) report_write_failure();
}

void ReplayWriter::append_data(std::span<const std::uint8_t> payload) {
    if (!write("ab", payload)) {
        report_write_failure();
        return;
    }
    if (!replay_ready_announced_) {
        replay_ready_announced_ = true;
        log_("Replay ready to watch.");
    }
}

bool ReplayWriter::write(const char* mode, std::span<const std::uint8_t> payload) {
    std::FILE* file = open_shared(file_, mode);
    if (file == nullptr) return false;
    const bool all_written =
        payload.empty() || std::fwrite(payload.data(), 1, payload.size(), file) == payload.size();
    // A buffered write can still fail when the stream is flushed on closing.
    return std::fclose(file) == 0 && all_written;
}

void ReplayWriter::report_write_failure() {
    if (write_failure_reported_) return;
    write_failure_reported_ = true;
    log_("Cannot write " + file_.generic_string() + ".");
}

}  // namespace kavro
