// The client's behaviour, with no toolkit: the mode controller, the reactions to the relay's
// messages, the cast step, the watch side, the meter, and coming back by itself when the
// connection is lost after an acceptance. A front end's form owns the controls,
// the timers and the connection `tcp1`; each of its handlers calls the core's handler of the
// same name, and the core answers through the ClientView.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/client_view.h"
#include "client/program_state.h"
#include "client/relay_choice.h"
#include "link/receive_buffer.h"
#include "link/receive_pump.h"
#include "link/tcp_connection.h"
#include "replay/cast_streamer.h"
#include "replay/failure_notice.h"
#include "replay/replay_writer.h"

namespace kavro {

// The simulator's files, relative to the client's folder (which lies directly below the
// simulator's).
struct ClientPaths {
    std::filesystem::path simulator = "../LFS.exe";
    std::filesystem::path watch_replay = "../data/mpr/kavro.mpr";
    CastPaths cast;
};

class ClientCore : private MessageHandler {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // Where the core reads the time; tests pass their own to drive the pauses.
    using Clock = std::function<TimePoint()>;

    // After the relay accepted a cast, or a watcher asked for a chosen cast, a lost connection
    // is opened again by itself: first after kFirstPause, each pause twice the one before, at
    // most kLongestPause, until it is back or the user presses Stop.
    static constexpr std::chrono::seconds kFirstPause{1};
    static constexpr std::chrono::seconds kLongestPause{30};
    // A watcher coming back asks for the list this often until its cast shows again.
    static constexpr std::chrono::seconds kListRequestPause{3};
    // A dead path: the upload found no room in the connection for this long...
    static constexpr std::chrono::seconds kUnsentLimit{30};
    // ... or the relay sent nothing at all for this long. A live relay sends a keep-alive after
    // 10 s of silence (its default), so this is a relay or a path that is gone.
    static constexpr std::chrono::seconds kSilenceLimit{45};

    // Sets tcp1's OnConnect and OnDisconnect to tcp1Connect and tcp1Disconnect (a form may set
    // them to its own handlers of those names instead); the destructor clears them again.
    ClientCore(ClientView& view, TcpConnection& tcp1, ClientPaths paths = {}, Clock clock = {});
    ~ClientCore() override;
    ClientCore(const ClientCore&) = delete;
    ClientCore& operator=(const ClientCore&) = delete;

    // The installation check, run once before the window is first shown.
    void FormCreate();
    // Says which relay the client uses: a message first when an address given could not be
    // used, then a log line naming the relay and where its address came from.
    void show_relay_choice(const RelayChoice& choice);

    // Mode controller.
    void btn_castClick();
    void btn_watchClick();
    void btn_stopClick();
    void tcp1Connect();     // tcp1's OnConnect
    void tcp1Disconnect();  // tcp1's OnDisconnect
    void Timer1Timer();     // poll_and_dispatch(), then cast_step()
    // Throughput meter.
    void Timer2Timer();
    // Cast side.
    void btn_cast1Click();
    // Watch side.
    void btn_refreshClick();
    void btn_watch1Click();

    // The two halves of a Timer1 tick.
    void poll_and_dispatch();
    void cast_step();

    ProgramState& state() { return state_; }
    const ProgramState& state() const { return state_; }
    // What the core last asked of the view for each timer.
    bool timer_enabled(WindowTimer timer) const;
    int timer_interval(WindowTimer timer) const;
    // The connection was lost after an acceptance and is being opened again.
    bool reconnecting() const { return reconnecting_; }

  private:
    struct TimerState {
        bool enabled = false;
        int interval_ms = 1000;
    };

    // Dispatcher reactions.
    void accepted() override;
    void refused() override;
    void error(const std::string& text) override;
    void caster_list(wire::ConstBytes payload) override;
    void replay_header(wire::ConstBytes payload) override;
    void replay_data(wire::ConstBytes payload) override;

    // What a lost connection comes back to: the cast registered, or the cast being watched.
    struct Session {
        bool casting = false;
        std::string cast_name;  // a watcher's chosen cast, as the list showed it
    };

    // Closes and reopens the connection, telling the user when the relay cannot be reached.
    void reconnect();
    // The user or the relay ended it all: nothing comes back by itself.
    void end_session();
    // Closes the connection and schedules the next attempt to open it again; `line` is logged
    // once per outage.
    void reconnect_later(const std::string& line);
    // One attempt at the scheduled time: connect and say hello as before.
    void try_reconnect();
    // Back after an outage: the relay accepted the hello again.
    void session_back();
    // A watcher coming back asks for its cast once the list shows it.
    void ask_for_the_cast(const std::vector<CasterRow>& rows);
    void watch_for_a_dead_path();
    void handle_replay_restart();
    void report_copy(CastStreamer::Copy copy);
    TimePoint now() const { return clock_(); }
    // Sends a whole record and counts what reached the socket. A failed send ends the
    // connection, so a caster never goes on uploading into a dead socket.
    bool send_record(std::span<const std::uint8_t> record);
    // The relay went away (closed, failed, a send failed, or the path died): reconnect when a
    // session is on, else back to idle; either way, say so.
    void connection_lost();
    void hide_panels();
    // Asks the view to change a timer only when its state differs from what it was last asked.
    void change_timer(WindowTimer timer, bool enabled, int interval_ms);

    ClientView& view_;
    TcpConnection& tcp1_;
    ClientPaths paths_;
    Clock clock_;
    ProgramState state_;
    ReplayWriter replay_writer_;
    std::array<TimerState, 2> timers_{};
    // The data rows the grid shows, so Watch names the cast the user sees.
    std::vector<CasterRow> grid_rows_;
    // Set while the dispatcher runs the reactions of one receive.
    bool dispatching_ = false;

    std::optional<Session> session_;
    bool reconnecting_ = false;
    bool refusal_logged_ = false;  // this outage's refusal of the cast was said
    bool waiting_logged_ = false;  // this outage's wait for the cast to be listed was said
    std::chrono::steady_clock::duration pause_ = kFirstPause;
    TimePoint next_attempt_{};
    bool awaiting_cast_ = false;  // back, and asking for the watched cast through the list
    TimePoint next_list_request_{};
    TimePoint last_heard_{};  // the relay's last bytes on this connection
    std::optional<TimePoint> upload_blocked_since_;
    FailureNotice copy_notice_;
};

}  // namespace kavro
