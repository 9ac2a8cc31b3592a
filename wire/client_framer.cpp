#include "wire/client_framer.h"

#include <algorithm>

namespace kavro::wire {

static_assert(kHelloSize <= 64 && kWatchRequestSize <= 64);

std::uint8_t* ClientFramer::storage() {
    return size_ > kSmallCapacity ? large_.data() : small_.data();
}

std::span<std::uint8_t> ClientFramer::space() {
    if (size_ == 0) return std::span(small_).subspan(filled_, kTagSize - filled_);
    if (size_ > kSmallCapacity && filled_ == kTagSize) {
        // Only now, once the relay has let the tag through, is the upload buffer made.
        if (large_.size() < kHeaderUploadSize) large_.resize(kHeaderUploadSize);
        std::copy_n(small_.begin(), kTagSize, large_.begin());
    }
    return std::span(storage() + filled_, size_ - filled_);
}

ClientFramer::Status ClientFramer::commit(std::size_t count) {
    filled_ += count;
    if (size_ == 0) {
        if (filled_ < kTagSize) return Status::kNeedMore;
        size_ = client_message_size(std::span(small_).first(kTagSize));
        if (size_ == 0) {
            problem_ = "Unknown message.";
            return Status::kBad;
        }
    }
    if (tag() == kTagHello) {
        // The hello's length and mode are checked as soon as they are in, so a client that
        // gets them wrong is told at once rather than after the rest of its message.
        if (filled_ > kHelloLengthOffset + 1 &&
            get_u16le(small_, kHelloLengthOffset) != kHelloLengthValue) {
            problem_ = "Bad hello length.";
            return Status::kBad;
        }
        const std::uint8_t mode = small_[kHelloModeOffset];
        if (filled_ > kHelloModeOffset && mode != kModeWatch && mode != kModeCast) {
            problem_ = "Bad hello mode.";
            return Status::kBad;
        }
    }
    return filled_ == size_ ? Status::kComplete : Status::kNeedMore;
}

std::string_view ClientFramer::tag() const {
    if (size_ == 0) return {};
    return std::string_view(reinterpret_cast<const char*>(small_.data()), kTagSize);
}

ConstBytes ClientFramer::message() const {
    const std::uint8_t* data = size_ > kSmallCapacity ? large_.data() : small_.data();
    return ConstBytes(data, filled_);
}

void ClientFramer::next() {
    filled_ = 0;
    size_ = 0;
}

}  // namespace kavro::wire
