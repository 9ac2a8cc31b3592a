// The core's plumbing: construction, the installation check, sending, losing the connection and
// the timers' remembered state.
#include "client/client_core.h"

#include <system_error>

namespace kavro {
namespace {

std::size_t index_of(WindowTimer timer) { return timer == WindowTimer::kPoll ? 0 : 1; }

}  // namespace

ClientCore::ClientCore(ClientView& view, TcpConnection& tcp1, ClientPaths paths, Clock clock)
    : view_(view),
      tcp1_(tcp1),
      paths_(std::move(paths)),
      clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)),
      state_(paths_.cast),
      replay_writer_(paths_.watch_replay,
                     [this](const std::string& line) { view_.add_log_line(line); }),
      grid_rows_{CasterRow{}},  // the grid starts with one blank data row
      copy_notice_([this](const std::string& line) { view_.add_log_line(line); },
                   "Cannot copy " + paths_.cast.source.generic_string() + " to " +
                       paths_.cast.copy.generic_string() + ".",
                   "Copying " + paths_.cast.source.generic_string() + " to " +
                       paths_.cast.copy.generic_string() + " works again.") {
    tcp1_.OnConnect = [this] { tcp1Connect(); };
    tcp1_.OnDisconnect = [this] { tcp1Disconnect(); };
}

ClientCore::~ClientCore() {
    tcp1_.OnConnect = nullptr;
    tcp1_.OnDisconnect = nullptr;
}

void ClientCore::FormCreate() {
    std::error_code error;
    if (!std::filesystem::is_regular_file(paths_.simulator, error)) {
        view_.show_message(
            "KAVRO isn't correct installed.\n\n"
            "Please see the readme for installation instructions.");
    }
}

void ClientCore::show_relay_choice(const RelayChoice& choice) {
    if (!choice.problem.empty()) view_.show_message(choice.problem);
    view_.add_log_line(relay_log_line(choice));
}

bool ClientCore::send_record(std::span<const std::uint8_t> record) {
    if (!tcp1_.Connected()) return false;
    const auto result = tcp1_.SendBytes(record);
    state_.bytes_sent += static_cast<std::int32_t>(result.sent);
    if (!result.ok) {
        connection_lost();
        return false;
    }
    return true;
}

void ClientCore::connection_lost() {
    if (session_) {
        reconnect_later("The connection to the relay was lost; reconnecting.");
        return;
    }
    view_.add_log_line("The relay closed the connection.");
    btn_stopClick();
}

void ClientCore::hide_panels() {
    view_.set_panel_visible(Panel::kCast, false);
    view_.set_panel_visible(Panel::kWatch, false);
}

void ClientCore::change_timer(WindowTimer timer, bool enabled, int interval_ms) {
    TimerState& known = timers_[index_of(timer)];
    if (known.enabled == enabled && known.interval_ms == interval_ms) return;
    known = {enabled, interval_ms};
    view_.set_timer(timer, enabled, interval_ms);
}

bool ClientCore::timer_enabled(WindowTimer timer) const { return timers_[index_of(timer)].enabled; }

int ClientCore::timer_interval(WindowTimer timer) const {
    return timers_[index_of(timer)].interval_ms;
}

}  // namespace kavro
