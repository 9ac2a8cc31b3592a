// The session's transitions. Each reaction sets the new state before it touches the world, so
// a reaction that shows a box (whose timers run meanwhile) or that throws leaves a state that
// makes sense.
#include "client/session.h"

#include <algorithm>

namespace kavro {
namespace {

const std::string kRefusal = "The relay refused the request.";

}  // namespace

const char* Session::name(State state) {
    switch (state) {
        case State::kIdle:
            return "idle";
        case State::kConnecting:
            return "connecting";
        case State::kOpen:
            return "open";
        case State::kAwaitingAcceptance:
            return "awaiting acceptance";
        case State::kCasting:
            return "casting";
        case State::kWatching:
            return "watching";
        case State::kAwaitingListing:
            return "awaiting listing";
        case State::kPausing:
            return "pausing";
        case State::kEnded:
            return "ended";
    }
    return "?";
}

void Session::handle(const Event& event) {
    using Kind = Event::Kind;
    switch (event.kind) {
        case Kind::kCastClicked:
            start(true);
            return;
        case Kind::kWatchClicked:
            start(false);
            return;
        case Kind::kStopClicked:
            stop();
            return;
        case Kind::kTick:
            tick();
            return;
        case Kind::kLost:
            lost();
            return;
        case Kind::kHello:
            if (state_ == State::kOpen || state_ == State::kAwaitingAcceptance ||
                state_ == State::kWatching || state_ == State::kCasting) {
                if (!send_hello(event.hello)) return lost();
                if (state_ == State::kOpen) state_ = State::kAwaitingAcceptance;
            }
            return;
        case Kind::kCastChosen:
            if (state_ == State::kAwaitingAcceptance || state_ == State::kWatching ||
                state_ == State::kOpen) {
                if (!fx_.send_watch_request(event.text)) return lost();
                // Chosen before the relay's acceptance (a grid from an earlier connection) or
                // after it: either way the cast comes back after an outage.
                cast_ = event.text;
            }
            return;
        case Kind::kAccepted: {
            const Hello answered = hellos_.empty() ? Hello::kStart : hellos_.front();
            if (!hellos_.empty()) hellos_.pop_front();
            accepted(answered);
            return;
        }
        case Kind::kRefused: {
            const Hello answered = hellos_.empty() ? Hello::kStart : hellos_.front();
            if (!hellos_.empty()) hellos_.pop_front();
            refused(answered);
            return;
        }
        case Kind::kError:
            error(event.text);
            return;
        case Kind::kListed:
            if (event.rows != nullptr) listed(*event.rows);
            return;
        case Kind::kReplayArrived:
            // The watched cast flows again: the outage is over.
            if (state_ == State::kWatching && outage_) back();
            return;
        case Kind::kRestartNeeded:
            if (!cast_.empty() && !casting_ &&
                (state_ == State::kWatching || state_ == State::kAwaitingListing)) {
                // The relay sends the whole recording to a watcher that asks again: at once.
                retry_later({});
                outage_->next_attempt = now();
                return;
            }
            stop();
            return;
    }
}

void Session::start(bool casting) {
    state_ = State::kIdle;
    fx_.close_connection();
    casting_ = casting;
    cast_.clear();
    hellos_.clear();
    outage_.reset();
    user_connect_ = true;
    if (!fx_.begin_connect()) {
        fx_.log("Cannot reach the relay.");
        return;
    }
    state_ = State::kConnecting;
    connect_started_ = now();
    advance_connect();
}

void Session::stop() {
    state_ = State::kIdle;
    cast_.clear();
    hellos_.clear();
    outage_.reset();
    fx_.follow_connect(false);
    fx_.close_connection();
    fx_.set_mode_buttons(true, true, false);
    fx_.hide_panels();
    fx_.log("Disconnected.");
}

void Session::advance_connect() {
    switch (fx_.poll_connect()) {
        case RelayLink::Progress::kConnected:
            fx_.follow_connect(false);
            connected();
            return;
        case RelayLink::Progress::kConnecting:
            if (now() - connect_started_ < kConnectLimit) {
                fx_.follow_connect(true);
                return;
            }
            [[fallthrough]];
        case RelayLink::Progress::kFailed:
            fx_.follow_connect(false);
            if (user_connect_) {
                state_ = State::kIdle;
                fx_.close_connection();
                fx_.log("Cannot reach the relay.");
                return;
            }
            retry_later({});
            return;
    }
}

void Session::connected() {
    state_ = State::kOpen;
    hellos_.clear();
    fx_.connection_opened();
    if (user_connect_) {
        fx_.log("Connected");
        // A watcher says hello at once, so the relay's list arrives without another click; a
        // caster waits for its name.
        if (casting_) return;
        if (!send_hello(Hello::kStart)) return lost();
        state_ = State::kAwaitingAcceptance;
        return;
    }
    // Coming back: the same hello as the first time. "Connected" waits for the acceptance: a
    // connection that a relay on its way down takes and drops at once is not back.
    state_ = State::kAwaitingAcceptance;
    if (!send_hello(Hello::kAutomatic)) return lost();
}

void Session::accepted(Hello answered) {
    const bool automatic = answered == Hello::kAutomatic;
    // The user's own click empties the watch file; a refresh only while no cast is watched, as
    // its file would otherwise lose the header the data after it belongs to.
    const bool empties =
        answered == Hello::kStart || (answered == Hello::kRefresh && cast_.empty());
    const State before = state_;
    if (casting_) {
        state_ = State::kCasting;
    } else if (automatic && !cast_.empty() && before == State::kAwaitingAcceptance) {
        state_ = State::kAwaitingListing;
        // The cast has kRetryLimit from here to be listed again, however the lists come.
        if (outage_ && !outage_->unlisted_since) outage_->unlisted_since = now();
    } else if (before != State::kAwaitingListing) {
        state_ = State::kWatching;
    }
    if (empties) fx_.empty_watch_file();
    fx_.set_mode_buttons(false, false, true);
    if (before == State::kAwaitingListing) return;  // the answer to a list request
    if (casting_) {
        if (automatic) {
            // Coming back to a cast the relay may still hold: its resume offer (or, without one,
            // the header after a short wait) decides where the upload goes on.
            fx_.await_resume_offer(now() + std::chrono::seconds(2));
        } else if (before != State::kCasting) {
            fx_.upload_from_header();
        }
    }
    if (!automatic || !outage_) return;
    fx_.log("Connected");
    if (casting_) {
        back();
        return;
    }
    // The list that follows the acceptance is the first look for the cast.
    outage_->pause = kFirstPause;
    outage_->next_list_request = now() + next_pause();
}

void Session::refused(Hello answered) {
    if (answered == Hello::kAutomatic && outage_) {
        // The name may still be held by the connection that died, or the relay is full for a
        // moment: tried again after a pause, for a while.
        refusal_of_automatic(kRefusal);
        return;
    }
    fx_.log(kRefusal);
    if (state_ == State::kAwaitingAcceptance) state_ = State::kOpen;
}

void Session::error(const std::string& text) {
    if (outage_ && state_ != State::kIdle && state_ != State::kEnded) {
        refusal_of_automatic(text);
        return;
    }
    end_with_error(text);
}

void Session::refusal_of_automatic(const std::string& line) {
    Outage& o = *outage_;
    if (!o.refused_since) o.refused_since = now();
    if (now() - *o.refused_since >= kRetryLimit) {
        end_with_error(line);
        return;
    }
    const bool said =
        std::find(o.errors_logged.begin(), o.errors_logged.end(), line) != o.errors_logged.end();
    if (!said) o.errors_logged.push_back(line);
    retry_later({});
    if (!said) fx_.log(line);
}

void Session::end_with_error(const std::string& text) {
    state_ = State::kEnded;
    cast_.clear();
    hellos_.clear();
    outage_.reset();
    fx_.follow_connect(false);
    fx_.close_connection();
    fx_.hide_panels();
    fx_.set_mode_buttons(false, false, false);
    fx_.log("Disconnected.");
    fx_.show_message(text);
}

void Session::listed(const std::vector<CasterRow>& rows) {
    if (state_ != State::kAwaitingListing || !outage_) return;
    const bool found = std::any_of(rows.begin(), rows.end(), [this](const CasterRow& row) {
        return !row[0].empty() && row[0] == cast_;
    });
    if (found) {
        state_ = State::kWatching;
        if (!fx_.send_watch_request(cast_)) lost();
        return;
    }
    // Asking for a cast that is not listed would be answered with ERR.
    if (!outage_->waiting_logged) {
        outage_->waiting_logged = true;
        fx_.log("Waiting for " + cast_ + " to be listed again.");
    }
}

void Session::lost() {
    switch (state_) {
        case State::kIdle:
        case State::kEnded:
        case State::kPausing:
            fx_.close_connection();
            return;
        default:
            break;
    }
    const bool comes_back = outage_ || state_ == State::kCasting || !cast_.empty();
    if (comes_back) {
        retry_later("The connection to the relay was lost; reconnecting.");
        return;
    }
    // Before an acceptance the user is still choosing.
    state_ = State::kIdle;  // stop() below says the rest
    fx_.log("The relay closed the connection.");
    stop();
}

void Session::retry_later(const std::string& first_line) {
    state_ = State::kPausing;
    hellos_.clear();
    fx_.follow_connect(false);
    fx_.close_connection();
    const bool new_outage = !outage_;
    if (new_outage) outage_.emplace();
    outage_->next_attempt = now() + next_pause();
    // Stop stays the way out; the mode buttons stay off as while registered.
    fx_.set_mode_buttons(false, false, true);
    if (new_outage && !first_line.empty()) fx_.log(first_line);
}

Session::Duration Session::next_pause() {
    const Duration pause = outage_->pause;
    outage_->pause = std::min<Duration>(pause * 2, kLongestPause);
    return pause;
}

void Session::back() { outage_.reset(); }

void Session::ended_cast() {
    const std::string line = "The cast " + cast_ + " has ended; the replay is kept.";
    state_ = State::kIdle;
    cast_.clear();
    hellos_.clear();
    outage_.reset();
    fx_.close_connection();
    fx_.set_mode_buttons(true, true, false);
    fx_.hide_panels();
    fx_.log(line);
}

void Session::tick() {
    switch (state_) {
        case State::kConnecting:
            advance_connect();
            return;
        case State::kPausing:
            if (now() < outage_->next_attempt) return;
            user_connect_ = false;
            if (!fx_.begin_connect()) {
                outage_->next_attempt = now() + next_pause();
                return;
            }
            state_ = State::kConnecting;
            connect_started_ = now();
            advance_connect();
            return;
        case State::kAwaitingListing:
            if (outage_->unlisted_since && now() - *outage_->unlisted_since >= kRetryLimit) {
                ended_cast();
                return;
            }
            if (now() < outage_->next_list_request) return;
            outage_->next_list_request = now() + next_pause();
            if (!send_hello(Hello::kAutomatic)) lost();  // as Refresh does
            return;
        case State::kAwaitingAcceptance:
            // A relay that never answers an automatic hello: the dead-path checks end the
            // connection; the refusal bound covers one that keeps refusing.
            return;
        default:
            return;
    }
}

bool Session::send_hello(Hello kind) {
    if (!fx_.send_hello()) return false;
    hellos_.push_back(kind);
    return true;
}

std::optional<Session::TimePoint> Session::next_deadline() const {
    switch (state_) {
        case State::kConnecting:
            return connect_started_ + kConnectLimit;
        case State::kPausing:
            return outage_->next_attempt;
        case State::kAwaitingListing:
            return outage_->next_list_request;
        default:
            return std::nullopt;
    }
}

}  // namespace kavro
