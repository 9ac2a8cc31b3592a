// The mode controller: what the mode buttons, Stop, the connection's events and the relay's
// acknowledgements do to the window and the timers, and what each poll tick runs.
#include <QLabel>
#include <QPushButton>
#include <QGroupBox>
#include <QTimer>
#include <chrono>

#include "app/main_window.h"

namespace kavro {
namespace {

constexpr int kSlowPollMs = 1000;
constexpr int kFastPollMs = 50;

// A new interval restarts the timer's period; the interval it already has changes nothing.
void set_interval(QTimer* timer, int ms) {
    if (timer->interval() != ms) timer->setInterval(ms);
}

void enable(QTimer* timer) {
    if (!timer->isActive()) timer->start();
}

}  // namespace

void TForm1::reconnect() {
    tcp1.Disconnect();
    if (!tcp1.Connect()) log(QStringLiteral("Cannot reach the relay."));
}

void TForm1::btn_castClick() {
    state_.cast_mode = true;
    bg_cast->show();
    bg_watch->hide();
    reconnect();
}

void TForm1::btn_watchClick() {
    state_.cast_mode = false;
    bg_cast->hide();
    bg_watch->show();
    reconnect();
    // Said at once, so the relay's list arrives without another click.
    send_record(state_.records.prepare_hello(state_.cast_mode));
}

void TForm1::btn_stopClick() {
    tcp1.Disconnect();
    btn_stop->setEnabled(false);
    btn_cast->setEnabled(true);
    btn_watch->setEnabled(true);
    hide_panels();
    log(QStringLiteral("Disconnected."));
}

void TForm1::tcp1Connect() {
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
    // Bytes left from an earlier connection would be read as the start of this one's stream.
    state_.receive_buffer.clear();
    enable(Timer1);
    enable(Timer2);
    log(QStringLiteral("Connected"));
}

void TForm1::tcp1Disconnect() {
    state_.registered = false;
    set_interval(Timer1, kSlowPollMs);
    Timer2->stop();
}

void TForm1::accepted() {
    state_.registered = true;
    replay_writer_.empty_file();
    btn_cast->setEnabled(false);
    btn_watch->setEnabled(false);
    btn_stop->setEnabled(true);
}

void TForm1::refused() {
    state_.registered = false;
    log(QStringLiteral("The relay refused the request."));
}

void TForm1::error(const std::string& text) {
    tcp1.Disconnect();
    hide_panels();
    btn_cast->setEnabled(false);
    btn_watch->setEnabled(false);
    btn_stop->setEnabled(false);
    log(QStringLiteral("Disconnected."));
    show_message(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

void TForm1::Timer1Timer() {
    poll_and_dispatch();
    cast_step();
}

void TForm1::poll_and_dispatch() {
    // A modal box opened by a reaction lets timers run; the cycle it interrupted is not re-entered.
    if (dispatching_) return;
    if (!tcp1.PollReadable(std::chrono::milliseconds(0))) return;
    const auto area = state_.receive_buffer.receive_area();
    const long n = tcp1.ReceiveBytes(area.data(), area.size());
    if (n <= 0) {
        connection_lost();
        return;
    }
    state_.bytes_received += static_cast<std::int32_t>(n);
    state_.receive_buffer.commit(static_cast<std::size_t>(n));
    if (state_.registered) set_interval(Timer1, kFastPollMs);

    dispatching_ = true;
    const auto outcome = state_.receive_buffer.dispatch(*this);
    dispatching_ = false;
    if (outcome == ReceiveBuffer::Outcome::kOverflow) btn_stopClick();
}

void TForm1::Timer2Timer() {
    socket_data->setText(QString::fromStdString(
        state_.meter.tick(state_.bytes_sent, state_.bytes_received, decimal_separator())));
    socket_data->adjustSize();
    state_.bytes_sent = 0;
    state_.bytes_received = 0;
}

}  // namespace kavro
