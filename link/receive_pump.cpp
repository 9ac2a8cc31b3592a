#include "link/receive_pump.h"

namespace kavro {

namespace {

ReceiveReport receive_within_budget(TcpConnection& connection, ReceiveBuffer& buffer,
                                    MessageHandler& handler, ReceiveBudget budget) {
    using Clock = std::chrono::steady_clock;
    ReceiveReport report;
    if (!connection.Connected()) return report;
    const auto deadline = Clock::now() + budget.time;
    // Whole messages a throwing handler left behind go first, before anything new arrives.
    if (buffer.count() > 0) {
        report.outcome = buffer.dispatch(handler);
        if (report.outcome != ReceiveBuffer::Outcome::kWaiting || !connection.Connected()) {
            return report;
        }
    }
    while (report.bytes < budget.bytes) {
        const auto area = buffer.receive_area();
        const long n = connection.ReceiveAvailable(area.data(), area.size());
        if (n == net::kNothingToRead) {
            report.drained = true;
            return report;
        }
        if (n <= 0) {
            report.closed = true;
            return report;
        }
        buffer.commit(static_cast<std::size_t>(n));
        report.bytes += static_cast<std::size_t>(n);
        report.outcome = buffer.dispatch(handler);
        if (report.outcome != ReceiveBuffer::Outcome::kWaiting || !connection.Connected()) {
            return report;
        }
        if (Clock::now() >= deadline) break;
    }
    return report;
}

}  // namespace

ReceiveReport receive_and_dispatch(TcpConnection& connection, ReceiveBuffer& buffer,
                                   MessageHandler& handler, ReceiveBudget budget) {
    ReceiveReport report = receive_within_budget(connection, buffer, handler, budget);
    report.backlog = !report.closed && report.outcome == ReceiveBuffer::Outcome::kWaiting &&
                     (!report.drained || report.bytes >= kBacklogBytes);
    return report;
}

}  // namespace kavro
