// A client core over a FakeRelayLink: no socket, a clock the test moves, and the relay's side
// scripted byte for byte.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "client/client_core.h"
#include "core_session.h"
#include "fake_client_view.h"
#include "fake_relay_link.h"
#include "wire/wire_format.h"

namespace kavro::test {

inline const std::vector<std::uint8_t> kAcceptance{'A', 'C', 'K', '0', 'O', 'K'};
inline const std::vector<std::uint8_t> kRefusal{'A', 'C', 'K', '0', 'N', 'O'};

inline std::vector<std::uint8_t> listing(const std::vector<std::string>& names) {
    std::vector<wire::CasterEntry> entries;
    for (const auto& name : names) entries.push_back({name, "SO1", 1, 10});
    return wire::make_caster_list(entries);
}

struct ScriptedCore {
    Installation install;
    FakeClientView view;
    FakeRelayLink link;
    ClientCore::TimePoint clock = std::chrono::steady_clock::now();
    ClientCore core{view, link, install.paths(), [this] { return clock; }};

    Session::State state() const { return core.session().state(); }
    // The relay's bytes, and the tick that reads them.
    void relay(const std::vector<std::uint8_t>& bytes) {
        link.relay_sends(bytes);
        core.Timer1Timer();
    }
    void tick_after(std::chrono::steady_clock::duration elapsed) {
        clock += elapsed;
        core.Timer1Timer();
    }
    void close_by_relay() {
        link.relay_closes();
        core.Timer1Timer();
    }
    std::vector<std::uint8_t> watch_file() const { return read_file(install.watch_replay()); }

    // The states a test starts from.
    void watcher_accepted(const std::vector<std::string>& listed = {"Race"}) {
        core.btn_watchClick();
        relay(joined(kAcceptance, listing(listed)));
    }
    // Watching "Race": its header and one block are in the file.
    void watching_race() {
        watcher_accepted();
        view.selected_row = 1;
        core.btn_watch1Click();
        relay(joined(wire::make_message(wire::kTagReplayHeader, pattern_bytes(16384, 1)),
                     wire::make_message(wire::kTagReplayData, pattern_bytes(4096, 2))));
    }
    void casting() {
        core.btn_castClick();
        view.typed_cast_name = "Club night";
        core.btn_cast1Click();
        relay(kAcceptance);
    }
    void pausing() {
        watching_race();
        close_by_relay();
    }
    // Back after an outage; the relay lists no cast.
    void awaiting_listing() {
        pausing();
        tick_after(std::chrono::seconds(1));
        relay(joined(kAcceptance, listing({})));
    }
};

}  // namespace kavro::test
