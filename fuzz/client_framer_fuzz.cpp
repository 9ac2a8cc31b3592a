// Fuzzes the framer the relay reads client messages with (wire/client_framer) against the
// framing rules read plainly: a message is known by its four-byte tag and its size follows from
// the tag; an unknown tag, a CCN0 whose length field is not 46 or whose mode is not 0 or 1, is
// bad as soon as the bytes that show it are in. The framer must never offer room past the message
// being framed, and each message must come out whole and byte for byte as sent.
//
// Input: pieces, each a one-byte size (0 meaning 4,100) and then up to that many bytes, cut
// to the room the framer offers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "wire/client_framer.h"

namespace {

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "client framer differs from the rules: %s\n", what);
    std::abort();
}

std::size_t size_for(std::string_view tag) {
    if (tag == "CCN0") return 52;
    if (tag == "HOS0") return 36;
    if (tag == "NRF0") return 16390;
    if (tag == "ERF0") return 4100;
    return 0;
}

// The stream as the rules frame it, one byte at a time.
class Reference {
  public:
    enum class Verdict { kNeedMore, kComplete, kBad };

    Verdict take(std::uint8_t byte) {
        message_.push_back(byte);
        if (message_.size() < 4) return Verdict::kNeedMore;
        const std::string_view tag(reinterpret_cast<const char*>(message_.data()), 4);
        const std::size_t size = size_for(tag);
        if (size == 0) {
            problem_ = "Unknown message.";
            return Verdict::kBad;
        }
        if (tag == "CCN0") {
            if (message_.size() >= 6 && (message_[4] | (message_[5] << 8)) != 46) {
                problem_ = "Bad hello length.";
                return Verdict::kBad;
            }
            if (message_.size() >= 7 && message_[6] > 1) {
                problem_ = "Bad hello mode.";
                return Verdict::kBad;
            }
        }
        return message_.size() == size ? Verdict::kComplete : Verdict::kNeedMore;
    }
    std::size_t left_in_message() const {
        if (message_.size() < 4) return 4 - message_.size();
        return size_for(std::string_view(reinterpret_cast<const char*>(message_.data()), 4)) -
               message_.size();
    }
    const std::vector<std::uint8_t>& message() const { return message_; }
    const std::string& problem() const { return problem_; }
    void next() { message_.clear(); }

  private:
    std::vector<std::uint8_t> message_;
    std::string problem_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Status = kavro::wire::ClientFramer::Status;
    kavro::wire::ClientFramer framer;
    Reference reference;
    std::size_t at = 0;
    while (at < size) {
        std::size_t piece = data[at] == 0 ? 4100 : data[at];
        ++at;
        const auto space = framer.space();
        if (space.empty()) fault("no room offered");
        if (space.size() > reference.left_in_message()) fault("room past the message");
        piece = std::min({piece, space.size(), size - at});
        if (piece == 0) break;
        std::memcpy(space.data(), data + at, piece);
        const Status status = framer.commit(piece);
        // The reference takes the same bytes; only the verdict after the last one counts,
        // unless an earlier byte already made the stream bad.
        Reference::Verdict verdict = Reference::Verdict::kNeedMore;
        for (std::size_t i = 0; i < piece; ++i) {
            verdict = reference.take(data[at + i]);
            if (verdict == Reference::Verdict::kBad) break;
        }
        at += piece;
        if (verdict == Reference::Verdict::kBad) {
            if (status != Status::kBad) fault("bad stream not reported");
            if (framer.problem() != reference.problem()) fault("problem text");
            return 0;
        }
        if (status == Status::kBad) fault("good stream reported bad");
        if ((status == Status::kComplete) != (verdict == Reference::Verdict::kComplete)) {
            fault("completion");
        }
        if (reference.message().size() >= 4 &&
            framer.tag() !=
                std::string_view(reinterpret_cast<const char*>(reference.message().data()), 4)) {
            fault("tag");
        }
        if (status == Status::kComplete) {
            const auto message = framer.message();
            if (!std::equal(message.begin(), message.end(), reference.message().begin(),
                            reference.message().end())) {
                fault("message bytes");
            }
            framer.next();
            reference.next();
        }
    }
    return 0;
}
