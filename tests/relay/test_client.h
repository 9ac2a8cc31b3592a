// A blocking client for the relay tests: builds the client's messages byte by byte, sends them
// (whole or in pieces) and reads the relay's messages with a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "polling.h"

namespace kavro::relay::testing {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline constexpr auto kDeadline = 20s;  // generous: the machine is shared and noisy

Bytes hello_message(std::uint8_t mode, std::string_view name = "", std::string_view track = "",
                    std::string_view version = "0.0.2.0");
Bytes watch_message(std::string_view name);
Bytes header_upload(std::span<const std::uint8_t> first_16386_bytes);
Bytes block_upload(std::span<const std::uint8_t> block);

// A recording as a caster holds it: a header and 4,096-byte blocks of distinct bytes.
struct Recording {
    explicit Recording(std::uint32_t seed) : seed(seed) {}
    std::uint32_t seed;
    Bytes header() const;         // 16,384 bytes
    Bytes header_upload() const;  // NRF0: the header and the first two bytes of block 0
    Bytes block(std::size_t index) const;
    // The file a watcher should hold after `blocks` blocks.
    Bytes file(std::size_t blocks) const;
};

struct Message {
    std::string tag;  // three letters
    Bytes whole;
    std::span<const std::uint8_t> payload() const;
    std::string text() const;  // ERR text
};

class TestClient {
  public:
    // Connects to 127.0.0.1:port from `source` (another 127.x.y.z stands for another
    // address); a receive buffer size > 0 is set before connecting.
    explicit TestClient(std::uint16_t port, int receive_buffer = 0,
                        const char* source = "127.0.0.1");
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // "SOURCE:PORT" as the relay sees this client.
    std::string local_address() const;
    // Whether the relay has closed the socket outright, not only its sending side: a send
    // after its end of stream draws a reset.
    bool reset_by_relay(std::chrono::milliseconds deadline = kDeadline);

    // False when the relay has closed the connection.
    bool send(std::span<const std::uint8_t> bytes);
    // Sends `bytes` in pieces of `piece` bytes, a short pause between pieces.
    bool send_in_pieces(std::span<const std::uint8_t> bytes, std::size_t piece);
    void close();
    // Closes with a reset, as a connection that is cut does.
    void cut();

    // The next message, or nothing when the deadline passes or the connection closes.
    std::optional<Message> read(std::chrono::milliseconds deadline = kDeadline);
    // The next message that is not a keep-alive.
    std::optional<Message> read_skipping_keepalives(std::chrono::milliseconds deadline = kDeadline);
    // True once the relay has closed the connection (everything before is skipped).
    bool closed_by_relay(std::chrono::milliseconds deadline = kDeadline);
    // True when the next thing from the relay is its orderly end of stream: no more bytes,
    // and no reset.
    bool ends_cleanly(std::chrono::milliseconds deadline = kDeadline);

    // What one receive gets within the deadline: the bytes the relay wrote so far, as they come
    // (empty when nothing came or the connection closed).
    Bytes receive_piece(std::chrono::milliseconds deadline = kDeadline);

    // Registers a cast and expects ACK0OK.
    bool cast(std::string_view name, std::string_view track = "");
    // Says hello as a watcher, reads ACK and the list, and asks for `name`.
    bool watch(std::string_view name);

  private:
    bool read_exact(std::uint8_t* out, std::size_t count,
                    std::chrono::steady_clock::time_point until);

    int fd_ = -1;
};

// The size of a replay file of the header and `blocks` blocks.
std::size_t file_size(std::size_t blocks);
// The caster uploads blocks [from, to) of `recording`; false once the relay has closed it.
bool upload(TestClient& caster, const Recording& recording, std::size_t from, std::size_t to);

// Polls until `check` holds or the deadline passes, every 10 ms: a check is often a request.
template <typename Check>
bool becomes(Check check, std::chrono::milliseconds deadline = kDeadline) {
    return test::wait_until(check, deadline, 10ms);
}

// Reads SRH/SRD messages into a replay file until it holds `size` bytes or the deadline passes.
class ReplayReader {
  public:
    bool read_until(TestClient& client, std::size_t size,
                    std::chrono::milliseconds deadline = kDeadline);
    const Bytes& file() const { return file_; }
    int headers_seen = 0;

  private:
    Bytes file_;
};

}  // namespace kavro::relay::testing
