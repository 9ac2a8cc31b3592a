// The client's behaviour, with no toolkit: the mode controller, the reactions to the relay's
// messages, the cast step, the watch side and the meter. A front end's form owns the controls,
// the timers and the connection `tcp1`; each of its handlers calls the core's handler of the
// same name, and the core answers through the ClientView.
#pragma once

#include <filesystem>

#include "client/client_view.h"
#include "client/program_state.h"
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
    ClientCore(ClientView& view, TcpConnection& tcp1, ClientPaths paths = {});
    ClientCore(const ClientCore&) = delete;
    ClientCore& operator=(const ClientCore&) = delete;

    // The installation check, run once before the window is first shown.
    void FormCreate();

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
};

}  // namespace kavro
