// One tick's reading from the relay: everything the socket holds, message by message, bounded in
// time and bytes so a late joiner's catch-up keeps pace with the path without holding the tick.
#pragma once

#include <chrono>
#include <cstddef>

#include "link/receive_buffer.h"
#include "link/tcp_connection.h"

namespace kavro {

struct ReceiveBudget {
    std::chrono::milliseconds time{10};
    std::size_t bytes = std::size_t{4} << 20;
};

struct ReceiveReport {
    ReceiveBuffer::Outcome outcome = ReceiveBuffer::Outcome::kWaiting;
    std::size_t bytes = 0;  // bytes received this tick
    bool closed = false;    // the relay closed the connection, or receiving failed
    bool drained = false;   // the socket had nothing more to read when the tick ended
    // Far more came than a live race sends in a tick, or more was waiting when the budget ran
    // out: the reader is catching up with a backlog. The owner may tick again soon, and the
    // replay writer says how far the catch-up has come.
    bool backlog = false;
};

// Bytes in one tick past which a tick counts as catching up: a live race sends a few kilobytes
// a second.
inline constexpr std::size_t kBacklogBytes = 256 * 1024;

// Receives what `connection` holds and dispatches each complete message to `handler` as soon as
// it is whole (each leaves `buffer` before its handler runs), until the socket has nothing more,
// the budget is spent, the connection closes, or a dispatch ends the cycle (ERR, overflow). A
// handler that throws leaves the exception to the caller; the messages before it are handled
// and it is consumed. Reads nothing unless connected.
ReceiveReport receive_and_dispatch(TcpConnection& connection, ReceiveBuffer& buffer,
                                   MessageHandler& handler, ReceiveBudget budget = {});

}  // namespace kavro
