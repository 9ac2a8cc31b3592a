#include "relay/store/cast_store.h"

#include <algorithm>

namespace kavro::relay {

SharedBytes share(std::vector<std::uint8_t> bytes) {
    return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
}

void CastStore::start_recording(wire::ConstBytes header) {
    ++generation_;
    header_message_ = share(wire::make_message(wire::kTagReplayHeader, header));
    blocks_.clear();
    blocks_.shrink_to_fit();
}

void CastStore::append(wire::ConstBytes block) {
    blocks_.push_back(share(std::vector<std::uint8_t>(block.begin(), block.end())));
}

void CastStore::restart_keeping(std::size_t kept) {
    ++generation_;
    blocks_.resize(std::min(kept, blocks_.size()));
}

bool CastStore::header_equals(wire::ConstBytes header) const {
    if (!header_message_) return false;
    const auto stored = wire::ConstBytes(*header_message_).subspan(wire::kHeadSize);
    return std::equal(stored.begin(), stored.end(), header.begin(), header.end());
}

bool CastStore::block_equals(std::size_t index, wire::ConstBytes block) const {
    const auto& stored = *blocks_[index];
    return std::equal(stored.begin(), stored.end(), block.begin(), block.end());
}

std::size_t CastStore::stored_bytes() const {
    return (has_header() ? wire::kReplayHeaderSize : 0) + blocks_.size() * wire::kBlockSize;
}

}  // namespace kavro::relay
