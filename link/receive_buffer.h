// Collects the relay's bytes as they arrive in arbitrary pieces and hands each complete message
// at the front, in order, to a MessageHandler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "wire/wire_format.h"

namespace kavro {

// What the dispatcher calls for each message it recognises.
class MessageHandler {
  public:
    virtual ~MessageHandler() = default;
    virtual void accepted() = 0;                               // "ACK0OK"
    virtual void refused() = 0;                                // any other acknowledgement
    virtual void error(const std::string& text) = 0;           // ERR; the connection is to end
    virtual void caster_list(wire::ConstBytes payload) = 0;    // CHL
    virtual void replay_header(wire::ConstBytes payload) = 0;  // SRH
    virtual void replay_data(wire::ConstBytes payload) = 0;    // SRD
    // A KAL that carries the relay's resume offer to a returning caster. Plain KALs, and KALs
    // whose payload is no offer, reach no handler.
    virtual void resume_offer(const wire::ResumeOffer& /*offer*/) {}
};

class ReceiveBuffer {
  public:
    static constexpr std::size_t kCapacity = 65536;
    // One receive never asks for more than this: the whole buffer, so a catch-up takes few calls.
    static constexpr std::size_t kMaxReceive = kCapacity;

    enum class Outcome {
        kWaiting,   // everything complete was handled; the rest waits for more bytes
        kEnded,     // an ERR was handled: the connection is over, nothing more was looked at
        kOverflow,  // a message too long for the buffer: the buffer was emptied
    };

    // Where the next receive may write: at most kMaxReceive bytes and never past the end.
    // Moves what waits to the buffer's front, so views of messages already handled end here.
    std::span<std::uint8_t> receive_area();
    // Takes `n` bytes written into receive_area() as received.
    void commit(std::size_t n);

    // Handles every complete message at the front, in arrival order, as the wire decoder
    // (wire/relay_message_decoder.h) reads them. ACK is six bytes; every other message is its
    // six-byte head plus the payload length the head gives. A message of
    // an unknown tag is skipped by its length; KAL is consumed and nothing else is done, unless
    // it carries a resume offer. Each message leaves the buffer before its handler runs, so a
    // handler that throws has still consumed its message: the next dispatch goes on after it.
    Outcome dispatch(MessageHandler& handler);

    std::size_t count() const { return rx_count_; }
    wire::ConstBytes contents() const { return {rx_buffer_.data() + rx_start_, rx_count_}; }
    void clear() {
        rx_start_ = 0;
        rx_count_ = 0;
    }

  private:
    // Steps over `n` bytes at the front. Their bytes stay where they are until the next
    // receive_area(), so a handler may still read the message it was given.
    void consume(std::size_t n);

    std::array<std::uint8_t, kCapacity> rx_buffer_{};
    std::size_t rx_start_ = 0;  // where the waiting bytes begin
    std::size_t rx_count_ = 0;
};

}  // namespace kavro
