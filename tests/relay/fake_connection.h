// A connection with no socket for tests of the relay's rules: the test hands it the client's
// bytes, and takes what the relay wrote, when it chooses.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "relay/cast/connection.h"

namespace kavro::relay::testing {

class FakeConnection final : public Connection {
  public:
    using Connection::Connection;

    // Feeds `bytes` to the relay as far as it reads; false if it stopped reading first.
    bool deliver(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            if (!read_pending_) return false;
            const std::size_t n = std::min(bytes.size(), read_into_.size());
            std::memcpy(read_into_.data(), bytes.data(), n);
            bytes = bytes.subspan(n);
            read_pending_ = false;
            read_done(n);
        }
        return true;
    }
    // Completes every write the relay makes, adding the bytes to received().
    void flush() {
        while (flush_one()) {
        }
    }
    // Completes the write under way, if any.
    bool flush_one() {
        if (!write_pending_) return false;
        write_pending_ = false;
        received_.insert(received_.end(), written_.begin(), written_.end());
        write_done();
        return true;
    }
    // The client closes its side.
    void leave() {
        if (!read_pending_) return;
        read_pending_ = false;
        read_failed(true, "end of stream");
    }
    const std::vector<std::uint8_t>& received() const { return received_; }
    bool said_goodbye() const { return send_shut_; }

  private:
    void start_read(std::span<std::uint8_t> into) override {
        read_into_ = into;
        read_pending_ = true;
    }
    void start_write(std::span<const wire::ConstBytes> pieces) override {
        written_.clear();
        for (const auto& piece : pieces)
            written_.insert(written_.end(), piece.begin(), piece.end());
        write_pending_ = true;
    }
    void shutdown_send() override { send_shut_ = true; }
    void close_transport() override {}

    std::span<std::uint8_t> read_into_;
    bool read_pending_ = false;
    std::vector<std::uint8_t> written_;
    bool write_pending_ = false;
    bool send_shut_ = false;
    std::vector<std::uint8_t> received_;
};

}  // namespace kavro::relay::testing
