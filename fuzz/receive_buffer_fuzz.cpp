// Fuzzes the decoder of the relay's messages (wire/relay_message_decoder) and the client's
// receive buffer and dispatcher built on it against a small reference parser written from the
// message rules: the relay's bytes arrive in pieces of any size. After every receive and every
// dispatch the decoder must read the message at the front as the rules do (need more, complete
// with its size, type and payload, or bad), and the buffer must agree with the reference on the
// receive area, the handler calls in order, the outcome and the bytes left over.
//
// Input: pieces, each a u16 little-endian size and then that many bytes (cut to the receive
// area and to what is left of the input).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/receive_buffer.h"
#include "wire/relay_message_decoder.h"

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

    // The message at the front of the held bytes, as the rules read it.
    struct Front {
        char verdict = 'N';  // 'N' needs more, 'C' complete, 'B' bad
        std::size_t size = 0;
        char kind = 0;  // as in Call, and 'K' keep-alive, 'U' unknown tag
        Bytes payload;
    };
    Front front() const {
        Front f;
        if (held_.size() < 3) return f;
        const std::string tag(held_.begin(), held_.begin() + 3);
        if (tag == "ACK") {
            if (held_.size() < 6) return f;
            const bool ok = std::string(held_.begin(), held_.begin() + 6) == "ACK0OK";
            return {'C', 6, ok ? 'A' : 'R', {}};
        }
        if (held_.size() < 6) return f;
        const std::size_t length = held_[4] | (held_[5] << 8);
        if (6 + length > 65536) return {'B', 0, 0, {}};
        if (held_.size() < 6 + length) return f;
        char kind = 'U';
        if (tag == "ERR") kind = 'E';
        if (tag == "CHL") kind = 'L';
        if (tag == "SRH") kind = 'H';
        if (tag == "SRD") kind = 'D';
        if (tag == "KAL") kind = 'K';
        return {'C', 6 + length, kind, Bytes(held_.begin() + 6, held_.begin() + 6 + length)};
    }

    std::size_t area() const {
        return std::min<std::size_t>(65536 - held_.size(), kavro::ReceiveBuffer::kMaxReceive);
    }
    void receive(const std::uint8_t* data, std::size_t n) {
        held_.insert(held_.end(), data, data + n);
    }

    Outcome dispatch(std::vector<Call>& calls) {
        for (;;) {
            const Front f = front();
            if (f.verdict == 'N') return Outcome::kWaiting;
            if (f.verdict == 'B') {
                held_.clear();
                return Outcome::kOverflow;
            }
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(f.size));
            if (f.kind == 'E') {
                const auto zero = std::find(f.payload.begin(), f.payload.end(), 0);
                calls.push_back({'E', Bytes(f.payload.begin(), zero)});
                return Outcome::kEnded;
            }
            if (f.kind == 'A' || f.kind == 'R') calls.push_back({f.kind, {}});
            if (f.kind == 'L' || f.kind == 'H' || f.kind == 'D')
                calls.push_back({f.kind, f.payload});
        }
    }

    const Bytes& held() const { return held_; }

  private:
    Bytes held_;
};

char kind_of(kavro::wire::RelayMessageType type) {
    using kavro::wire::RelayMessageType;
    switch (type) {
        case RelayMessageType::kAccepted:
            return 'A';
        case RelayMessageType::kRefused:
            return 'R';
        case RelayMessageType::kError:
            return 'E';
        case RelayMessageType::kCasterList:
            return 'L';
        case RelayMessageType::kReplayHeader:
            return 'H';
        case RelayMessageType::kReplayData:
            return 'D';
        case RelayMessageType::kKeepAlive:
            return 'K';
        case RelayMessageType::kUnknown:
            return 'U';
    }
    return '?';
}

// The decoder, asked directly about the bytes the reference holds, must read them as it does.
void check_decoder(const Reference& reference) {
    using kavro::wire::RelayDecodeStatus;
    const Reference::Front expected = reference.front();
    const auto decoded = kavro::wire::decode_relay_message(reference.held(), 65536);
    const char verdict = decoded.status == RelayDecodeStatus::kComplete ? 'C'
                         : decoded.status == RelayDecodeStatus::kBad    ? 'B'
                                                                        : 'N';
    if (verdict != expected.verdict) fault("decoder's answer");
    if (verdict != 'C') return;
    if (decoded.size != expected.size) fault("decoder's message size");
    if (kind_of(decoded.message.type) != expected.kind) fault("decoder's message type");
    const auto payload = decoded.message.payload;
    if (!std::equal(payload.begin(), payload.end(), expected.payload.begin(),
                    expected.payload.end())) {
        fault("decoder's payload");
    }
}

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
        check_decoder(reference);

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
        check_decoder(reference);
    }
    return 0;
}
