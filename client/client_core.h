// The client's behaviour, with no toolkit: the mode controller, the reactions to the relay's
// messages, the cast step, the watch side and the meter. A front end's form owns the controls,
// the timers and the connection `tcp1`; each of its handlers calls the core's handler of the
// same name, and the core answers through the ClientView.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "client/client_view.h"
#include "client/program_state.h"
#include "client/relay_choice.h"
#include "link/receive_buffer.h"
#include "link/tcp_connection.h"
#include "replay/cast_streamer.h"
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
    // Sets tcp1's OnConnect and OnDisconnect to tcp1Connect and tcp1Disconnect (a form may set
    // them to its own handlers of those names instead); the destructor clears them again.
    ClientCore(ClientView& view, TcpConnection& tcp1, ClientPaths paths = {});
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

    // Closes and reopens the connection, telling the user when the relay cannot be reached.
    void reconnect();
    // Sends a whole record and counts what reached the socket. A failed send ends the
    // connection, so a caster never goes on uploading into a dead socket.
    bool send_record(std::span<const std::uint8_t> record);
    // The relay went away (closed, failed, or a send failed): back to idle, and say so.
    void connection_lost();
    void hide_panels();
    // Asks the view to change a timer only when its state differs from what it was last asked.
    void change_timer(WindowTimer timer, bool enabled, int interval_ms);

    ClientView& view_;
    TcpConnection& tcp1_;
    ClientPaths paths_;
    ProgramState state_;
    ReplayWriter replay_writer_;
    std::array<TimerState, 2> timers_{};
    // The data rows the grid shows, so Watch names the cast the user sees.
    std::vector<CasterRow> grid_rows_;
    // Set while the dispatcher runs the reactions of one receive.
    bool dispatching_ = false;
};

}  // namespace kavro
