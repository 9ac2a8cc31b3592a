#include "tests/relay/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>

#include "wire/wire_format.h"

namespace kavro::relay::testing {

namespace {

using Clock = std::chrono::steady_clock;

Bytes with_tag(std::string_view tag, std::size_t size) {
    Bytes message(size, 0);
    std::copy(tag.begin(), tag.end(), message.begin());
    return message;
}

std::uint8_t pattern_byte(std::uint32_t seed, std::size_t position) {
    std::uint32_t x = seed * 2654435761u ^ static_cast<std::uint32_t>(position) * 40503u;
    x ^= x >> 13;
    return static_cast<std::uint8_t>(x ^ (x >> 7));
}

}  // namespace

Bytes hello_message(std::uint8_t mode, std::string_view name, std::string_view track,
                    std::string_view version) {
    Bytes m = with_tag(wire::kTagHello, wire::kHelloSize);
    wire::put_u16le(m, wire::kHelloLengthOffset, wire::kHelloLengthValue);
    m[wire::kHelloModeOffset] = mode;
    wire::put_text_field(m, wire::kHelloVersionOffset, wire::kVersionWidth, version);
    wire::put_text_field(m, wire::kHelloNameOffset, wire::kNameWidth, name);
    wire::put_text_field(m, wire::kHelloTrackOffset, wire::kTrackWidth, track);
    return m;
}

Bytes watch_message(std::string_view name) {
    Bytes m = with_tag(wire::kTagWatchRequest, wire::kWatchRequestSize);
    wire::put_text_field(m, wire::kWatchRequestNameOffset, wire::kNameWidth, name);
    return m;
}

Bytes header_upload(std::span<const std::uint8_t> data) {
    Bytes m = with_tag(wire::kTagHeaderUpload, wire::kHeaderUploadSize);
    std::copy(data.begin(), data.end(), m.begin() + wire::kUploadDataOffset);
    return m;
}

Bytes block_upload(std::span<const std::uint8_t> block) {
    Bytes m = with_tag(wire::kTagBlockUpload, wire::kBlockUploadSize);
    std::copy(block.begin(), block.end(), m.begin() + wire::kUploadDataOffset);
    return m;
}

Bytes Recording::header() const {
    Bytes h(wire::kReplayHeaderSize);
    for (std::size_t i = 0; i < h.size(); ++i) h[i] = pattern_byte(seed, i);
    return h;
}

Bytes Recording::header_upload() const {
    Bytes data = header();
    const Bytes first = block(0);
    data.insert(data.end(), first.begin(), first.begin() + 2);
    return testing::header_upload(data);
}

Bytes Recording::block(std::size_t index) const {
    Bytes b(wire::kBlockSize);
    const std::size_t start = wire::kReplayHeaderSize + index * wire::kBlockSize;
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = pattern_byte(seed, start + i);
    return b;
}

Bytes Recording::file(std::size_t blocks) const {
    Bytes f = header();
    for (std::size_t i = 0; i < blocks; ++i) {
        const Bytes b = block(i);
        f.insert(f.end(), b.begin(), b.end());
    }
    return f;
}

std::span<const std::uint8_t> Message::payload() const {
    return std::span(whole).subspan(std::min(whole.size(), wire::kHeadSize));
}

std::string Message::text() const { return wire::read_text_field(payload(), 0, payload().size()); }

TestClient::TestClient(std::uint16_t port, int receive_buffer, const char* source) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        ::close(fd_);
        throw std::runtime_error(std::string("cannot bind to ") + source);
    }
    if (receive_buffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        throw std::runtime_error("connect failed");
    }
}

TestClient::~TestClient() { close(); }

void TestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TestClient::cut() {
    const linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close();
}

std::string TestClient::local_address() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

bool TestClient::reset_by_relay(std::chrono::milliseconds deadline) {
    if (!closed_by_relay(deadline)) return false;
    const auto until = Clock::now() + deadline;
    const std::uint8_t byte = 0;
    while (Clock::now() < until) {
        // The first send after the relay's close draws its reset; the next one fails.
        if (::send(fd_, &byte, 1, MSG_NOSIGNAL) < 0 && errno != EINTR) return true;
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, 20);
    }
    return false;
}

bool TestClient::send(std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool TestClient::send_in_pieces(std::span<const std::uint8_t> bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (!send(bytes.subspan(at, std::min(piece, bytes.size() - at)))) return false;
        std::this_thread::sleep_for(1ms);  // lets each piece arrive as its own TCP segment
    }
    return true;
}

bool TestClient::read_exact(std::uint8_t* out, std::size_t count, Clock::time_point until) {
    std::size_t got = 0;
    while (got < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::recv(fd_, out + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<Message> TestClient::read(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    Message m;
    m.whole.resize(wire::kHeadSize);
    if (!read_exact(m.whole.data(), wire::kHeadSize, until)) return std::nullopt;
    m.tag.assign(m.whole.begin(), m.whole.begin() + 3);
    if (m.tag == wire::kTagAck) return m;  // exactly six bytes, no length field
    const std::size_t length = wire::payload_length(m.whole);
    m.whole.resize(wire::kHeadSize + length);
    if (!read_exact(m.whole.data() + wire::kHeadSize, length, until)) return std::nullopt;
    return m;
}

std::optional<Message> TestClient::read_skipping_keepalives(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        auto m = read(std::max(left, 0ms));
        if (!m || m->tag != wire::kTagKeepAlive) return m;
    }
}

bool TestClient::closed_by_relay(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    std::uint8_t sink[4096];
    while (Clock::now() < until) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}

bool TestClient::ends_cleanly(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (Clock::now() < until) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        std::uint8_t byte = 0;
        const ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        return n == 0;
    }
    return false;
}

Bytes TestClient::receive_piece(std::chrono::milliseconds deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return {};
    Bytes piece(65536);
    const ssize_t n = ::recv(fd_, piece.data(), piece.size(), 0);
    piece.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return piece;
}

bool TestClient::cast(std::string_view name, std::string_view track) {
    if (!send(hello_message(wire::kModeCast, name, track))) return false;
    const auto ack = read_skipping_keepalives();
    return ack && ack->whole == Bytes(wire::kAckAccepted.begin(), wire::kAckAccepted.end());
}

bool TestClient::watch(std::string_view name) {
    if (!send(hello_message(wire::kModeWatch))) return false;
    const auto ack = read_skipping_keepalives();
    const auto list = read_skipping_keepalives();
    if (!ack || ack->tag != wire::kTagAck || !list || list->tag != wire::kTagCasterList) {
        return false;
    }
    return send(watch_message(name));
}

std::size_t file_size(std::size_t blocks) {
    return wire::kReplayHeaderSize + blocks * wire::kBlockSize;
}

bool upload(TestClient& caster, const Recording& recording, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (!caster.send(block_upload(recording.block(i)))) return false;
    }
    return true;
}

bool ReplayReader::read_until(TestClient& client, std::size_t size,
                              std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (file_.size() < size || headers_seen == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        const auto m = client.read_skipping_keepalives(std::max(left, 0ms));
        if (!m) return false;
        if (m->tag == wire::kTagReplayHeader) {
            file_.assign(m->payload().begin(), m->payload().end());
            ++headers_seen;
        } else if (m->tag == wire::kTagReplayData) {
            if (m->payload().size() > wire::kMaxReplayDataPayload) return false;
            file_.insert(file_.end(), m->payload().begin(), m->payload().end());
        } else {
            return false;
        }
    }
    return file_.size() == size;
}

}  // namespace kavro::relay::testing
