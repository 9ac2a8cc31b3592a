// The mode controller: the mode buttons, Stop, the connection's events and the relay's
// acknowledgements go to the session; each poll tick advances it, then receives, uploads and
// writes, and watches for a dead path.
#include <chrono>

#include "client/client_core.h"
#include "client/reentry_guard.h"

namespace kavro {
namespace {

constexpr int kSlowPollMs = 1000;
constexpr int kFastPollMs = 50;
constexpr int kMeterMs = 1000;
// While a tick finds a backlog (a late joiner catching up), the next tick comes at once: each
// tick is bounded in time and bytes, so the window still answers between them.
constexpr int kCatchUpPollMs = 1;

using Kind = Session::Event::Kind;

}  // namespace

void ClientCore::btn_castClick() {
    state_.cast_mode = true;
    view_.set_panel_visible(Panel::kCast, true);
    view_.set_panel_visible(Panel::kWatch, false);
    handle(Kind::kCastClicked);
}

void ClientCore::btn_watchClick() {
    state_.cast_mode = false;
    view_.set_panel_visible(Panel::kCast, false);
    view_.set_panel_visible(Panel::kWatch, true);
    // Connects, and says hello at once, so the relay's list arrives without another click.
    handle(Kind::kWatchClicked);
}

void ClientCore::btn_stopClick() { handle(Kind::kStopClicked); }

void ClientCore::tcp1Connect() {
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
    // Bytes left from an earlier connection would be read as the start of this one's stream.
    state_.receive_buffer.clear();
    change_timer(WindowTimer::kPoll, true, timer_interval(WindowTimer::kPoll));
    change_timer(WindowTimer::kMeter, true, kMeterMs);
    last_heard_ = now();
    upload_blocked_since_.reset();
}

void ClientCore::tcp1Disconnect() {
    state_.registered = false;
    change_timer(WindowTimer::kPoll, timer_enabled(WindowTimer::kPoll), kSlowPollMs);
    change_timer(WindowTimer::kMeter, false, kMeterMs);
}

void ClientCore::accepted() {
    state_.registered = true;
    handle(Kind::kAccepted);
}

void ClientCore::refused() {
    state_.registered = false;
    handle(Kind::kRefused);
}

void ClientCore::error(const std::string& text) { handle(Kind::kError, text); }

void ClientCore::Timer1Timer() {
    // A modal box opened by a reaction lets timers run; the cycle it interrupted is not re-entered.
    if (dispatching_) return;
    if (link_.connected()) {
        // What earlier sends queued goes out first, and counts as sent when the socket takes it.
        const RelayLink::Sent pumped = link_.pump();
        state_.bytes_sent += static_cast<std::int32_t>(pumped.bytes);
        if (!pumped.ok) handle(Kind::kLost);
    }
    handle(Kind::kTick);
    if (!link_.connected()) return;
    poll_and_dispatch();
    cast_step();
    replay_writer_.flush();
    handle_replay_restart();
    watch_for_a_dead_path();
}

void ClientCore::poll_and_dispatch() {
    if (dispatching_ || !link_.connected()) return;
    const bool was_registered = state_.registered;
    RelayLink::Received received;
    {
        const ReentryGuard guard(dispatching_);
        received = link_.receive(state_.receive_buffer, *this);
    }
    const TimePoint t = now();
    if (received.backlog) catch_up_until_ = t + kCatchUpHold;
    if (received.bytes > 0) {
        last_heard_ = t;
        state_.bytes_received += static_cast<std::int32_t>(received.bytes);
    }
    // Fast once data flows while registered; at once while catching up, and back to fast when a
    // catch-up is over, even if no more data comes.
    const bool catching_up = timer_interval(WindowTimer::kPoll) == kCatchUpPollMs;
    if (was_registered && state_.registered && (received.bytes > 0 || catching_up))
        change_timer(WindowTimer::kPoll, true, t < catch_up_until_ ? kCatchUpPollMs : kFastPollMs);
    replay_writer_.note_receive_tick(received.backlog, t);
    if (received.outcome == ReceiveBuffer::Outcome::kOverflow) {
        btn_stopClick();
        return;
    }
    handle_replay_restart();
    if (received.closed && link_.connected()) handle(Kind::kLost);
}

void ClientCore::watch_for_a_dead_path() {
    if (!link_.connected() || !(state_.registered || session_.in_outage())) return;
    if (upload_blocked_since_ && link_.writable()) upload_blocked_since_.reset();
    const bool unsent = upload_blocked_since_ && now() - *upload_blocked_since_ >= kUnsentLimit;
    if (unsent || now() - last_heard_ >= kSilenceLimit) handle(Kind::kLost);
}

void ClientCore::handle_replay_restart() {
    if (!replay_writer_.restart_needed()) return;
    replay_writer_.restart();
    handle(Kind::kRestartNeeded);
}

void ClientCore::Timer2Timer() {
    view_.set_meter_text(
        state_.meter.tick(state_.bytes_sent, state_.bytes_received, view_.decimal_separator()));
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
}

}  // namespace kavro
