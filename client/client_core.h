// The client's behaviour, with no toolkit: the mode controller, the reactions to the relay's
// messages, the cast step, the watch side and the meter, with the session (client/session.h)
// deciding what each event does to the connection. A front end's form owns the controls, the
// timers and the connection `tcp1`; each of its handlers calls the core's handler of the same
// name, and the core answers through the ClientView.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/client_view.h"
#include "client/program_state.h"
#include "client/relay_choice.h"
#include "client/relay_link.h"
#include "client/session.h"
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

class ClientCore : private MessageHandler, private SessionEffects {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // Where the core reads the time; tests pass their own to drive the pauses.
    using Clock = std::function<TimePoint()>;

    // The pauses between automatic attempts are the session's (Session::kFirstPause ...).
    // A dead path: the upload found no room in the connection for this long...
    static constexpr std::chrono::seconds kUnsentLimit{30};
    // ... or the relay sent nothing at all for this long. A live relay sends a keep-alive after
    // 10 s of silence (its default), so this is a relay or a path that is gone.
    static constexpr std::chrono::seconds kSilenceLimit{45};

    // Sets tcp1's OnConnect and OnDisconnect to tcp1Connect and tcp1Disconnect (a form may set
    // them to its own handlers of those names instead); the destructor clears them again.
    ClientCore(ClientView& view, TcpConnection& tcp1, ClientPaths paths = {}, Clock clock = {});
    // Over any link: the core's own tests use one with no socket.
    ClientCore(ClientView& view, RelayLink& link, ClientPaths paths = {}, Clock clock = {});
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
    void Timer1Timer();     // the session's tick, poll_and_dispatch(), then cast_step()
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
    const Session& session() const { return session_; }
    // What the core last asked of the view for each timer.
    bool timer_enabled(WindowTimer timer) const;
    int timer_interval(WindowTimer timer) const;
    // The connection was lost after an acceptance and is being opened again.
    bool reconnecting() const { return session_.in_outage(); }

  private:
    ClientCore(ClientView& view, std::unique_ptr<RelayLink> own_link, RelayLink* link,
               ClientPaths paths, Clock clock);

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
    void resume_offer(const wire::ResumeOffer& offer) override;

    // What the session does to the world.
    bool begin_connect() override;
    RelayLink::Progress poll_connect() override;
    void connection_opened() override;
    void close_connection() override;
    bool send_hello() override;
    bool send_watch_request(const std::string& cast) override;
    void log(const std::string& line) override { view_.add_log_line(line); }
    void show_message(const std::string& text) override { view_.show_message(text); }
    void set_mode_buttons(bool cast, bool watch, bool stop) override;
    void hide_panels() override;
    void empty_watch_file() override;
    void upload_from_header() override;
    void await_resume_offer(TimePoint deadline) override;
    void follow_connect(bool connecting) override;

    void handle(Session::Event::Kind kind, std::string text = {});
    void watch_for_a_dead_path();
    void handle_replay_restart();
    void report_copy(CastStreamer::Copy copy);
    TimePoint now() const { return clock_(); }
    // Sends a whole record and counts what reached the socket; false when it was not taken.
    bool send_raw(std::span<const std::uint8_t> record);
    // The same for the core's own sends: a failed send ends the connection, so a caster never
    // goes on uploading into a dead socket.
    bool send_record(std::span<const std::uint8_t> record);
    // Asks the view to change a timer only when its state differs from what it was last asked.
    void change_timer(WindowTimer timer, bool enabled, int interval_ms);

    ClientView& view_;
    TcpConnection* tcp1_ = nullptr;  // when the core runs over a TcpConnection
    std::unique_ptr<RelayLink> own_link_;
    RelayLink& link_;
    ClientPaths paths_;
    Clock clock_;
    ProgramState state_;
    ReplayWriter replay_writer_;
    std::array<TimerState, 2> timers_{};
    // The data rows the grid shows, so Watch names the cast the user sees.
    std::vector<CasterRow> grid_rows_;
    // Set while the dispatcher runs the reactions of one receive.
    bool dispatching_ = false;
    bool following_connect_ = false;  // the poll timer runs fast for a connect in progress
    bool poll_enabled_before_connect_ = false;
    Session session_;
    TimePoint last_heard_{};  // the relay's last bytes on this connection
    // Until then ticks come at once: a catch-up is under way (a backlog was seen, or a replay's
    // header arrived, where a late join starts). A socket drained by one tick fills again
    // within a few.
    TimePoint catch_up_until_{};
    static constexpr std::chrono::milliseconds kCatchUpHold{200};
    std::optional<TimePoint> upload_blocked_since_;
    FailureNotice copy_notice_;
};

}  // namespace kavro
