#include "relay/store/stored_blocks.h"

#include <algorithm>
#include <cassert>

namespace kavro::relay {

SharedBytes share(std::vector<std::uint8_t> bytes) {
    return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
}

const std::uint8_t* StoredBlocks::data(std::size_t index) const {
    if (index < in_file_) return file_->block(index);
    return memory_[index - memory_first_]->data();
}

const SharedBytes* StoredBlocks::in_memory(std::size_t index) const {
    if (index < in_file_) return nullptr;
    return &memory_[index - memory_first_];
}

void StoredBlocks::append(SharedBytes block) {
    const std::size_t index = count_++;
    if (index < in_file_) return;  // read from the file
    assert(block != nullptr);
    if (memory_.empty()) memory_first_ = index;
    memory_.push_back(std::move(block));
}

void StoredBlocks::truncate(std::size_t count) {
    if (count >= count_) return;
    count_ = count;
    in_file_ = std::min(in_file_, count);
    const std::size_t memory_end = count > memory_first_ ? count - memory_first_ : 0;
    memory_.resize(std::min(memory_.size(), memory_end));
    if (memory_.empty()) memory_first_ = count;
}

void StoredBlocks::clear() {
    file_.reset();
    in_file_ = 0;
    count_ = 0;
    memory_first_ = 0;
    memory_.clear();
    memory_.shrink_to_fit();
}

void StoredBlocks::file_holds(std::shared_ptr<const RecordingMap> file, std::size_t count) {
    if (!file || count < in_file_) return;
    file_ = std::move(file);
    in_file_ = count;
    while (!memory_.empty() && memory_first_ < count) {
        memory_.pop_front();
        ++memory_first_;
    }
    if (memory_.empty()) memory_first_ = std::max(count, count_);
}

}  // namespace kavro::relay
