// Fuzzes the client's receive buffer and dispatcher against a small reference parser written
// from the message rules: the relay's bytes arrive in pieces of any size, and after every
// receive and every dispatch both must agree on the receive area, the handler calls in order,
// the outcome and the bytes left over.
//
// Input: pieces, each a u16 little-endian size and then that many bytes (cut to the receive
// area and to what is left of the input).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/receive_buffer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "receive buffer differs from the reference: %s\n", what);
    std::abort();
}

// One handler call: its kind and the bytes it was given (the text for an error).
struct Call {
    char kind;  // 'A' accepted, 'R' refused, 'E' error, 'L' list, 'H' header, 'D' data
    Bytes bytes;
    bool operator==(const Call&) const = default;
};

class Recorder : public kavro::MessageHandler {
  public:
    std::vector<Call> calls;
    void accepted() override { calls.push_back({'A', {}}); }
    void refused() override { calls.push_back({'R', {}}); }
    void error(const std::string& text) override {
        calls.push_back({'E', Bytes(text.begin(), text.end())});
    }
    void caster_list(kavro::wire::ConstBytes p) override {
        calls.push_back({'L', {p.begin(), p.end()}});
    }
    void replay_header(kavro::wire::ConstBytes p) override {
        calls.push_back({'H', {p.begin(), p.end()}});
    }
    void replay_data(kavro::wire::ConstBytes p) override {
        calls.push_back({'D', {p.begin(), p.end()}});
    }
};

// The rules, read plainly. The buffer holds 65,536 bytes and one receive takes at most
// 16,386. An acknowledgement is "ACK" and three more bytes, "ACK0OK" meaning accepted. Every
// other message is a six-byte head (three-letter tag, one byte, u16 LE payload length) and its
// payload, handled once all of it is in; messages are taken from the front in order. ERR's
// text runs to its first zero byte or the payload's end, and ends the connection: nothing
// after it is looked at. KAL and unknown tags are stepped over by their length. A message
// that could never fit the buffer empties it.
class Reference {
  public:
    enum class Outcome { kWaiting, kEnded, kOverflow };

    std::size_t area() const {
        return std::min<std::size_t>(65536 - held_.size(), kavro::ReceiveBuffer::kMaxReceive);
    }
    void receive(const std::uint8_t* data, std::size_t n) {
        held_.insert(held_.end(), data, data + n);
    }

    Outcome dispatch(std::vector<Call>& calls) {
        for (;;) {
            if (held_.size() < 3) return Outcome::kWaiting;
            const std::string tag(held_.begin(), held_.begin() + 3);
            if (tag == "ACK") {
                if (held_.size() < 6) return Outcome::kWaiting;
                const bool ok = std::string(held_.begin(), held_.begin() + 6) == "ACK0OK";
                held_.erase(held_.begin(), held_.begin() + 6);
                calls.push_back({ok ? 'A' : 'R', {}});
                continue;
            }
            if (held_.size() < 6) return Outcome::kWaiting;
            const std::size_t length = held_[4] | (held_[5] << 8);
            if (6 + length > 65536) {
                held_.clear();
                return Outcome::kOverflow;
            }
            if (held_.size() < 6 + length) return Outcome::kWaiting;
            const Bytes payload(held_.begin() + 6, held_.begin() + 6 + length);
            held_.erase(held_.begin(), held_.begin() + 6 + length);
            if (tag == "ERR") {
                const auto zero = std::find(payload.begin(), payload.end(), 0);
                calls.push_back({'E', Bytes(payload.begin(), zero)});
                return Outcome::kEnded;
            }
            if (tag == "CHL") calls.push_back({'L', payload});
            if (tag == "SRH") calls.push_back({'H', payload});
            if (tag == "SRD") calls.push_back({'D', payload});
        }
    }

    const Bytes& held() const { return held_; }

  private:
    Bytes held_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kavro::ReceiveBuffer buffer;  // 64 KiB: made once, emptied for each input
    buffer.clear();
    Reference reference;
    Recorder recorder;
    std::vector<Call> expected;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t piece = data[at] | (data[at + 1] << 8);
        at += 2;
        const auto area = buffer.receive_area();
        if (area.size() != reference.area()) fault("receive area size");
        piece = std::min({piece, area.size(), size - at});
        std::memcpy(area.data(), data + at, piece);
        buffer.commit(piece);
        reference.receive(data + at, piece);
        at += piece;

        recorder.calls.clear();
        expected.clear();
        const auto outcome = buffer.dispatch(recorder);
        const auto expected_outcome = reference.dispatch(expected);
        if (static_cast<int>(outcome) != static_cast<int>(expected_outcome)) fault("outcome");
        if (recorder.calls != expected) fault("handler calls");
        const auto left = buffer.contents();
        if (!std::equal(left.begin(), left.end(), reference.held().begin(),
                        reference.held().end())) {
            fault("bytes left over");
        }
    }
    return 0;
}
