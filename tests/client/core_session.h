// A client core with a fake view in a simulator installation of its own, connected (when a test
// says so) to a scripted relay stand-in on loopback, with a clock the test moves by hand.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "client/client_core.h"
#include "fake_client_view.h"
#include "loopback_peer.h"
#include "polling.h"
#include "temp_folder.h"

namespace kavro::test {

// A simulator's folder with the client's folder below it, addressed by absolute paths.
struct Installation {
    TempFolder folder;
    Installation(bool with_simulator = true) {
        std::filesystem::create_directories(replay_folder());
        std::filesystem::create_directories(folder.path() / "kavro");
        if (with_simulator) write_file(folder.path() / "LFS.exe", {'M', 'Z'});
    }
    std::filesystem::path replay_folder() const { return folder.path() / "data" / "mpr"; }
    std::filesystem::path watch_replay() const { return replay_folder() / "kavro.mpr"; }
    std::filesystem::path recording() const { return replay_folder() / "temp_mpr.mpr"; }
    std::filesystem::path cast_copy() const { return folder.path() / "kavro" / "kavro_cast.mpr"; }
    ClientPaths paths() const {
        return {folder.path() / "LFS.exe", watch_replay(), {recording(), cast_copy()}};
    }
};

inline std::string text_of(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

inline std::vector<std::uint8_t> joined(std::vector<std::uint8_t> a,
                                        const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct CoreSession {
    Installation install;
    LoopbackListener relay;
    FakeClientView view;
    TcpConnection tcp1;
    ClientCore::TimePoint clock = std::chrono::steady_clock::now();
    ClientCore core{view, tcp1, install.paths(), [this] { return clock; }};
    PeerSocket peer;

    CoreSession() {
        tcp1.RemoteHost = "127.0.0.1";
        tcp1.RemotePort = relay.port_text();
    }
    ProgramState& state() { return core.state(); }

    // Runs Timer1 ticks whenever bytes wait, until `condition` holds or a generous deadline.
    template <class Condition>
    bool tick_until(Condition condition) {
        return wait_until(
            [&] {
                if (condition()) return true;
                if (tcp1.PollReadable(std::chrono::milliseconds(10))) core.Timer1Timer();
                return condition();
            },
            kGenerous);
    }
    // A click (or a pause that ran out) only starts the connect; Timer1 ticks advance it, as the
    // window's timer does. Ticks without moving the core's clock until the connection is open.
    bool finish_connect() {
        return wait_until(
            [&] {
                if (!tcp1.Connected()) core.Timer1Timer();
                return tcp1.Connected();
            },
            kGenerous);
    }
    // Sends `bytes` and runs one tick once they can be read.
    void deliver(const std::vector<std::uint8_t>& bytes) {
        peer.send(bytes);
        ASSERT_TRUE(tcp1.PollReadable(kGenerous));
        core.Timer1Timer();
    }
    // Ticks without moving the core's clock until the connect begun has succeeded or failed:
    // the address lookup answers on a thread of its own, so a failure shows on a later tick.
    bool finish_attempt() {
        const auto connecting = [&] {
            return core.session().state() == kavro::Session::State::kConnecting;
        };
        return wait_until(
            [&] {
                if (connecting()) core.Timer1Timer();
                return !connecting();
            },
            kGenerous);
    }
    // "Watch LFS", the relay's side of the connection, and the hello read.
    void click_watch() {
        core.btn_watchClick();
        ASSERT_TRUE(finish_connect());
        peer = relay.accept();
        ASSERT_EQ(peer.read(52).size(), 52u);
    }
    // "Cast LFS" and the relay's side of the connection; a caster says nothing before its name.
    void click_cast() {
        core.btn_castClick();
        ASSERT_TRUE(finish_connect());
        peer = relay.accept();
        ASSERT_TRUE(peer.valid());
    }
    void start_watching() {
        ASSERT_NO_FATAL_FAILURE(click_watch());
        peer.send(std::string("ACK0OK"));
        ASSERT_TRUE(tick_until([&] { return state().registered; }));
    }
    // The log's last line; a test that expects one when none was written fails on its
    // comparison rather than reading past an empty log.
    std::string last_line() const { return view.log.empty() ? "(no line)" : view.log.back(); }

    // Moves the core's clock on and runs one Timer1 tick.
    void tick_after(std::chrono::milliseconds elapsed) {
        clock += elapsed;
        core.Timer1Timer();
    }
};

}  // namespace kavro::test
