// The client's session with the relay, as one state and one transition function: what the user's
// clicks, the connection and the relay's answers do, and what comes back by itself after an
// outage. It owns the pauses between automatic attempts and the bounds of every automatic state;
// everything it does to the world goes through SessionEffects (the core, or a test's fake).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/relay_link.h"
#include "replay/caster_list.h"

namespace kavro {

// What the session asks of the rest of the client. Sends answer whether the record was taken;
// a false one is a lost connection, which the session handles itself.
class SessionEffects {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~SessionEffects() = default;

    virtual bool begin_connect() = 0;
    virtual RelayLink::Progress poll_connect() = 0;
    // The connection is open: counters and the receive buffer start afresh.
    virtual void connection_opened() = 0;
    virtual void close_connection() = 0;
    virtual bool send_hello() = 0;
    virtual bool send_watch_request(const std::string& cast) = 0;
    virtual void log(const std::string& line) = 0;
    virtual void show_message(const std::string& text) = 0;
    virtual void set_mode_buttons(bool cast, bool watch, bool stop) = 0;
    virtual void hide_panels() = 0;
    // The watch file starts empty: only ever after the user's own click was accepted.
    virtual void empty_watch_file() = 0;
    // The caster's upload starts again from the header (the user's own Cast).
    virtual void upload_from_header() = 0;
    // After an automatic re-acceptance of a cast: the upload waits for the relay's offer of what
    // it holds until `deadline`.
    virtual void await_resume_offer(TimePoint deadline) = 0;
    // While a connect is in progress the poll timer runs fast to follow it.
    virtual void follow_connect(bool connecting) = 0;
};

class Session {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    enum class State {
        kIdle,                // no connection
        kConnecting,          // a connect is in progress
        kOpen,                // connected; the caster chooses a name, or a hello was refused
        kAwaitingAcceptance,  // a hello was sent, its answer has not come
        kCasting,             // the relay accepted the cast
        kWatching,            // the relay accepted the watcher (with or without a chosen cast)
        kAwaitingListing,     // back after an outage; the watched cast is not listed (yet)
        kPausing,             // an outage: the next attempt waits for its time
        kEnded,               // the relay ended it (ERR): nothing comes back by itself
    };

    // Automatic attempts: the first after kFirstPause, each pause twice the one before, at most
    // kLongestPause.
    static constexpr std::chrono::seconds kFirstPause{1};
    static constexpr std::chrono::seconds kLongestPause{30};
    // Refusals answering automatic attempts, and a watched cast missing from the list after a
    // reconnect, are given this long before the session ends.
    static constexpr std::chrono::minutes kRetryLimit{2};
    // A connect that has not finished by then has failed (the link's own deadline is 5 s).
    static constexpr std::chrono::seconds kConnectLimit{6};

    // Who sent a hello: the click that starts a session (Watch LFS, or Cast on the cast panel),
    // Refresh, or the session itself coming back or asking for the list.
    enum class Hello { kStart, kRefresh, kAutomatic };

    struct Event {
        enum class Kind {
            kCastClicked,   // "Cast LFS"
            kWatchClicked,  // "Watch LFS"
            kStopClicked,
            kHello,       // the user's hello: Cast on the cast panel, or Refresh
            kCastChosen,  // Watch on the watch panel, with the cast's name
            kAccepted,
            kRefused,
            kError,          // ERR, with its text
            kListed,         // a caster list, with its rows
            kReplayArrived,  // a replay header or data
            kLost,           // the connection closed, failed, or the path is dead
            kRestartNeeded,  // the watch file cannot be made whole: the replay must come again
            kTick,
        };
        Kind kind;
        std::string text;                              // kError's text, kCastChosen's name
        const std::vector<CasterRow>* rows = nullptr;  // kListed
        Hello hello = Hello::kStart;                   // kHello
    };

    Session(SessionEffects& effects, std::function<TimePoint()> clock)
        : fx_(effects), clock_(std::move(clock)) {}

    // The one transition function.
    void handle(const Event& event);

    State state() const { return state_; }
    bool casting() const { return casting_; }
    // The cast a watcher asked for, which comes back after an outage; empty when none.
    const std::string& watched_cast() const { return cast_; }
    // Between a lost connection and the session being back.
    bool in_outage() const { return outage_.has_value(); }
    // When the session next has something to do by itself (an attempt, a list request, a
    // deadline); nullopt in states that wait only for the user or the relay.
    std::optional<TimePoint> next_deadline() const;

    static const char* name(State state);

  private:
    // What one outage has seen: it starts when a session's connection is lost and ends when the
    // session is back.
    struct Outage {
        Duration pause = kFirstPause;
        TimePoint next_attempt{};
        std::optional<TimePoint> refused_since;   // first refusal of an automatic attempt
        std::optional<TimePoint> unlisted_since;  // first looked for in the list
        TimePoint next_list_request{};
        bool waiting_logged = false;
        std::vector<std::string> errors_logged;
    };

    TimePoint now() const { return clock_(); }
    void start(bool casting);
    void stop();
    void advance_connect();
    void connected();
    void accepted(Hello answered);
    void refused(Hello answered);
    void error(const std::string& text);
    void listed(const std::vector<CasterRow>& rows);
    void lost();
    void tick();
    void end_with_error(const std::string& text);
    void ended_cast();
    // Closes the connection and waits the next pause, starting an outage when none is on.
    void retry_later(const std::string& first_line);
    void refusal_of_automatic(const std::string& line);
    void back();
    bool send_hello(Hello kind);
    Duration next_pause();

    SessionEffects& fx_;
    std::function<TimePoint()> clock_;
    State state_ = State::kIdle;
    bool casting_ = false;      // a cast session (else a watcher's)
    std::string cast_;          // the watcher's chosen cast
    bool user_connect_ = true;  // the connect in progress follows the user's click
    TimePoint connect_started_{};
    std::deque<Hello> hellos_;  // hellos sent on this connection, not answered yet
    std::optional<Outage> outage_;
};

}  // namespace kavro
