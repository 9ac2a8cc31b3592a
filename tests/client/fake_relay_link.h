// A RelayLink with no socket: the test says whether a connect succeeds, fails or hangs, feeds
// the relay's bytes, closes the connection from the relay's side, and reads the records sent.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "client/relay_link.h"

namespace kavro::test {

class FakeRelayLink : public RelayLink {
  public:
    // What a connect does: fails at once, hangs (poll_connect answers kConnecting), or succeeds
    // on the first poll.
    enum class Connects { kAtOnceFailing, kHanging, kSucceeding, kFailingLater };
    Connects connects = Connects::kSucceeding;
    bool room = true;  // writable() and sends take records

    int connect_attempts = 0;
    std::vector<std::vector<std::uint8_t>> sent;  // records taken, in order, over all connections

    bool begin_connect() override {
        ++connect_attempts;
        disconnect();
        if (connects == Connects::kAtOnceFailing) return false;
        connecting_ = true;
        return true;
    }
    Progress poll_connect() override {
        if (connected_) return Progress::kConnected;
        if (!connecting_) return Progress::kFailed;
        switch (connects) {
            case Connects::kHanging:
                return Progress::kConnecting;
            case Connects::kSucceeding:
                connecting_ = false;
                connected_ = true;
                closed_by_relay_ = false;
                return Progress::kConnected;
            default:
                connecting_ = false;
                return Progress::kFailed;
        }
    }
    void disconnect() override {
        connected_ = false;
        connecting_ = false;
        inbound_.clear();
    }
    bool connected() const override { return connected_; }
    Sent send(std::span<const std::uint8_t> record) override {
        if (!connected_ || !room) return {0, false};
        sent.emplace_back(record.begin(), record.end());
        return {record.size(), true};
    }
    Sent pump() override { return {0, connected_}; }
    bool writable() override { return connected_ && room; }
    Received receive(ReceiveBuffer& buffer, MessageHandler& handler) override {
        Received received;
        while (connected_ && !inbound_.empty()) {
            const auto area = buffer.receive_area();
            const std::size_t n = std::min(area.size(), inbound_.size());
            std::memcpy(area.data(), inbound_.data(), n);
            inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<long>(n));
            buffer.commit(n);
            received.bytes += n;
            received.outcome = buffer.dispatch(handler);
            if (received.outcome != ReceiveBuffer::Outcome::kWaiting) return received;
        }
        received.closed = connected_ && closed_by_relay_ && inbound_.empty();
        return received;
    }

    // The relay's side.
    void relay_sends(const std::vector<std::uint8_t>& bytes) {
        if (connected_) inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
    }
    void relay_closes() { closed_by_relay_ = true; }
    bool connecting() const { return connecting_; }
    // The four-letter tag of the last record sent ("CCN0", "HOS0", ...); empty when none.
    std::string last_tag() const {
        if (sent.empty() || sent.back().size() < 4) return {};
        return {sent.back().begin(), sent.back().begin() + 4};
    }
    int count_tag(const std::string& tag) const {
        return static_cast<int>(std::count_if(sent.begin(), sent.end(), [&](const auto& r) {
            return r.size() >= 4 && std::string(r.begin(), r.begin() + 4) == tag;
        }));
    }

  private:
    bool connected_ = false;
    bool connecting_ = false;
    bool closed_by_relay_ = false;
    std::vector<std::uint8_t> inbound_;
};

}  // namespace kavro::test
