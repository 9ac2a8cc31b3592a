#include "relay/store/cast_store.h"

#include <algorithm>

namespace kavro::relay {

void CastStore::start_recording(wire::ConstBytes header) {
    ++generation_;
    header_message_ = share(wire::make_message(wire::kTagReplayHeader, header));
    blocks_.clear();
}

void CastStore::restore_recording(SharedBytes header_message,
                                  std::shared_ptr<const RecordingMap> file, std::size_t blocks) {
    ++generation_;
    header_message_ = std::move(header_message);
    blocks_.clear();
    blocks_.file_holds(std::move(file), blocks);
    for (std::size_t i = 0; i < blocks; ++i) blocks_.append(nullptr);
}

const SharedBytes& CastStore::append(wire::ConstBytes block) {
    appended_ = share(std::vector<std::uint8_t>(block.begin(), block.end()));
    blocks_.append(appended_);
    return appended_;
}

void CastStore::restart_keeping(std::size_t kept) {
    ++generation_;
    blocks_.truncate(kept);
}

void CastStore::file_holds(std::uint64_t generation, std::shared_ptr<const RecordingMap> file,
                           std::size_t count) {
    if (generation != generation_) return;  // of a recording since replaced
    blocks_.file_holds(std::move(file), std::min(count, blocks_.size()));
}

bool CastStore::header_equals(wire::ConstBytes header) const {
    if (!header_message_) return false;
    const auto stored = wire::ConstBytes(*header_message_).subspan(wire::kHeadSize);
    return std::equal(stored.begin(), stored.end(), header.begin(), header.end());
}

bool CastStore::block_equals(std::size_t index, wire::ConstBytes block) const {
    const auto stored = this->block(index);
    return std::equal(stored.begin(), stored.end(), block.begin(), block.end());
}

std::size_t CastStore::stored_bytes() const {
    return (has_header() ? wire::kReplayHeaderSize : 0) + blocks_.size() * wire::kBlockSize;
}

}  // namespace kavro::relay
