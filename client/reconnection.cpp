// Coming back by itself: after the relay accepted a cast, or a watcher asked for a chosen cast, a
// lost connection is opened again to the same relay with growing pauses until the session is back
// or the user presses Stop. Also the two signs of a dead path that TCP itself may not see.
#include <algorithm>

#include "client/client_core.h"

namespace kavro {

void ClientCore::end_session() {
    session_.reset();
    reconnecting_ = false;
    awaiting_cast_ = false;
    pause_ = kFirstPause;
}

void ClientCore::reconnect_later(const std::string& line) {
    tcp1_.Disconnect();
    upload_blocked_since_.reset();
    awaiting_cast_ = false;
    if (!reconnecting_) {
        reconnecting_ = true;
        refusal_logged_ = false;
        waiting_logged_ = false;
        pause_ = kFirstPause;
        if (!line.empty()) view_.add_log_line(line);
    }
    // Stop stays the way out; the mode buttons stay off as while registered.
    view_.set_button_enabled(ModeButton::kCast, false);
    view_.set_button_enabled(ModeButton::kWatch, false);
    view_.set_button_enabled(ModeButton::kStop, true);
    next_attempt_ = now() + pause_;
    pause_ = std::min<std::chrono::steady_clock::duration>(pause_ * 2, kLongestPause);
}

void ClientCore::try_reconnect() {
    tcp1_.Disconnect();
    if (!tcp1_.Connect()) {
        next_attempt_ = now() + pause_;
        pause_ = std::min<std::chrono::steady_clock::duration>(pause_ * 2, kLongestPause);
        return;
    }
    // The same hello as the first time: a caster's carries the same name and track.
    send_record(state_.records.prepare_hello(state_.cast_mode));
}

void ClientCore::session_back() {
    reconnecting_ = false;
    pause_ = kFirstPause;
    view_.add_log_line("Connected");
    if (session_ && !session_->casting) {
        // The list that follows the acceptance is the first look for the cast.
        awaiting_cast_ = true;
        next_list_request_ = now() + kListRequestPause;
    }
}

void ClientCore::ask_for_the_cast(const std::vector<CasterRow>& rows) {
    const bool listed = std::any_of(rows.begin(), rows.end(), [this](const CasterRow& row) {
        return !row[0].empty() && row[0] == session_->cast_name;
    });
    if (!listed) {
        // Asking for a cast that is not listed would end it all: the relay answers with ERR.
        if (!waiting_logged_) {
            view_.add_log_line("Waiting for " + session_->cast_name + " to be listed again.");
        }
        waiting_logged_ = true;
        return;
    }
    awaiting_cast_ = false;
    send_record(state_.records.prepare_watch_request(session_->cast_name));
}

void ClientCore::watch_for_a_dead_path() {
    if (!tcp1_.Connected() || !(state_.registered || reconnecting_)) return;
    if (upload_blocked_since_ && tcp1_.PollWritable()) upload_blocked_since_.reset();
    const bool unsent = upload_blocked_since_ && now() - *upload_blocked_since_ >= kUnsentLimit;
    if (unsent || now() - last_heard_ >= kSilenceLimit) connection_lost();
}

void ClientCore::handle_replay_restart() {
    if (!replay_writer_.restart_needed()) return;
    replay_writer_.restart();
    if (session_ && !session_->casting) {
        // The relay sends the whole recording to a watcher that asks again.
        reconnect_later({});
        next_attempt_ = now();
        return;
    }
    btn_stopClick();
}

}  // namespace kavro
