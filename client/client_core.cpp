// The core's plumbing: construction, the installation check, sending, what the session does to
// the connection and the window, and the timers' remembered state.
#include "client/client_core.h"

#include <system_error>

namespace kavro {
namespace {

constexpr int kSlowPollMs = 1000;
constexpr int kFastPollMs = 50;

std::size_t index_of(WindowTimer timer) { return timer == WindowTimer::kPoll ? 0 : 1; }

}  // namespace

ClientCore::ClientCore(ClientView& view, TcpConnection& tcp1, ClientPaths paths, Clock clock)
    : ClientCore(view, std::make_unique<TcpRelayLink>(tcp1), nullptr, std::move(paths),
                 std::move(clock)) {
    tcp1_ = &tcp1;
    tcp1.OnConnect = [this] { tcp1Connect(); };
    tcp1.OnDisconnect = [this] { tcp1Disconnect(); };
}

ClientCore::ClientCore(ClientView& view, RelayLink& link, ClientPaths paths, Clock clock)
    : ClientCore(view, nullptr, &link, std::move(paths), std::move(clock)) {}

ClientCore::ClientCore(ClientView& view, std::unique_ptr<RelayLink> own_link, RelayLink* link,
                       ClientPaths paths, Clock clock)
    : view_(view),
      own_link_(std::move(own_link)),
      link_(link != nullptr ? *link : *own_link_),
      paths_(std::move(paths)),
      clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)),
      state_(paths_.cast),
      replay_writer_(paths_.watch_replay,
                     [this](const std::string& line) { view_.add_log_line(line); }),
      grid_rows_{CasterRow{}},  // the grid starts with one blank data row
      session_(*this, [this] { return now(); }),
      copy_notice_([this](const std::string& line) { view_.add_log_line(line); },
                   "Cannot copy " + paths_.cast.source.generic_string() + " to " +
                       paths_.cast.copy.generic_string() + ".",
                   "Copying " + paths_.cast.source.generic_string() + " to " +
                       paths_.cast.copy.generic_string() + " works again.") {}

ClientCore::~ClientCore() {
    if (tcp1_ != nullptr) {
        tcp1_->OnConnect = nullptr;
        tcp1_->OnDisconnect = nullptr;
    }
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

bool ClientCore::send_raw(std::span<const std::uint8_t> record) {
    if (!link_.connected()) return false;
    const auto result = link_.send(record);
    state_.bytes_sent += static_cast<std::int32_t>(result.bytes);
    return result.ok;
}

bool ClientCore::send_record(std::span<const std::uint8_t> record) {
    if (!link_.connected()) return false;
    if (send_raw(record)) return true;
    handle(Session::Event::Kind::kLost);
    return false;
}

void ClientCore::handle(Session::Event::Kind kind, std::string text) {
    session_.handle({kind, std::move(text)});
}

bool ClientCore::begin_connect() { return link_.begin_connect(); }

RelayLink::Progress ClientCore::poll_connect() { return link_.poll_connect(); }

void ClientCore::connection_opened() { tcp1Connect(); }

void ClientCore::close_connection() {
    const bool was_connected = link_.connected();
    link_.disconnect();
    upload_blocked_since_.reset();
    // A TcpConnection says so itself through OnDisconnect; any other link is told here.
    if (was_connected && tcp1_ == nullptr) tcp1Disconnect();
    state_.registered = false;
}

bool ClientCore::send_hello() { return send_raw(state_.records.prepare_hello(state_.cast_mode)); }

bool ClientCore::send_watch_request(const std::string& cast) {
    return send_raw(state_.records.prepare_watch_request(cast));
}

void ClientCore::set_mode_buttons(bool cast, bool watch, bool stop) {
    view_.set_button_enabled(ModeButton::kCast, cast);
    view_.set_button_enabled(ModeButton::kWatch, watch);
    view_.set_button_enabled(ModeButton::kStop, stop);
}

void ClientCore::hide_panels() {
    view_.set_panel_visible(Panel::kCast, false);
    view_.set_panel_visible(Panel::kWatch, false);
}

void ClientCore::empty_watch_file() {
    // The registration stands even when the watch file cannot be emptied; writing it later
    // reports the failure in the log.
    replay_writer_.empty_file();
}

void ClientCore::upload_from_header() { state_.cast_streamer.restart(); }

void ClientCore::await_resume_offer(TimePoint deadline) {
    // The relay offers what it holds right behind its acceptance; without an offer by the
    // deadline the upload starts again from the header.
    state_.cast_streamer.await_resume_offer(deadline);
}

void ClientCore::resume_offer(const wire::ResumeOffer& offer) {
    state_.cast_streamer.take_resume_offer(offer);
}

void ClientCore::follow_connect(bool connecting) {
    if (connecting == following_connect_) return;
    following_connect_ = connecting;
    // The poll timer runs fast while a connect is in progress; after it, the timer is as it was
    // before (a connect that succeeds turns it on for the connection itself).
    if (connecting) poll_enabled_before_connect_ = timer_enabled(WindowTimer::kPoll);
    change_timer(WindowTimer::kPoll, connecting || poll_enabled_before_connect_,
                 connecting ? kFastPollMs : kSlowPollMs);
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
