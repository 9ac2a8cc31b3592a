#include "tests/relay/recording_connection.h"

#include <algorithm>

#include "wire/wire_format.h"

namespace kavro::relay::testing {

RecordingConnection::RecordingConnection(RelayCore& relay, const std::string& address,
                                         std::uint16_t port)
    : Connection(relay, Peer{boost::asio::ip::make_address(address),
                             address + ":" + std::to_string(port)}) {}

std::size_t RecordingConnection::deliver(std::span<const std::uint8_t> bytes) {
    std::size_t reads = 0;
    while (!bytes.empty() && reading_) {
        const std::size_t n = std::min(bytes.size(), read_into_.size());
        std::copy_n(bytes.begin(), n, read_into_.begin());
        bytes = bytes.subspan(n);
        reading_ = false;
        ++reads;
        read_done(n);
    }
    return reads;
}

bool RecordingConnection::complete_write() {
    if (!writing) return false;
    writing = false;
    write_done();
    return true;
}

void RecordingConnection::complete_writes() {
    while (complete_write()) {
    }
}

void RecordingConnection::start_read(std::span<std::uint8_t> into) {
    read_into_ = into;
    reading_ = true;
}

void RecordingConnection::start_write(std::span<const wire::ConstBytes> pieces) {
    Write write;
    for (const auto& piece : pieces) {
        write.pieces.push_back(piece);
        write.bytes.insert(write.bytes.end(), piece.begin(), piece.end());
    }
    writes.push_back(std::move(write));
    writing = true;
}

void QueuedLoops::run(std::size_t index) {
    auto& queue = queues_[index];
    while (!queue.empty()) {
        auto work = std::move(queue.front());
        queue.pop_front();
        work();
    }
}

Bytes replay_in(const Bytes& bytes, std::size_t* data_messages) {
    Bytes file;
    std::size_t at = 0;
    if (data_messages) *data_messages = 0;
    while (at + wire::kHeadSize <= bytes.size()) {
        const wire::ConstBytes head(bytes.data() + at, wire::kHeadSize);
        // ACK has no length field: six bytes, tag "ACK0".
        if (wire::has_tag(head, wire::kTagAck)) {
            at += wire::kAckSize;
            continue;
        }
        const std::size_t length = wire::payload_length(head);
        const auto payload = bytes.begin() + static_cast<std::ptrdiff_t>(at + wire::kHeadSize);
        if (wire::has_tag(head, wire::kTagReplayHeader)) file.assign(payload, payload + length);
        if (wire::has_tag(head, wire::kTagReplayData)) {
            file.insert(file.end(), payload, payload + length);
            if (data_messages) ++*data_messages;
        }
        at += wire::kHeadSize + length;
    }
    return file;
}

}  // namespace kavro::relay::testing
