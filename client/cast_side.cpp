// The cast panel: register a named cast, then upload the recording each tick.
#include "client/client_core.h"

namespace kavro {

void ClientCore::btn_cast1Click() {
    const std::string name = view_.cast_name();
    if (name.empty()) {
        view_.show_message("Type in a cast name and choose a track.");
        return;
    }
    view_.set_panel_visible(Panel::kCast, false);
    state_.records.set_cast(name, view_.track_text());
    state_.cast_streamer.cast_as(name);
    send_record(state_.records.prepare_hello(state_.cast_mode));
}

void ClientCore::cast_step() {
    state_.cast_streamer.step(
        state_.registered, state_.cast_mode, state_.records,
        [this](std::span<const std::uint8_t> record) { return send_record(record); });
}

}  // namespace kavro
