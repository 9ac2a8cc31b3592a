#include "relay/rules/client_framer.h"

#include <algorithm>

namespace kavro::relay {

static_assert(wire::kHelloSize <= 64 && wire::kWatchRequestSize <= 64);

std::uint8_t* ClientFramer::storage() {
    return size_ > kSmallCapacity ? large_.data() : small_.data();
}

std::span<std::uint8_t> ClientFramer::space() {
    if (size_ == 0) return std::span(small_).subspan(filled_, wire::kTagSize - filled_);
    if (size_ > kSmallCapacity && filled_ == wire::kTagSize) {
        // Only now, once the relay has let the tag through, is the upload buffer made.
        if (large_.size() < wire::kHeaderUploadSize) large_.resize(wire::kHeaderUploadSize);
        std::copy_n(small_.begin(), wire::kTagSize, large_.begin());
    }
    return std::span(storage() + filled_, size_ - filled_);
}

ClientFramer::Status ClientFramer::commit(std::size_t count) {
    filled_ += count;
    if (size_ == 0) {
        if (filled_ < wire::kTagSize) return Status::kNeedMore;
        size_ = wire::client_message_size(std::span(small_).first(wire::kTagSize));
        if (size_ == 0) {
            problem_ = "Unknown message.";
            return Status::kBad;
        }
    }
    if (tag() == wire::kTagHello) {
        // The hello's length and mode are checked as soon as they are in, so a client that
        // gets them wrong is told at once rather than after the rest of its message.
        if (filled_ > wire::kHelloLengthOffset + 1 &&
            wire::get_u16le(small_, wire::kHelloLengthOffset) != wire::kHelloLengthValue) {
            problem_ = "Bad hello length.";
            return Status::kBad;
        }
        const std::uint8_t mode = small_[wire::kHelloModeOffset];
        if (filled_ > wire::kHelloModeOffset && mode != wire::kModeWatch &&
            mode != wire::kModeCast) {
            problem_ = "Bad hello mode.";
            return Status::kBad;
        }
    }
    return filled_ == size_ ? Status::kComplete : Status::kNeedMore;
}

std::string_view ClientFramer::tag() const {
    if (size_ == 0) return {};
    return std::string_view(reinterpret_cast<const char*>(small_.data()), wire::kTagSize);
}

wire::ConstBytes ClientFramer::message() const {
    const std::uint8_t* data = size_ > kSmallCapacity ? large_.data() : small_.data();
    return wire::ConstBytes(data, filled_);
}

void ClientFramer::next() {
    filled_ = 0;
    size_ = 0;
}

}  // namespace kavro::relay
