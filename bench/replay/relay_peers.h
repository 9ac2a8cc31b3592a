// The plain peers the client-path benches drive the real relay with: a caster that uploads a
// recording over a blocking socket, and a watcher that reads everything as fast as its socket
// delivers it (the "plain TCP download" the client is measured against). 127.0.0.1 only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire/wire_format.h"

namespace kavro::bench {

using Bytes = std::vector<std::uint8_t>;

// Distinct bytes, so a block out of place shows.
inline Bytes pattern(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

class PlainPeer {
  public:
    explicit PlainPeer(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot connect to the relay");
        }
    }
    ~PlainPeer() { ::close(fd_); }
    PlainPeer(const PlainPeer&) = delete;
    PlainPeer& operator=(const PlainPeer&) = delete;

    void send(const Bytes& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("the relay closed the connection");
            sent += static_cast<std::size_t>(n);
        }
    }
    // Reads exactly `n` bytes, or throws after `within`.
    Bytes read(std::size_t n, std::chrono::seconds within = std::chrono::seconds(60)) const {
        Bytes bytes(n);
        std::size_t got = 0;
        const auto until = std::chrono::steady_clock::now() + within;
        while (got < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                throw std::runtime_error("the relay sent too little in time");
            }
            const auto r = ::recv(fd_, bytes.data() + got, n - got, 0);
            if (r <= 0) throw std::runtime_error("the relay closed the connection");
            got += static_cast<std::size_t>(r);
        }
        return bytes;
    }
    // The next message that is not a keep-alive: tag and payload.
    std::pair<std::string, Bytes> message() const {
        for (;;) {
            Bytes head = read(wire::kHeadSize);
            std::string tag(head.begin(), head.begin() + 3);
            if (tag == wire::kTagAck) return {std::string(head.begin(), head.end()), {}};
            Bytes payload = read(wire::payload_length(head));
            if (tag != wire::kTagKeepAlive) return {tag, payload};
        }
    }

    Bytes hello(std::uint8_t mode, const std::string& name) const {
        Bytes m(wire::kHelloSize, 0);
        std::copy(wire::kTagHello.begin(), wire::kTagHello.end(), m.begin());
        wire::put_u16le(m, wire::kHelloLengthOffset, wire::kHelloLengthValue);
        m[wire::kHelloModeOffset] = mode;
        wire::put_text_field(m, wire::kHelloVersionOffset, wire::kVersionWidth,
                             wire::kClientVersion);
        wire::put_text_field(m, wire::kHelloNameOffset, wire::kNameWidth, name);
        return m;
    }
    // Registers `name` and uploads `recording` (header, then whole blocks).
    void cast(const std::string& name, const Bytes& recording) const {
        send(hello(wire::kModeCast, name));
        if (message().first != wire::kAckAccepted) throw std::runtime_error("cast refused");
        Bytes upload(wire::kHeaderUploadSize, 0);
        std::copy(wire::kTagHeaderUpload.begin(), wire::kTagHeaderUpload.end(), upload.begin());
        std::copy(recording.begin(), recording.begin() + wire::kHeaderUploadDataSize,
                  upload.begin() + 4);
        send(upload);
        Bytes blocks;
        for (std::size_t at = wire::kReplayHeaderSize; at + wire::kBlockSize <= recording.size();
             at += wire::kBlockSize) {
            blocks.insert(blocks.end(), wire::kTagBlockUpload.begin(), wire::kTagBlockUpload.end());
            blocks.insert(blocks.end(), recording.begin() + static_cast<std::ptrdiff_t>(at),
                          recording.begin() + static_cast<std::ptrdiff_t>(at + wire::kBlockSize));
            if (blocks.size() >= (1u << 20)) {
                send(blocks);
                blocks.clear();
            }
        }
        send(blocks);
    }
    // Says hello as a watcher, takes the acknowledgement and the list, and asks for `name`.
    void watch(const std::string& name) const {
        send(hello(wire::kModeWatch, name));
        if (message().first != wire::kAckAccepted) throw std::runtime_error("hello refused");
        message();  // the list
        Bytes request(wire::kWatchRequestSize, 0);
        std::copy(wire::kTagWatchRequest.begin(), wire::kTagWatchRequest.end(), request.begin());
        wire::put_text_field(request, wire::kWatchRequestNameOffset, wire::kNameWidth, name);
        send(request);
    }
    // Reads replay messages until `size` bytes of header and data came.
    std::size_t read_replay(std::size_t size) const {
        std::size_t got = 0;
        while (got < size) {
            const auto [tag, payload] = message();
            if (tag == wire::kTagReplayHeader) got = payload.size();
            if (tag == wire::kTagReplayData) got += payload.size();
            if (tag == wire::kTagError) throw std::runtime_error("the relay ended the watch");
        }
        return got;
    }

  private:
    int fd_ = -1;
};

}  // namespace kavro::bench
