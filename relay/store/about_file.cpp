#include "relay/store/about_file.h"

#include <nlohmann/json.hpp>

#include "relay/base/text_file.h"

namespace kavro::relay {

namespace {

std::string hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::optional<std::string> unhex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

}  // namespace

std::string about_text(const RecordingRow& row) {
    const nlohmann::ordered_json about = {
        {"id", row.id},
        {"name_hex", hex(row.name)},
        {"track_hex", hex(row.track)},
        {"owner", row.owner},
        {"started_ms",
         std::chrono::duration_cast<std::chrono::milliseconds>(row.started.time_since_epoch())
             .count()},
        {"live", !row.ended.has_value()},
    };
    return about.dump() + "\n";
}

std::optional<RecordingRow> read_about(const std::filesystem::path& path) {
    const auto text = read_whole_file(path);
    if (!text) return std::nullopt;
    const auto about = nlohmann::json::parse(*text, nullptr, false);
    if (about.is_discarded() || !about.is_object()) return std::nullopt;
    try {
        RecordingRow row;
        row.id = about.at("id").get<std::uint64_t>();
        const auto name = unhex(about.at("name_hex").get<std::string>());
        const auto track = unhex(about.at("track_hex").get<std::string>());
        if (!name || !track || row.id == 0) return std::nullopt;
        row.name = *name;
        row.track = *track;
        row.owner = about.at("owner").get<std::string>();
        // Files from before the field was written stand for finished recordings.
        const bool live =
            about.contains("live") && about.at("live").is_boolean() && about.at("live").get<bool>();
        row.state = live ? RecordingState::kAwaitingResume : RecordingState::kFinished;
        row.started = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
            std::chrono::milliseconds(about.at("started_ms").get<std::int64_t>())));
        return row;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace kavro::relay
