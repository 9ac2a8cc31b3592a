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
    state_.cast_mode = true;
    view_.set_panel_visible(Panel::kCast, true);
    view_.set_panel_visible(Panel::kWatch, false);
    reconnect();
}

void ClientCore::btn_watchClick() {
    state_.cast_mode = false;
    view_.set_panel_visible(Panel::kCast, false);
    view_.set_panel_visible(Panel::kWatch, true);
    reconnect();
    // Said at once, so the relay's list arrives without another click.
    send_record(state_.records.prepare_hello(state_.cast_mode));
}

void ClientCore::btn_stopClick() {
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
    view_.add_log_line("Connected");
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
}

void ClientCore::refused() {
    state_.registered = false;
    view_.add_log_line("The relay refused the request.");
}

void ClientCore::error(const std::string& text) {
    tcp1_.Disconnect();
    hide_panels();
    view_.set_button_enabled(ModeButton::kCast, false);
    view_.set_button_enabled(ModeButton::kWatch, false);
    view_.set_button_enabled(ModeButton::kStop, false);
    view_.add_log_line("Disconnected.");
    view_.show_message(text);
}

void ClientCore::Timer1Timer() {
    poll_and_dispatch();
    cast_step();
}

void ClientCore::poll_and_dispatch() {
    // A modal box opened by a reaction lets timers run; the cycle it interrupted is not re-entered.
    if (dispatching_) return;
    if (!tcp1_.PollReadable(std::chrono::milliseconds(0))) return;
    const auto area = state_.receive_buffer.receive_area();
    const long n = tcp1_.ReceiveBytes(area.data(), area.size());
    if (n <= 0) {
        connection_lost();
        return;
    }
    state_.bytes_received += static_cast<std::int32_t>(n);
    state_.receive_buffer.commit(static_cast<std::size_t>(n));
    if (state_.registered) change_timer(WindowTimer::kPoll, true, kFastPollMs);

    ReceiveBuffer::Outcome outcome;
    {
        const ReentryGuard guard(dispatching_);
        outcome = state_.receive_buffer.dispatch(*this);
    }
    if (outcome == ReceiveBuffer::Outcome::kOverflow) btn_stopClick();
}

void ClientCore::Timer2Timer() {
    view_.set_meter_text(
        state_.meter.tick(state_.bytes_sent, state_.bytes_received, view_.decimal_separator()));
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
}

}  // namespace kavro
