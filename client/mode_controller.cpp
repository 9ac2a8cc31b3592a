// The mode controller: what the mode buttons, Stop, the connection's events and the relay's
// acknowledgements do to the window and the timers, and what each poll tick runs.
#include <chrono>

#include "client/client_core.h"
#include "client/reentry_guard.h"

namespace kavro {
namespace {

constexpr int kSlowPollMs = 1000;
constexpr int kFastPollMs = 50;
constexpr int kMeterMs = 1000;

}  // namespace

void ClientCore::reconnect() {
    tcp1_.Disconnect();
    if (!tcp1_.Connect()) view_.add_log_line("Cannot reach the relay.");
}

void ClientCore::btn_castClick() {
    end_session();
    state_.cast_mode = true;
    view_.set_panel_visible(Panel::kCast, true);
    view_.set_panel_visible(Panel::kWatch, false);
    reconnect();
}

void ClientCore::btn_watchClick() {
    end_session();
    state_.cast_mode = false;
    view_.set_panel_visible(Panel::kCast, false);
    view_.set_panel_visible(Panel::kWatch, true);
    reconnect();
    // Said at once, so the relay's list arrives without another click.
    send_record(state_.records.prepare_hello(state_.cast_mode));
}

void ClientCore::btn_stopClick() {
    end_session();
    tcp1_.Disconnect();
    view_.set_button_enabled(ModeButton::kStop, false);
    view_.set_button_enabled(ModeButton::kCast, true);
    view_.set_button_enabled(ModeButton::kWatch, true);
    hide_panels();
    view_.add_log_line("Disconnected.");
}

void ClientCore::tcp1Connect() {
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
    // Bytes left from an earlier connection would be read as the start of this one's stream.
    state_.receive_buffer.clear();
    change_timer(WindowTimer::kPoll, true, timer_interval(WindowTimer::kPoll));
    change_timer(WindowTimer::kMeter, true, kMeterMs);
    last_heard_ = now();
    upload_blocked_since_.reset();
    // While coming back, "Connected" waits for the relay's acceptance: a connection that a
    // relay on its way down takes and drops at once is not back.
    if (!reconnecting_) view_.add_log_line("Connected");
}

void ClientCore::tcp1Disconnect() {
    state_.registered = false;
    change_timer(WindowTimer::kPoll, timer_enabled(WindowTimer::kPoll), kSlowPollMs);
    change_timer(WindowTimer::kMeter, false, kMeterMs);
}

void ClientCore::accepted() {
    state_.registered = true;
    // The registration stands even when the watch file cannot be emptied; writing it later
    // reports the failure in the log.
    replay_writer_.empty_file();
    view_.set_button_enabled(ModeButton::kCast, false);
    view_.set_button_enabled(ModeButton::kWatch, false);
    view_.set_button_enabled(ModeButton::kStop, true);
    if (state_.cast_mode) {
        // Whatever an earlier connection sent may not all have arrived: from the header again.
        state_.cast_streamer.restart();
        if (!session_) session_ = Session{true, {}};
    }
    if (reconnecting_) session_back();
}

void ClientCore::refused() {
    state_.registered = false;
    if (reconnecting_) {
        // The name may still be held by the connection that died: try again after a pause.
        if (!refusal_logged_) view_.add_log_line("The relay refused the request.");
        refusal_logged_ = true;
        reconnect_later({});
        return;
    }
    view_.add_log_line("The relay refused the request.");
}

void ClientCore::error(const std::string& text) {
    end_session();
    tcp1_.Disconnect();
    hide_panels();
    view_.set_button_enabled(ModeButton::kCast, false);
    view_.set_button_enabled(ModeButton::kWatch, false);
    view_.set_button_enabled(ModeButton::kStop, false);
    view_.add_log_line("Disconnected.");
    view_.show_message(text);
}

void ClientCore::Timer1Timer() {
    if (reconnecting_ && !tcp1_.Connected()) {
        if (now() >= next_attempt_) try_reconnect();
        return;
    }
    tcp1_.PumpOutbound();
    poll_and_dispatch();
    cast_step();
    replay_writer_.flush();
    handle_replay_restart();
    watch_for_a_dead_path();
    if (awaiting_cast_ && tcp1_.Connected() && now() >= next_list_request_) {
        next_list_request_ = now() + kListRequestPause;
        send_record(state_.records.prepare_hello(state_.cast_mode));  // as Refresh does
    }
}

void ClientCore::poll_and_dispatch() {
    // A modal box opened by a reaction lets timers run; the cycle it interrupted is not re-entered.
    if (dispatching_) return;
    // What the socket holds, bounded per tick, so a late joiner catches up at the path's speed.
    const bool registered_before = state_.registered;
    ReceiveReport report;
    {
        const ReentryGuard guard(dispatching_);
        report = receive_and_dispatch(tcp1_, state_.receive_buffer, *this);
    }
    if (report.bytes > 0) {
        last_heard_ = now();
        state_.bytes_received += static_cast<std::int32_t>(report.bytes);
        if (registered_before && state_.registered)
            change_timer(WindowTimer::kPoll, true, kFastPollMs);
    }
    replay_writer_.note_receive_tick(report.backlog, now());
    if (report.closed) {
        connection_lost();
        return;
    }
    if (report.outcome == ReceiveBuffer::Outcome::kOverflow) btn_stopClick();
    handle_replay_restart();
}

void ClientCore::Timer2Timer() {
    view_.set_meter_text(
        state_.meter.tick(state_.bytes_sent, state_.bytes_received, view_.decimal_separator()));
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
}

}  // namespace kavro
