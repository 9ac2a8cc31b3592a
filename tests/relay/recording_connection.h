// A connection with no socket beneath it that keeps every write it starts, pieces and bytes,
// until the test completes it (to see how the relay batches); bytes are handed to it as reads,
// each as large as the read it asked for. Also event loops whose posted work waits for the test.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <span>
#include <string>
#include <vector>

#include "relay/cast/connection.h"
#include "relay/cast/event_loops.h"
#include "relay/cast/relay_core.h"
#include "tests/relay/test_client.h"

namespace kavro::relay::testing {

class RecordingConnection final : public Connection {
  public:
    struct Write {
        std::vector<wire::ConstBytes> pieces;  // the buffers as the connection handed them over
        Bytes bytes;                           // their bytes, in order
    };

    RecordingConnection(RelayCore& relay, const std::string& address, std::uint16_t port);

    // Hands `bytes` to the connection as reads, each as large as the read it asked for.
    // Returns the number of reads it took.
    std::size_t deliver(std::span<const std::uint8_t> bytes);
    // Completes the write under way, if any; true when there was one.
    bool complete_write();
    // Completes writes until the connection starts no more.
    void complete_writes();

    std::vector<Write> writes;
    bool writing = false;
    bool shut_down = false;  // the sending side, after everything was written
    bool closed_transport = false;

  private:
    void start_read(std::span<std::uint8_t> into) override;
    void start_write(std::span<const wire::ConstBytes> pieces) override;
    void shutdown_send() override { shut_down = true; }
    void close_transport() override { closed_transport = true; }

    std::span<std::uint8_t> read_into_;
    bool reading_ = false;
};

// Event loops whose posted work waits in a queue per loop until the test runs it.
class QueuedLoops final : public EventLoops {
  public:
    explicit QueuedLoops(std::size_t count) : queues_(count) {}
    std::size_t count() const override { return queues_.size(); }
    void post(std::size_t index, std::function<void()> work) override {
        queues_[index].push_back(std::move(work));
    }
    // Runs what was posted to loop `index`, and what that posts to it, until none is left.
    void run(std::size_t index);

  private:
    std::vector<std::deque<std::function<void()>>> queues_;
};

// The SRH and SRD payloads of `bytes` (relay messages, whole) joined: the replay file they give.
// Other messages are skipped; `data_messages` counts the SRDs.
Bytes replay_in(const Bytes& bytes, std::size_t* data_messages = nullptr);

}  // namespace kavro::relay::testing
